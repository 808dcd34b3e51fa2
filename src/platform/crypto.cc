// The parts of the crypto seam that are the same on every platform.
#include "platform/crypto.h"

namespace vaultrun {

Status Sha256Of(std::string_view bytes, Sha256Digest* digest) {
  Sha256 hash;
  hash.Update(bytes);
  return hash.Finish(digest);
}

Status HmacSha256Of(std::string_view key, std::string_view bytes, Sha256Digest* tag) {
  HmacSha256 mac(key);
  mac.Update(bytes);
  return mac.Finish(tag);
}

std::string LowerHex(const uint8_t* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text(size * 2, '0');
  for (size_t i = 0; i < size; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return text;
}

bool ConstantTimeEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // volatile: the compiler may not stop at the first difference.
  volatile unsigned char difference = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    difference = difference | static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

}  // namespace vaultrun
