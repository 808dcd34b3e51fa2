// Text and error helpers of the Windows implementations: the program keeps
// UTF-8 inside and talks to Windows in UTF-16.
#pragma once

#include <functional>
#include <streambuf>
#include <string>

#include "platform/status.h"

namespace vaultrun {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
std::string Utf8(const wchar_t* wide, size_t length);

// A failure of a Windows call: number is the error code (GetLastError by
// default), the description is context + ": " + Windows' text for it.
Status WindowsStatus(const std::string& context, unsigned long error);
Status LastWindowsStatus(const std::string& context);

// The value of an environment variable in UTF-8; empty when unset.
std::string EnvironmentValue(const char* name);

// A stream buffer that takes UTF-8 text and hands it to write in UTF-16,
// whole characters at a time (a character cut by the buffer's end waits for
// its rest): the restore tool's output to a console (WriteConsoleW), where
// bytes would be shown in the console's code page (437, 850, ...).
class Utf16StreamBuffer : public std::streambuf {
 public:
  // Writes length UTF-16 units; false on failure.
  using Writer = std::function<bool(const wchar_t* text, size_t length)>;
  explicit Utf16StreamBuffer(Writer write);

 protected:
  int overflow(int c) override;
  int sync() override;

 private:
  bool Flush();
  Writer write_;
  char buffer_[4096];
};

}  // namespace vaultrun
