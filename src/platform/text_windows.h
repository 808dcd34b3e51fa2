// Text and error helpers of the Windows implementations: the program keeps
// UTF-8 inside and talks to Windows in UTF-16.
#pragma once

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

}  // namespace vaultrun
