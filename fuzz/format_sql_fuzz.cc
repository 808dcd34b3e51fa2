// FormatSqlNumber on arbitrary text: a number or an Overflow failure,
// nothing else; a plain decimal in range reads as itself.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/registry.h"
#include "core/failure.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  int32_t value = 0;
  bool overflow = false;
  try {
    value = vaultrun::FormatSqlNumber(text);
  } catch (const vaultrun::Failure& failure) {
    if (failure.number() != vaultrun::kErrOverflow) std::abort();
    overflow = true;
  }
  // "-123" or "456": digits only after an optional sign.
  size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
  bool plain = text.size() > digits && text.size() - digits <= 18 &&
               text.find_first_not_of("0123456789", digits) == std::string::npos;
  if (plain) {
    int64_t expected = 0;
    std::from_chars(text.data(), text.data() + text.size(), expected);
    bool in_range = expected >= INT32_MIN && expected <= INT32_MAX;
    if (overflow == in_range) std::abort();
    if (in_range && value != expected) std::abort();
  }
  return 0;
}
