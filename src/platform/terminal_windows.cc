#include <io.h>
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>

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

namespace {

// Writes all of text to a console handle.
bool WriteAll(HANDLE console, const wchar_t* text, size_t n) {
  while (n > 0) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(n > 8192 ? 8192 : n);
    if (!::WriteConsoleW(console, text, chunk, &written, nullptr) || written == 0) return false;
    text += written;
    n -= written;
  }
  return true;
}

class WindowsUnicodeConsole : public UnicodeConsole {
 public:
  WindowsUnicodeConsole() {
    Redirect(STD_OUTPUT_HANDLE, std::cout, 0);
    Redirect(STD_ERROR_HANDLE, std::cerr, 1);
  }
  ~WindowsUnicodeConsole() override {
    for (int i = 0; i < 2; ++i) {
      if (streams_[i] == nullptr) continue;
      streams_[i]->flush();
      streams_[i]->rdbuf(saved_[i]);
    }
  }

 private:
  // The stream writes through WriteConsoleW when its handle is a console.
  void Redirect(DWORD which, std::ostream& stream, int i) {
    HANDLE handle = ::GetStdHandle(which);
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr || !::GetConsoleMode(handle, &mode)) {
      return;
    }
    buffers_[i] = std::make_unique<Utf16StreamBuffer>(
        [handle](const wchar_t* text, size_t n) { return WriteAll(handle, text, n); });
    stream.flush();
    saved_[i] = stream.rdbuf(buffers_[i].get());
    streams_[i] = &stream;
  }

  std::unique_ptr<Utf16StreamBuffer> buffers_[2];
  std::ostream* streams_[2] = {nullptr, nullptr};
  std::streambuf* saved_[2] = {nullptr, nullptr};
};

}  // namespace

std::unique_ptr<UnicodeConsole> UseUnicodeConsole() {
  return std::make_unique<WindowsUnicodeConsole>();
}

bool ErrorStreamIsTerminal() { return ::_isatty(::_fileno(stderr)) != 0; }

int CurrentProcessId() { return static_cast<int>(::GetCurrentProcessId()); }

void OnStopRequest(void (*handler)(int)) {
  std::signal(SIGINT, handler);
  std::signal(SIGTERM, handler);
}

}  // namespace vaultrun
