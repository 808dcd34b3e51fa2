#include "run/value_text.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <emmintrin.h>
#define VAULTRUN_SSE2 1
#endif

namespace vaultrun {
namespace {

// What each byte becomes inside an SQL string literal: 0 for itself, else
// the letter that follows the backslash.
struct EscapeTable {
  char letter[256] = {};
  constexpr EscapeTable() {
    letter[static_cast<unsigned char>('\'')] = '\'';
    letter[static_cast<unsigned char>('\\')] = '\\';
    letter[0] = '0';
    letter[static_cast<unsigned char>('\r')] = 'r';
    letter[static_cast<unsigned char>('\n')] = 'n';
    letter[26] = 'Z';
  }
};
constexpr EscapeTable kEscape;

constexpr char kHexDigits[] = "0123456789ABCDEF";

using value_text_internal::Load32;
using value_text_internal::Load64;

void Store32(char* p, uint32_t v) { std::memcpy(p, &v, 4); }

// True when all 8 bytes are ASCII digits.
bool AllDigits(uint64_t w) {
  constexpr uint64_t kHigh = 0xF0F0F0F0F0F0F0F0u, kThrees = 0x3030303030303030u;
  return (w & kHigh) == kThrees && ((w + 0x0606060606060606u) & kHigh) == kThrees;
}

#ifdef VAULTRUN_SSE2
// The n (< 16) bytes at p in the low lanes of a vector, without reading
// past them; the other lanes hold copies of some of them or zeros.
__m128i LoadShort(const char* p, size_t n) {
  uint64_t lo;
  if (n >= 8) {
    lo = Load64(p);
    uint64_t hi = n > 8 ? Load64(p + n - 8) >> (8 * (16 - n)) : 0;
    return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
  }
  if (n >= 4) {
    lo = Load32(p) | (uint64_t{Load32(p + n - 4)} >> (8 * (8 - n))) << 32;
  } else if (n > 0) {
    lo = uint64_t{static_cast<unsigned char>(p[0])} |
         uint64_t{static_cast<unsigned char>(p[n >> 1])} << 8 |
         uint64_t{static_cast<unsigned char>(p[n - 1])} << 16;
  } else {
    lo = 0;
  }
  return _mm_cvtsi64_si128(static_cast<long long>(lo));
}

__m128i Load16(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
void Store16(char* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// One bit per lane that needs a backslash escape.
unsigned EscapeMask(__m128i v) {
  __m128i quote =
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\'')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
  __m128i line =
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
  __m128i other =
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()), _mm_cmpeq_epi8(v, _mm_set1_epi8(26)));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(quote, _mm_or_si128(line, other))));
}

unsigned TabOrLineBreakMask(__m128i v) {
  __m128i m = _mm_or_si128(
      _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')),
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
  return static_cast<unsigned>(_mm_movemask_epi8(m));
}

unsigned LowLanes(size_t n) { return (1u << n) - 1; }

// The hexadecimal digits of 16 bytes: 32 bytes at out.
void Hex16(char* out, __m128i v) {
  const __m128i nibble = _mm_set1_epi8(0x0F);
  __m128i hi = _mm_and_si128(_mm_srli_epi16(v, 4), nibble);
  __m128i lo = _mm_and_si128(v, nibble);
  auto digits = [](__m128i n) {
    // '0' + n, and 7 more for 10..15 ('A' - '0' - 10).
    __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(n, _mm_set1_epi8(9)), _mm_set1_epi8(7));
    return _mm_add_epi8(_mm_add_epi8(n, _mm_set1_epi8('0')), letters);
  };
  hi = digits(hi);
  lo = digits(lo);
  Store16(out, _mm_unpacklo_epi8(hi, lo));
  Store16(out + 16, _mm_unpackhi_epi8(hi, lo));
}
#endif

}  // namespace

char* EscapeToBytewise(char* out, const char* in, size_t n) {
  for (const char* end = in + n; in < end; ++in) {
    char letter = kEscape.letter[static_cast<unsigned char>(*in)];
    if (letter == 0) {
      *out++ = *in;
    } else {
      out[0] = '\\';
      out[1] = letter;
      out += 2;
    }
  }
  return out;
}

