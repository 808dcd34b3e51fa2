#include "restore/verify_content.h"

#include <gtest/gtest.h>

namespace vaultrun::restore {
namespace {

// A FLOAT compares by the float the server stores from its text: the
// six-digit text of older archives and the exact text of newer ones are
// one value; other columns, quoted text and NULLs stand as they are.
TEST(FloatsByValueTest, TextsOfOneFloatCompareEqual) {
  const std::vector<bool> second = {false, true, false};
  auto same = [&](const std::string& a, const std::string& b, DataForm form) {
    return FloatsByValue(a, form, second) == FloatsByValue(b, form, second);
  };
  EXPECT_TRUE(same("(1,0.1,'a')", "(1,0.10000000149011612,'a')", DataForm::kSql));
  EXPECT_TRUE(same("(1,3.40282e38,'a')", "(1,3.402820018375656e38,'a')", DataForm::kSql));
  EXPECT_FALSE(same("(1,3.40282e38,'a')", "(1,3.4028234663852886e38,'a')", DataForm::kSql));
  EXPECT_TRUE(same("1\t16777216\tx\t", "1\t16777216\tx\t", DataForm::kTabSeparated));
  EXPECT_FALSE(same("(1,16777216,'a')", "(1,16777200,'a')", DataForm::kSql));
  EXPECT_FALSE(same("(1,0.1,'a')", "(2,0.1,'a')", DataForm::kSql));
  EXPECT_FALSE(same("(1,0.1,'a,0.1')", "(1,0.1,'a,0.2')", DataForm::kSql));
  EXPECT_FALSE(same("1\t0.1\tx\t", "1\t0.1\ty\t", DataForm::kTabSeparated));
  EXPECT_EQ("(1,null,'it\\'s, 0.1')",
            FloatsByValue("(1,null,'it\\'s, 0.1')", DataForm::kSql, second));
  EXPECT_EQ("1\t\tx\t", FloatsByValue("1\t\tx\t", DataForm::kTabSeparated, second));
  EXPECT_EQ("not a tuple", FloatsByValue("not a tuple", DataForm::kSql, second));
}

}  // namespace
}  // namespace vaultrun::restore
