#include "core/printable.h"

namespace vaultrun {
namespace {

void AppendEscaped(std::string* out, unsigned char byte) {
  static const char kDigits[] = "0123456789ABCDEF";
  *out += "\\x";
  *out += kDigits[byte >> 4];
  *out += kDigits[byte & 15];
}

// The length of the UTF-8 character at text[i], or 0 when the bytes there
// are not one (overlong forms, surrogates and values past U+10FFFF
// included).
size_t CharacterLength(std::string_view text, size_t i) {
  const unsigned char lead = static_cast<unsigned char>(text[i]);
  size_t size = lead < 0x80                    ? 1
                : lead >= 0xC2 && lead <= 0xDF ? 2
                : lead >= 0xE0 && lead <= 0xEF ? 3
                : lead >= 0xF0 && lead <= 0xF4 ? 4
                                               : 0;
  if (size == 0 || i + size > text.size()) return 0;
  for (size_t k = 1; k < size; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
  }
  const unsigned char second = static_cast<unsigned char>(text[i + 1 < text.size() ? i + 1 : i]);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90)) {
    return 0;
  }
  return size;
}

}  // namespace

std::string EscapeControl(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    const size_t size = CharacterLength(text, i);
    const bool control =
        byte < 0x20 || byte == 0x7F ||
        (size == 2 && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0);
    if (size == 0 || control) {
      for (size_t k = 0; k < (size == 0 ? 1 : size); ++k) {
        AppendEscaped(&out, static_cast<unsigned char>(text[i + k]));
      }
      i += size == 0 ? 1 : size;
      continue;
    }
    out.append(text.substr(i, size));
    i += size;
  }
  return out;
}

}  // namespace vaultrun
