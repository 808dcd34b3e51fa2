#include "config/registry.h"

#include <charconv>
#include <cmath>
#include <cstdint>

#include "core/failure.h"

namespace vaultrun {
namespace {

[[noreturn]] void Overflow() { throw Failure(kErrOverflow, "Overflow"); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "&H..." hex, "&O..." or "&..." octal. Up to 16 bits the number is a
// 16-bit Integer (bit 15 is the sign), up to 32 bits a Long.
int32_t RadixNumber(const std::string& s) {
  size_t i = 1;
  int base = 8;
  if (i < s.size() && (s[i] == 'H' || s[i] == 'h')) {
    base = 16;
    ++i;
  } else if (i < s.size() && (s[i] == 'O' || s[i] == 'o')) {
    ++i;
  }
  uint64_t value = 0;
  for (; i < s.size(); ++i) {
    int d = HexValue(s[i]);
    if (d < 0 || d >= base) break;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    if (value > 0xFFFFFFFFu) Overflow();
  }
  if (value <= 0xFFFF) return static_cast<int16_t>(static_cast<uint16_t>(value));
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

}  // namespace

std::string ReadRegString(Process& process, const std::string& key_path, const std::string& name,
                          const std::string& default_text) {
  if (process.settings == nullptr) return default_text;
  return process.settings->ReadRegString(kHkeyLocalMachine, key_path, name, default_text);
}

bool WriteRegString(Process& process, const std::string& key_path, const std::string& name,
                    const std::string& text) {
  if (process.settings == nullptr) return false;
  return process.settings->WriteRegString(kHkeyLocalMachine, key_path, name, text);
}

std::string SeededRead(Process& process, const std::string& key_path, const std::string& name,
                       const std::string& builtin_default, bool trim) {
  std::string text = ReadRegString(process, key_path, name, "");
  if (trim) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
      text.clear();
    } else {
      text = text.substr(first, text.find_last_not_of(' ') - first + 1);
    }
  }
  if (text.empty()) {
    text = builtin_default;
    WriteRegString(process, key_path, name, text);
  }
  return text;
}

int32_t FormatSqlNumber(const std::string& text) {
  std::string s;
  s.reserve(text.size());
  for (char c : text) {
    if (c != ' ' && c != '\t' && c != '\n') s.push_back(c);
  }
  if (!s.empty() && s[0] == '&') return RadixNumber(s);

  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  size_t int_begin = i;
  while (i < s.size() && IsDigit(s[i])) ++i;
  std::string_view int_digits(s.data() + int_begin, i - int_begin);
  std::string_view frac_digits;
  if (i < s.size() && s[i] == '.') {
    size_t frac_begin = ++i;
    while (i < s.size() && IsDigit(s[i])) ++i;
    frac_digits = std::string_view(s.data() + frac_begin, i - frac_begin);
  }
  if (int_digits.empty() && frac_digits.empty()) return 0;

  // The exponent counts only with at least one digit; it saturates, since
  // the magnitude check below settles every huge one.
  int64_t exponent = 0;
  if (i < s.size() && (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd')) {
    size_t j = i + 1;
    bool exp_negative = false;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) exp_negative = s[j++] == '-';
    if (j < s.size() && IsDigit(s[j])) {
      for (; j < s.size() && IsDigit(s[j]); ++j) {
        if (exponent < 1'000'000'000'000) exponent = exponent * 10 + (s[j] - '0');
      }
      if (exp_negative) exponent = -exponent;
    }
  }

  // The value lies in [10^(magnitude-1), 10^magnitude).
  size_t lead = int_digits.find_first_not_of('0');
  int64_t magnitude;
  if (lead != std::string_view::npos) {
    magnitude = static_cast<int64_t>(int_digits.size() - lead) + exponent;
  } else {
    size_t frac_lead = frac_digits.find_first_not_of('0');
    if (frac_lead == std::string_view::npos) return 0;
    magnitude = exponent - static_cast<int64_t>(frac_lead);
  }
  if (magnitude < 0) return 0;  // below 0.1
  if (magnitude > 11) Overflow();

  std::string number(int_digits.empty() ? std::string_view("0") : int_digits);
  if (!frac_digits.empty()) {
    number += '.';
    number += frac_digits;
  }
  number += 'e';
  number += std::to_string(exponent);
  double value = 0;
  auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (ec != std::errc() || end != number.data() + number.size()) Overflow();
  value = std::nearbyint(negative ? -value : value);  // the default rounding: half to even
  if (value > 2147483647.0 || value < -2147483648.0) Overflow();
  return static_cast<int32_t>(value);
}

}  // namespace vaultrun
