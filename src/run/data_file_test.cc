#include "run/data_file.h"

#include <gtest/gtest.h>

#include "run/export_query.h"

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
  EXPECT_EQ("\xc2\xa2" "1", EscapeQuotes("\xc2\xa2" "1"));
}

TEST(AppendHex, UpperCaseDigitsOfEveryByte) {
  std::string out = "X'";
  AppendHex(&out, std::string("\x00\x7f\x80\xff", 4));
  EXPECT_EQ("X'007F80FF", out);
  std::string empty;
  AppendHex(&empty, "");
  EXPECT_EQ("", empty);
}

TEST(StripAliasSuffix, RemovesOneSuffixOnly) {
  EXPECT_EQ("blob", StripAliasSuffix("blob___"));
  EXPECT_EQ("blob___", StripAliasSuffix("blob______"));
  EXPECT_EQ("blob__", StripAliasSuffix("blob__"));
  EXPECT_EQ("", StripAliasSuffix("___"));
  EXPECT_EQ("id", StripAliasSuffix("id"));
}

TEST(IsUsableFileName, RefusesPathsOutsideTheDatabaseFolder) {
  EXPECT_TRUE(IsUsableFileName("accounts"));
  EXPECT_TRUE(IsUsableFileName("odd name's `table`"));
  EXPECT_TRUE(IsUsableFileName("..."));
  EXPECT_FALSE(IsUsableFileName(""));
  EXPECT_FALSE(IsUsableFileName("."));
  EXPECT_FALSE(IsUsableFileName(".."));
  EXPECT_FALSE(IsUsableFileName("a/b"));
  EXPECT_FALSE(IsUsableFileName("a\\b"));
  EXPECT_FALSE(IsUsableFileName(std::string("a\0b", 3)));
}

TEST(IsQuotedType, TextAndLongBinaryAreQuoted) {
  for (int32_t t : {205, 202, 200, 203, 201, 130, 129, 13, 7, 8}) EXPECT_TRUE(IsQuotedType(t)) << t;
  for (int32_t t : {2, 3, 4, 5, 11, 16, 17, 18, 19, 20, 21, 128, 131, 133, 134, 135, 204}) {
    EXPECT_FALSE(IsQuotedType(t)) << t;
  }
}

TEST(QuoteName, DoublesBackquotes) {
  EXPECT_EQ("`t`", QuoteName("t"));
  EXPECT_EQ("`a``b`", QuoteName("a`b"));
  EXPECT_EQ("`order`", QuoteName("order"));
  EXPECT_EQ("`two words`", QuoteName("two words"));
}

TEST(DateTextExpression, PadsTheYearAndKeepsFractions) {
  std::string plain = DateTextExpression("`d`", 0);
  EXPECT_EQ(
      "concat(lpad(year(`d`),4,'0'),if(month(`d`)<10,concat('0',month(`d`)),month(`d`)),"
      "if(day(`d`)<10,concat('0',day(`d`)),day(`d`)),"
      "if(hour(`d`)<10,concat('0',hour(`d`)),hour(`d`)),"
      "if(minute(`d`)<10,concat('0',minute(`d`)),minute(`d`)),"
      "if(second(`d`)<10,concat('0',second(`d`)),second(`d`)))",
      plain);
  std::string fraction = DateTextExpression("`d`", 3);
  EXPECT_NE(std::string::npos, fraction.find(",'.',left(lpad(microsecond(`d`),6,'0'),3))"));
}

}  // namespace
}  // namespace vaultrun
