#include "core/printable.h"

#include <gtest/gtest.h>

namespace vaultrun {
namespace {

// What could retitle or clear a terminal, or split a line, is shown as
// \xHH; letters of any script stand as they are.
TEST(EscapeControlTest, ControlsAndBrokenUtf8AreShownAsHex) {
  struct Row {
    std::string in, out;
  } rows[] = {
      {"plain `name` \\ 'x'", "plain `name` \\ 'x'"},
      {"\x1b]0;owned\x07", "\\x1B]0;owned\\x07"},
      {"a\nb\rc\td\x7f", "a\\x0Ab\\x0Dc\\x09d\\x7F"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80"},
      {"c1 \xc2\x9b"
       "31m",
       "c1 \\xC2\\x9B31m"},                              // CSI as UTF-8
      {"latin1 caf\xe9 \x9b", "latin1 caf\\xE9 \\x9B"},  // not UTF-8
      {"\xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80", "\\xC0\\xAF \\xED\\xA0\\x80 \\xF4\\x90\\x80\\x80"},
      {"cut \xe4\xb8", "cut \\xE4\\xB8"},
  };
  for (const Row& row : rows) EXPECT_EQ(row.out, EscapeControl(row.in)) << row.out;
}

}  // namespace
}  // namespace vaultrun
