#include "db/connection_string.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/session.h"

namespace vaultrun::db {
namespace {

TEST(ConnectionStringTest, ReadsPlainPairsWithKeysInAnyCase) {
  ParsedConnectionString parsed = ParseConnectionString(
      "DRIVER={MySQL ODBC 3.51 Driver};server=db1;Database=game;"
      "UID=backup;PWD=secret;OPTION=3");
  ASSERT_EQ(parsed.pairs.size(), 6u);
  EXPECT_TRUE(parsed.unread.empty());
  EXPECT_EQ(parsed.Find("DRIVER"), "MySQL ODBC 3.51 Driver");
  EXPECT_EQ(parsed.Find("SERVER"), "db1");
  EXPECT_EQ(parsed.Find("database"), "game");
  EXPECT_EQ(parsed.Find("uid"), "backup");
  EXPECT_EQ(parsed.Find("Pwd"), "secret");
  EXPECT_EQ(parsed.Find("OPTION"), "3");
  EXPECT_EQ(parsed.Find("PORT"), std::nullopt);
  EXPECT_EQ(parsed.pairs[1].key, "server");
}

TEST(ConnectionStringTest, EmptyValuesAndPiecesAndTheFirstOccurrenceWins) {
  ParsedConnectionString parsed = ParseConnectionString(";;UID=a;PWD=;UID=b; ;");
  EXPECT_TRUE(parsed.unread.empty());
  EXPECT_EQ(parsed.Find("PWD"), "");
  EXPECT_EQ(parsed.Find("UID"), "a");
  EXPECT_TRUE(ParseConnectionString("").pairs.empty());
  EXPECT_EQ(ParseConnectionString("PWD=").Find("PWD"), "");
}

TEST(ConnectionStringTest, BracesHoldSemicolonsAndDoubledClosingBraces) {
  ParsedConnectionString parsed =
      ParseConnectionString("PWD={a;b}}c{d};UID={x};SERVER={};DATABASE=a}b{c");
  EXPECT_TRUE(parsed.unread.empty());
  EXPECT_EQ(parsed.Find("PWD"), "a;b}c{d");
  EXPECT_EQ(parsed.Find("UID"), "x");
  EXPECT_EQ(parsed.Find("SERVER"), "");
  EXPECT_EQ(parsed.Find("DATABASE"), "a}b{c");  // braces only count at the start
}

TEST(ConnectionStringTest, KeysAreTrimmedValuesAreNot) {
  ParsedConnectionString parsed = ParseConnectionString("  UID = a b ;PWD={ x }  ;X=y=z");
  EXPECT_TRUE(parsed.unread.empty());
  EXPECT_EQ(parsed.Find("UID"), " a b ");
  EXPECT_EQ(parsed.Find("PWD"), " x ");
  EXPECT_EQ(parsed.Find("X"), "y=z");
}

TEST(ConnectionStringTest, ReportsWhatItCannotRead) {
  ParsedConnectionString parsed = ParseConnectionString("junk;=v;UID={a}b;SERVER=h;PWD={open;x");
  EXPECT_EQ(parsed.unread, (std::vector<std::string>{"junk", "=v", "UID={a}b", "PWD={open;x"}));
  ASSERT_EQ(parsed.pairs.size(), 1u);
  EXPECT_EQ(parsed.Find("SERVER"), "h");
  EXPECT_EQ(parsed.Find("UID"), std::nullopt);
}

TEST(ConnectionStringTest, QuotesOnlyValuesThatNeedIt) {
  EXPECT_EQ(QuoteConnectionValue(""), "");
  EXPECT_EQ(QuoteConnectionValue("plain}{"), "plain}{");
  EXPECT_EQ(QuoteConnectionValue("a;b"), "{a;b}");
  EXPECT_EQ(QuoteConnectionValue("{x"), "{{x}");
  EXPECT_EQ(QuoteConnectionValue("a;}b}"), "{a;}}b}}}");
}

TEST(ConnectionStringTest, BuiltStringsReadBackToTheirPieces) {
  const std::vector<std::string> values = {
      "",     "plain", "a;b",   "{braced}", "}",         "{",     ";",   "}}",
      "x}}y", "a=b",   " pad ", "{a;b}}c",  "ünïcödé;ß", "\t;\t", "{};", "a}b;c{d"};
  for (const std::string& v : values) {
    std::string text = BuildConnectionString(v, v, v, v);
    ParsedConnectionString parsed = ParseConnectionString(text);
    EXPECT_TRUE(parsed.unread.empty()) << text;
    EXPECT_EQ(parsed.Find("SERVER"), v) << text;
    EXPECT_EQ(parsed.Find("DATABASE"), v) << text;
    EXPECT_EQ(parsed.Find("UID"), v) << text;
    EXPECT_EQ(parsed.Find("PWD"), v) << text;
    EXPECT_EQ(parsed.Find("OPTION"), "3") << text;
    EXPECT_EQ(parsed.Find("DRIVER"), "MySQL ODBC 3.51 Driver") << text;
  }
}

}  // namespace
}  // namespace vaultrun::db
