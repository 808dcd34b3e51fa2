#include <io.h>
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <streambuf>

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

// A stream buffer that writes UTF-8 text to a console in UTF-16 (a console
// shows UTF-8 bytes in its own code page otherwise), whole characters at a
// time.
class ConsoleBuffer : public std::streambuf {
 public:
  explicit ConsoleBuffer(HANDLE console) : console_(console) {}
  ~ConsoleBuffer() override { sync(); }

 protected:
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) pending_ += static_cast<char>(c);
    if (c == '\n' || pending_.size() >= 4096) sync();
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* data, std::streamsize n) override {
    pending_.append(data, static_cast<size_t>(n));
    sync();
    return n;
  }
  int sync() override {
    // A character cut at the end waits for its other bytes.
    auto byte = [this](size_t i) { return static_cast<unsigned char>(pending_[i]); };
    size_t whole = pending_.size();
    size_t start = whole;
    while (start > 0 && whole - start < 3 && (byte(start - 1) & 0xC0) == 0x80) --start;
    if (start > 0 && byte(start - 1) >= 0xC0) {
      const unsigned char lead = byte(start - 1);
      const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
      if (whole - (start - 1) < length) whole = start - 1;
    }
    std::wstring text = Wide(pending_.substr(0, whole));
    pending_.erase(0, whole);
    const wchar_t* at = text.data();
    size_t left = text.size();
    while (left > 0) {
      DWORD written = 0;
      if (!::WriteConsoleW(console_, at, static_cast<DWORD>(left), &written, nullptr) ||
          written == 0) {
        return -1;
      }
      at += written;
      left -= written;
    }
    return 0;
  }

 private:
  HANDLE console_;
  std::string pending_;
};

// True when the process has a standard handle that leads somewhere (a file,
// a pipe or a console the caller handed it).
bool HasStandardHandle(DWORD which) {
  HANDLE handle = ::GetStdHandle(which);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
         ::GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

class WindowsParentConsole : public ParentConsole {
 public:
  WindowsParentConsole() {
    const bool out = HasStandardHandle(STD_OUTPUT_HANDLE);
    const bool err = HasStandardHandle(STD_ERROR_HANDLE);
    if (out && err) return;
    if (!::AttachConsole(ATTACH_PARENT_PROCESS)) return;
    console_ = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (console_ == INVALID_HANDLE_VALUE) return;
    // The prompt was printed when the parent stopped waiting (a GUI program
    // is not waited for): the answer starts on a line of its own.
    DWORD written = 0;
    ::WriteConsoleW(console_, L"\r\n", 2, &written, nullptr);
    if (!out) Redirect(std::cout, 0);
    if (!err) Redirect(std::cerr, 1);
  }
  ~WindowsParentConsole() override {
    for (int i = 0; i < 2; ++i) {
      if (streams_[i] == nullptr) continue;
      streams_[i]->flush();
      streams_[i]->rdbuf(saved_[i]);
    }
    if (console_ != INVALID_HANDLE_VALUE) ::CloseHandle(console_);
  }

 private:
  void Redirect(std::ostream& stream, int i) {
    buffers_[i] = std::make_unique<ConsoleBuffer>(console_);
    saved_[i] = stream.rdbuf(buffers_[i].get());
    streams_[i] = &stream;
  }

  HANDLE console_ = INVALID_HANDLE_VALUE;
  std::unique_ptr<ConsoleBuffer> buffers_[2];
  std::ostream* streams_[2] = {nullptr, nullptr};
  std::streambuf* saved_[2] = {nullptr, nullptr};
};

}  // namespace

std::unique_ptr<ParentConsole> UseParentConsole() {
  return std::make_unique<WindowsParentConsole>();
}

bool ErrorStreamIsTerminal() { return ::_isatty(::_fileno(stderr)) != 0; }

int CurrentProcessId() { return static_cast<int>(::GetCurrentProcessId()); }

void OnStopRequest(void (*handler)(int)) {
  std::signal(SIGINT, handler);
  std::signal(SIGTERM, handler);
}

}  // namespace vaultrun
