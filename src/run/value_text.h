// The text of one value as the data file holds it: SQL string literal
// escapes, hexadecimal digits, date digits, and plain copies. Each *To form
// writes through a pointer into room the caller reserved, and returns the
// end of what it wrote; it may store up to kValueSlack bytes past that end
// (scratch that the next value overwrites), so the room must allow for it.
// On x86-64 the bytes are looked at 16 at a time (SSE2, always there); a
// byte-at-a-time form serves elsewhere and is the reference in the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vaultrun {

inline constexpr size_t kValueSlack = 16;

// The inside of an SQL string literal: the apostrophe, the backslash, NUL,
// CR, LF and Ctrl-Z get a backslash escape ('\'', '\\', '\0', '\r', '\n',
// '\Z'), so that the value restores exactly and a statement stays on one
// line. Writes at most 2n bytes (plus the slack).
char* EscapeTo(char* out, const char* in, size_t n);
char* EscapeToBytewise(char* out, const char* in, size_t n);

// Upper-case hexadecimal digits of the bytes: 2n bytes (plus the slack).
char* HexTo(char* out, const char* in, size_t n);

// A date or date-time value as the server's text protocol sends it
// ("YYYY-MM-DD", "YYYY-MM-DD hh:mm:ss[.ffffff]") as the export writes it: its
// digits up to the first '.' (a date gets 000000 for its time), then the
// rest from that '.' as sent. Writes at most n + 6 bytes (plus the slack).
char* DateDigitsTo(char* out, const char* in, size_t n);
char* DateDigitsToBytewise(char* out, const char* in, size_t n);

// The bytes as they are (n bytes; inline, as most values are short).
inline char* CopyTo(char* out, const char* in, size_t n);

// True when the bytes hold a TAB, CR or LF.
bool HoldsTabOrLineBreak(const char* in, size_t n);

// String forms of the above, for callers outside the row writer.
std::string EscapeQuotes(std::string_view text);
void AppendEscaped(std::string* out, std::string_view text);
void AppendHex(std::string* out, std::string_view bytes);
void AppendDateDigits(std::string* out, std::string_view text);

namespace value_text_internal {
inline uint64_t Load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline uint32_t Load32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
}  // namespace value_text_internal

inline char* CopyTo(char* out, const char* in, size_t n) {
  using value_text_internal::Load32;
  using value_text_internal::Load64;
  if (n > 16) {
    std::memcpy(out, in, n);
  } else if (n >= 8) {
    // Two overlapping words cover 8 to 16 bytes.
    uint64_t head = Load64(in), tail = Load64(in + n - 8);
    std::memcpy(out, &head, 8);
    std::memcpy(out + n - 8, &tail, 8);
  } else if (n >= 4) {
    uint32_t head = Load32(in), tail = Load32(in + n - 4);
    std::memcpy(out, &head, 4);
    std::memcpy(out + n - 4, &tail, 4);
  } else if (n > 0) {
    char a = in[0], b = in[n >> 1], c = in[n - 1];
    out[0] = a;
    out[n >> 1] = b;
    out[n - 1] = c;
  }
  return out + n;
}

}  // namespace vaultrun
