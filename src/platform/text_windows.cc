#include "platform/text_windows.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/path_rules.h"

namespace vaultrun {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

std::string Utf8(const wchar_t* wide, size_t length) {
  if (length == 0) return std::string();
  int n = ::WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0, nullptr,
                                nullptr);
  std::string utf8(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), utf8.data(), n, nullptr,
                        nullptr);
  return utf8;
}

std::string Utf8(const std::wstring& wide) { return Utf8(wide.data(), wide.size()); }

Status WindowsStatus(const std::string& context, unsigned long error) {
  wchar_t* text = nullptr;
  DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&text), 0,
      nullptr);
  std::string detail;
  if (n > 0 && text != nullptr) {
    detail = Utf8(text, n);
    ::LocalFree(text);
    while (!detail.empty() && (detail.back() == '\n' || detail.back() == '\r' ||
                               detail.back() == ' ' || detail.back() == '.')) {
      detail.pop_back();
    }
  }
  if (detail.empty()) detail = "error " + std::to_string(error);
  return Status::Error(static_cast<int>(error), context + ": " + detail);
}

Status LastWindowsStatus(const std::string& context) {
  return WindowsStatus(context, ::GetLastError());
}

std::string EnvironmentValue(const char* name) {
  const wchar_t* value = ::_wgetenv(Wide(name).c_str());
  return value == nullptr ? std::string() : Utf8(std::wstring(value));
}

Utf16StreamBuffer::Utf16StreamBuffer(Writer write) : write_(std::move(write)) {
  setp(buffer_, buffer_ + sizeof buffer_);
}

int Utf16StreamBuffer::overflow(int c) {
  if (!Flush()) return traits_type::eof();
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  return c;
}

int Utf16StreamBuffer::sync() { return Flush() ? 0 : -1; }

bool Utf16StreamBuffer::Flush() {
  const size_t held = static_cast<size_t>(pptr() - pbase());
  const size_t whole = Utf8CompleteLength(std::string_view(pbase(), held));
  const std::wstring wide = Wide(std::string(pbase(), whole));
  const bool ok = wide.empty() || write_(wide.data(), wide.size());
  // The start of a cut character (at most three bytes) stays.
  std::memmove(buffer_, pbase() + whole, held - whole);
  setp(buffer_, buffer_ + sizeof buffer_);
  pbump(static_cast<int>(held - whole));
  return ok;
}

}  // namespace vaultrun
