// Hashing, message authentication and random bytes from the operating
// system's own, well-kept implementations: OpenSSL's libcrypto on POSIX,
// CNG (bcrypt.dll) on Windows (crypto_posix.cc, crypto_windows.cc). The
// archives' integrity and origin rest on these, so nothing here is written
// by hand.
//
// Objects are streaming: Update any number of times, then Finish once. A
// failure of the library (out of memory, a provider that cannot be loaded)
// is kept and reported by Finish, so that callers check once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace vaultrun {

// The size of a SHA-256 digest and of an HMAC-SHA256 tag, in bytes.
inline constexpr size_t kSha256Bytes = 32;
using Sha256Digest = std::array<uint8_t, kSha256Bytes>;

// SHA-256 (FIPS 180-4) of a byte stream.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // Adds size bytes at data to the message. Calls after Finish are ignored.
  void Update(const void* data, size_t size);
  void Update(std::string_view bytes) { Update(bytes.data(), bytes.size()); }
  // Puts the digest of everything added into *digest. OK only when every
  // call since construction succeeded; a second Finish fails.
  Status Finish(Sha256Digest* digest);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// HMAC-SHA256 (RFC 2104 with SHA-256) of a byte stream under a key of any
// length (a key longer than 64 bytes is hashed first, as the RFC says).
class HmacSha256 {
 public:
  explicit HmacSha256(std::string_view key);
  ~HmacSha256();
  HmacSha256(const HmacSha256&) = delete;
  HmacSha256& operator=(const HmacSha256&) = delete;

  // Adds size bytes at data to the message. Calls after Finish are ignored.
  void Update(const void* data, size_t size);
  void Update(std::string_view bytes) { Update(bytes.data(), bytes.size()); }
  // Puts the tag of everything added into *tag, as Sha256::Finish does.
  Status Finish(Sha256Digest* tag);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Fills size bytes at data with random bytes from the operating system's
// generator for keys (getrandom(2) on Linux, BCryptGenRandom on Windows).
// Fails rather than ever handing out weak bytes.
Status SystemRandomBytes(void* data, size_t size);

// One-call forms; on a library failure the Status says why.
Status Sha256Of(std::string_view bytes, Sha256Digest* digest);
Status HmacSha256Of(std::string_view key, std::string_view bytes, Sha256Digest* tag);

// Lower-case hexadecimal digits of bytes (64 for a digest).
std::string LowerHex(const uint8_t* bytes, size_t size);
inline std::string LowerHex(const Sha256Digest& digest) {
  return LowerHex(digest.data(), digest.size());
}

// Compares two byte strings in time that depends on their length only, so
// that checking a tag tells nothing about where a forged one first differs.
bool ConstantTimeEqual(std::string_view a, std::string_view b);

}  // namespace vaultrun
