#include "run/value_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace vaultrun {
namespace {

TEST(EscapeQuotes, EscapesEveryByteThatAStringLiteralNeeds) {
  EXPECT_EQ("it\\'s", EscapeQuotes("it's"));
  EXPECT_EQ("C:\\\\dir", EscapeQuotes("C:\\dir"));
  EXPECT_EQ("a\\0b", EscapeQuotes(std::string("a\0b", 3)));
  EXPECT_EQ("l1\\r\\nl2", EscapeQuotes("l1\r\nl2"));
  EXPECT_EQ("\\Z", EscapeQuotes("\x1a"));
  // Tabs, double quotes and bytes above 127 stay as they are.
  EXPECT_EQ("\t\"\xc3\xa9", EscapeQuotes("\t\"\xc3\xa9"));
  EXPECT_EQ("", EscapeQuotes(""));
  // A value holding the old placeholder text is an ordinary value.
  EXPECT_EQ(
      "\xc2\xa2"
      "1",
      EscapeQuotes("\xc2\xa2"
                   "1"));
}

TEST(AppendHex, UpperCaseDigitsOfEveryByte) {
  std::string out = "X'";
  AppendHex(&out, std::string("\x00\x7f\x80\xff", 4));
  EXPECT_EQ("X'007F80FF", out);
  std::string empty;
  AppendHex(&empty, "");
  EXPECT_EQ("", empty);
}

// Runs a *To form into a buffer with a guard band past the room it may use
// (bound + kValueSlack), and fails when it writes into the band.
using ToForm = char* (*)(char*, const char*, size_t);
std::string Guarded(ToForm form, const std::string& in, size_t bound) {
  constexpr size_t kGuard = 64;
  std::string buf(bound + kValueSlack + kGuard, '\x5a');
  char* end = form(buf.data(), in.data(), in.size());
  EXPECT_LE(static_cast<size_t>(end - buf.data()), bound);
  EXPECT_EQ(std::string(kGuard, '\x5a'), buf.substr(bound + kValueSlack)) << "wrote past its room";
  return buf.substr(0, static_cast<size_t>(end - buf.data()));
}

std::string Escaped(const std::string& in) { return Guarded(EscapeTo, in, 2 * in.size()); }
std::string EscapedBytewise(const std::string& in) {
  return Guarded(EscapeToBytewise, in, 2 * in.size());
}

// The block-at-a-time escaper against the byte-at-a-time one: every byte
// value at every place of values up to three blocks long (the other bytes
// plain or themselves escaped), random binary values, empty and very long.
TEST(EscapeTo, AgreesWithTheBytewiseEscaper) {
  for (int c = 0; c < 256; ++c) {
    for (size_t n = 1; n <= 49; ++n) {
      for (size_t at = 0; at < n; ++at) {
        for (char fill : {'a', '\''}) {
          std::string in(n, fill);
          in[at] = static_cast<char>(c);
          ASSERT_EQ(EscapedBytewise(in), Escaped(in))
              << "byte " << c << " at " << at << " of " << n;
        }
      }
    }
  }
  std::mt19937 rng(24);
  for (int i = 0; i < 2000; ++i) {
    std::string in(rng() % 300, '\0');
    // Dense or sparse escapes: bytes from a small alphabet or from all 256.
    const unsigned range = i % 2 ? 256 : 8;
    for (char& ch : in)
      ch = static_cast<char>(i % 2 ? rng() % range : "ab'\\\r\n\0\x1a"[rng() % range]);
    ASSERT_EQ(EscapedBytewise(in), Escaped(in)) << i;
  }
  EXPECT_EQ("", Escaped(""));
  std::string long_text(3 << 20, 'x');
  for (size_t i = 0; i < long_text.size(); i += 4093) long_text[i] = '\'';
  EXPECT_EQ(EscapedBytewise(long_text), Escaped(long_text));
}

TEST(HexTo, UpperCaseDigitsAtEveryLength) {
  std::mt19937 rng(7);
  for (size_t n = 0; n <= 70; ++n) {
    std::string in(n, '\0');
    for (char& ch : in) ch = static_cast<char>(rng());
    std::string expected;
    for (unsigned char ch : in) {
      char two[3];
      std::snprintf(two, sizeof two, "%02X", ch);
      expected += two;
    }
    EXPECT_EQ(expected, Guarded(HexTo, in, 2 * n)) << n;
  }
}

// Dates: the fixed-place reading against the byte-at-a-time one, on what
// the server sends and on text of the same alphabet that it never sends.
TEST(DateDigitsTo, AgreesWithTheBytewiseReading) {
  const std::vector<std::string> sent = {"2026-01-01",
                                         "0000-00-00",
                                         "2026-12-31 23:59:59",
                                         "1000-01-01 00:00:00.000001",
                                         "9999-12-31 23:59:59.9",
                                         "2004-02-30 00:00:00.067"};
  for (const std::string& in : sent) {
    EXPECT_EQ(Guarded(DateDigitsToBytewise, in, in.size() + 6),
              Guarded(DateDigitsTo, in, in.size() + 6));
  }
  EXPECT_EQ("20260101000000", Guarded(DateDigitsTo, "2026-01-01", 16));
  EXPECT_EQ("20261231235959.5", Guarded(DateDigitsTo, "2026-12-31 23:59:59.5", 27));
  std::mt19937 rng(11);
  const std::string alphabet = "0123456789-: .x\0";
  for (int i = 0; i < 20000; ++i) {
    std::string in = sent[rng() % sent.size()];
    for (unsigned k = rng() % 3; k > 0; --k)
      in[rng() % in.size()] = alphabet[rng() % alphabet.size()];
    if (rng() % 4 == 0) in.resize(rng() % (in.size() + 1));
    ASSERT_EQ(Guarded(DateDigitsToBytewise, in, in.size() + 6),
              Guarded(DateDigitsTo, in, in.size() + 6))
        << in;
  }
}

TEST(CopyTo, CopiesEveryLengthAndTellsLineBreaks) {
  std::string in;
  for (size_t n = 0; n <= 40; ++n, in += static_cast<char>('a' + n % 26)) {
    EXPECT_EQ(in, Guarded(CopyTo, in, n));
    EXPECT_FALSE(HoldsTabOrLineBreak(in.data(), in.size()));
    for (char c : {'\t', '\r', '\n'}) {
      for (size_t at = 0; at < n; ++at) {
        std::string with = in;
        with[at] = c;
        EXPECT_TRUE(HoldsTabOrLineBreak(with.data(), with.size())) << n << " " << at;
      }
    }
  }
}

}  // namespace
}  // namespace vaultrun
