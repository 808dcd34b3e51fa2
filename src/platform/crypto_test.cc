// The crypto seam against the published test vectors (FIPS 180 examples for
// SHA-256, RFC 4231 for HMAC-SHA256), fed whole and in uneven pieces. The
// same test runs on Linux (libcrypto) and under Wine (CNG).
#include "platform/crypto.h"

#include <gtest/gtest.h>

#include <set>

namespace vaultrun {
namespace {

// The digest of message fed in pieces of 1, 2, 3, ... bytes (or whole).
std::string Sha256Hex(const std::string& message, bool pieces) {
  Sha256 hash;
  size_t at = 0;
  for (size_t piece = 1; pieces && at < message.size(); ++piece) {
    size_t n = std::min(piece, message.size() - at);
    hash.Update(message.data() + at, n);
    at += n;
  }
  if (!pieces) hash.Update(message);
  Sha256Digest digest{};
  Status s = hash.Finish(&digest);
  EXPECT_TRUE(s.ok()) << s.description();
  return LowerHex(digest);
}

std::string HmacHex(const std::string& key, const std::string& message, bool pieces) {
  HmacSha256 mac(key);
  for (size_t at = 0; pieces && at < message.size(); at += 7) mac.Update(message.substr(at, 7));
  if (!pieces) mac.Update(message);
  Sha256Digest tag{};
  Status s = mac.Finish(&tag);
  EXPECT_TRUE(s.ok()) << s.description();
  return LowerHex(tag);
}

TEST(CryptoTest, Sha256GivesTheFips180Digests) {
  const struct {
    std::string message;
    const char* digest;
  } kVectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlm"
       "nopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& v : kVectors) {
    SCOPED_TRACE(v.message.substr(0, 20));
    EXPECT_EQ(v.digest, Sha256Hex(v.message, false));
    EXPECT_EQ(v.digest, Sha256Hex(v.message, true));
  }
  Sha256Digest digest{};
  ASSERT_TRUE(Sha256Of("abc", &digest).ok());
  EXPECT_EQ(kVectors[1].digest, LowerHex(digest));
  // Finish is once only.
  Sha256 hash;
  ASSERT_TRUE(hash.Finish(&digest).ok());
  EXPECT_FALSE(hash.Finish(&digest).ok());
}

TEST(CryptoTest, HmacSha256GivesTheRfc4231Tags) {
  std::string key4;
  for (char c = 1; c <= 25; ++c) key4 += c;
  const std::string big_key(131, '\xaa');
  const struct {
    std::string key, message;
    const char* tag;  // test case 5 gives only the first 128 bits
  } kVectors[] = {
      {std::string(20, '\x0b'), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::string(20, '\xaa'), std::string(50, '\xdd'),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {key4, std::string(50, '\xcd'),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {std::string(20, '\x0c'), "Test With Truncation", "a3b6167473100ee06e0c796c2955552b"},
      {big_key, "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {big_key,
       "This is a test using a larger than block-size key and a larger than block-size data. The "
       "key needs to be hashed before being used by the HMAC algorithm.",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const auto& v : kVectors) {
    SCOPED_TRACE(v.message);
    const std::string expected = v.tag;
    EXPECT_EQ(expected, HmacHex(v.key, v.message, false).substr(0, expected.size()));
    EXPECT_EQ(expected, HmacHex(v.key, v.message, true).substr(0, expected.size()));
  }
  Sha256Digest tag{};
  ASSERT_TRUE(HmacSha256Of("Jefe", "what do ya want for nothing?", &tag).ok());
  EXPECT_EQ(kVectors[1].tag, LowerHex(tag));
  // An empty key is a key like any other.
  ASSERT_TRUE(HmacSha256Of("", "", &tag).ok());
  EXPECT_EQ("b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad", LowerHex(tag));
}

TEST(CryptoTest, RandomBytesAndComparison) {
  std::set<std::string> seen;
  for (int i = 0; i < 4; ++i) {
    std::string bytes(32, '\0');
    ASSERT_TRUE(SystemRandomBytes(bytes.data(), bytes.size()).ok());
    seen.insert(bytes);
  }
  EXPECT_EQ(4u, seen.size());
  EXPECT_TRUE(ConstantTimeEqual("tag", "tag"));
  EXPECT_FALSE(ConstantTimeEqual("tag", "tab"));
  EXPECT_FALSE(ConstantTimeEqual("tag", "tags"));
}

}  // namespace
}  // namespace vaultrun
