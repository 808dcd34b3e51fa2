#include "platform/text_windows.h"

#include <windows.h>

#include <cstdlib>

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

}  // namespace vaultrun