char* EscapeTo(char* out, const char* in, size_t n) {
#ifdef VAULTRUN_SSE2
  // Each block is stored as it is, then the output moves on to just past
  // the first byte that needs an escape (or the whole block when none does).
  const char* end = in + n;
  while (end - in >= 16) {
    __m128i v = Load16(in);
    Store16(out, v);
    unsigned mask = EscapeMask(v);
    if (mask == 0) {
      in += 16;
      out += 16;
      continue;
    }
    unsigned k = static_cast<unsigned>(__builtin_ctz(mask));
    in += k;
    out += k;
    out[0] = '\\';
    out[1] = kEscape.letter[static_cast<unsigned char>(*in)];
    out += 2;
    ++in;
  }
  size_t rest = static_cast<size_t>(end - in);
  if (rest == 0) return out;
  __m128i v = LoadShort(in, rest);
  if ((EscapeMask(v) & LowLanes(rest)) == 0) {
    Store16(out, v);
    return out + rest;
  }
  return EscapeToBytewise(out, in, rest);
#else
  return EscapeToBytewise(out, in, n);
#endif
}

char* HexTo(char* out, const char* in, size_t n) {
  const char* end = in + n;
#ifdef VAULTRUN_SSE2
  for (; end - in >= 16; in += 16, out += 32) Hex16(out, Load16(in));
#endif
  for (; in < end; ++in) {
    unsigned char c = static_cast<unsigned char>(*in);
    *out++ = kHexDigits[c >> 4];
    *out++ = kHexDigits[c & 15];
  }
  return out;
}

char* DateDigitsToBytewise(char* out, const char* in, size_t n) {
  size_t digits = 0;
  size_t i = 0;
  for (; i < n && in[i] != '.'; ++i) {
    if (in[i] >= '0' && in[i] <= '9') {
      *out++ = in[i];
      ++digits;
    }
  }
  if (digits == 8) {
    std::memcpy(out, "000000", 6);
    out += 6;
  }
  std::memcpy(out, in + i, n - i);
  return out + (n - i);
}

char* DateDigitsTo(char* out, const char* in, size_t n) {
  // The two shapes the server sends, with fixed places: "YYYY-MM-DD" and
  // "YYYY-MM-DD hh:mm:ss" with an optional fraction from '.'. Anything else
  // (or a place that holds no digit) goes byte by byte.
  const bool date = n >= 10 && in[4] == '-' && in[7] == '-';
  if (date && n == 10) {
    Store32(out, Load32(in));
    std::memcpy(out + 4, in + 5, 2);
    std::memcpy(out + 6, in + 8, 2);
    if (AllDigits(Load64(out))) {
      std::memcpy(out + 8, "000000", 6);
      return out + 14;
    }
  } else if (date && n >= 19 && in[10] == ' ' && in[13] == ':' && in[16] == ':' &&
             (n == 19 || in[19] == '.')) {
    Store32(out, Load32(in));
    std::memcpy(out + 4, in + 5, 2);
    std::memcpy(out + 6, in + 8, 2);
    std::memcpy(out + 8, in + 11, 2);
    std::memcpy(out + 10, in + 14, 2);
    std::memcpy(out + 12, in + 17, 2);
    if (AllDigits(Load64(out)) && AllDigits(Load64(out + 6))) {
      return CopyTo(out + 14, in + 19, n - 19);
    }
  }
  return DateDigitsToBytewise(out, in, n);
}

bool HoldsTabOrLineBreak(const char* in, size_t n) {
#ifdef VAULTRUN_SSE2
  const char* end = in + n;
  for (; end - in >= 16; in += 16) {
    if (TabOrLineBreakMask(Load16(in)) != 0) return true;
  }
  size_t rest = static_cast<size_t>(end - in);
  return (TabOrLineBreakMask(LoadShort(in, rest)) & LowLanes(rest)) != 0;
#else
  return std::string_view(in, n).find_first_of("\t\r\n") != std::string_view::npos;
#endif
}

void AppendEscaped(std::string* out, std::string_view text) {
  size_t at = out->size();
  out->resize(at + 2 * text.size() + kValueSlack);
  char* end = EscapeTo(out->data() + at, text.data(), text.size());
  out->resize(static_cast<size_t>(end - out->data()));
}

std::string EscapeQuotes(std::string_view text) {
  std::string out;
  AppendEscaped(&out, text);
  return out;
}

void AppendHex(std::string* out, std::string_view bytes) {
  size_t at = out->size();
  out->resize(at + 2 * bytes.size() + kValueSlack);
  char* end = HexTo(out->data() + at, bytes.data(), bytes.size());
  out->resize(static_cast<size_t>(end - out->data()));
}

void AppendDateDigits(std::string* out, std::string_view text) {
  size_t at = out->size();
  out->resize(at + text.size() + 6 + kValueSlack);
  char* end = DateDigitsTo(out->data() + at, text.data(), text.size());
  out->resize(static_cast<size_t>(end - out->data()));
}

}  // namespace vaultrun
