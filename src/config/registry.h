// The program's settings: the keys it keeps them under, reads that seed a
// missing setting with its built-in default, and the lenient number reading
// that settings texts get.
#pragma once

#include <cstdint>
#include <string>

#include "core/process.h"

namespace vaultrun {

// Where the settings live, under HKEY_LOCAL_MACHINE.
inline constexpr char kSettingsKey[] = "Software\\Cobaltine\\Vaultrun\\cfg";
inline constexpr char kProgramKey[] = "Software\\Cobaltine\\Vaultrun";

// The process's settings store under HKEY_LOCAL_MACHINE; without a store,
// reads give default_text and writes fail.
std::string ReadRegString(Process& process, const std::string& key_path, const std::string& name,
                          const std::string& default_text);
bool WriteRegString(Process& process, const std::string& key_path, const std::string& name,
                    const std::string& text);

// The setting's text (spaces, U+0020 only, cut from both ends when trim).
// When that is empty, builtin_default is stored as the setting (a failed
// store is ignored) and returned.
std::string SeededRead(Process& process, const std::string& key_path, const std::string& name,
                       const std::string& builtin_default, bool trim);

// Reads a setting text as a whole number as Visual Basic's CLng(Val(text))
// does: blanks, tabs and line feeds are ignored anywhere; a decimal number
// (sign, digits, '.', exponent E/e/D/d) or &H hex / &O or & octal is taken
// from the start up to the first character that cannot continue it; a text
// that does not begin with a number is 0. Fractions round half to even.
// Throws Failure(kErrOverflow, "Overflow") outside the signed 32-bit range.
int32_t FormatSqlNumber(const std::string& text);

}  // namespace vaultrun
