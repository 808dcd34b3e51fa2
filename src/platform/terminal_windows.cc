#include <io.h>
#include <windows.h>

#include <csignal>
#include <cstdio>

#include "platform/terminal.h"
#include "platform/text_windows.h"

namespace vaultrun {

std::optional<std::string> ReadPasswordFromTerminal(const std::string& prompt) {
  HANDLE in = ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (in == INVALID_HANDLE_VALUE) return std::nullopt;
  HANDLE out = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  DWORD saved = 0;
  bool restore = ::GetConsoleMode(in, &saved) != 0;
  if (restore) ::SetConsoleMode(in, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  if (out != INVALID_HANDLE_VALUE) {
    std::wstring wide = Wide(prompt);
    DWORD written = 0;
    ::WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
  }
  std::wstring line;
  wchar_t c;
  DWORD got = 0;
  bool got_line = false;
  while (::ReadConsoleW(in, &c, 1, &got, nullptr) && got == 1) {
    if (c == L'\r') continue;
    if (c == L'\n') {
      got_line = true;
      break;
    }
    line += c;
  }
  if (restore) ::SetConsoleMode(in, saved);
  if (out != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    ::WriteConsoleW(out, L"\r\n", 2, &written, nullptr);
    ::CloseHandle(out);
  }
  ::CloseHandle(in);
  if (!got_line && line.empty()) return std::nullopt;
  return Utf8(line);
}

bool ErrorStreamIsTerminal() { return ::_isatty(::_fileno(stderr)) != 0; }

int CurrentProcessId() { return static_cast<int>(::GetCurrentProcessId()); }

void OnStopRequest(void (*handler)(int)) {
  std::signal(SIGINT, handler);
  std::signal(SIGTERM, handler);
}

}  // namespace vaultrun
