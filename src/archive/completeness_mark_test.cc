#include "archive/completeness_mark.h"

#include <gtest/gtest.h>

namespace vaultrun {
namespace {

TEST(CompletenessMark, BuildsAndReadsBack) {
  CompletenessMark mark{
      "0.1.0", "20261207043000", "kelvane_game", {{"accounts", 4}, {"empty", 0}}, 0, ""};
  std::string text = BuildCompletenessMark(mark);
  EXPECT_EQ(
      "Vaultrun\n0.1.0\n20261207043000\nkelvane_game\naccounts\t4\nempty\t0\n"
      "Vaultrun: run complete\n",
      text);
  auto parsed = ParseCompletenessMark(text);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(mark.tables, parsed->tables);
  EXPECT_EQ("kelvane_game", parsed->database);
  EXPECT_EQ("20261207043000", parsed->stamp);
  EXPECT_EQ("", parsed->time_zone);  // marks of older runs name no zone

  // Newer runs name the zone of their TIMESTAMP text after the database.
  mark.time_zone = "+00:00";
  text = BuildCompletenessMark(mark);
  EXPECT_EQ(
      "Vaultrun\n0.1.0\n20261207043000\nkelvane_game\ntime_zone +00:00\naccounts\t4\nempty\t0\n"
      "Vaultrun: run complete\n",
      text);
  parsed = ParseCompletenessMark(text);
  ASSERT_TRUE(parsed);
  EXPECT_EQ("+00:00", parsed->time_zone);
  EXPECT_EQ(mark.tables, parsed->tables);
}

TEST(CompletenessMark, ManyTablesStayWithinTheCommentLimit) {
  CompletenessMark mark{"0.1.0", "20261207043000", "db", {}, 0, ""};
  for (int i = 0; i < 1500; ++i) mark.tables.emplace_back("table_" + std::to_string(i), i);
  std::string text = BuildCompletenessMark(mark);
  EXPECT_LE(text.size(), 65535u);
  auto parsed = ParseCompletenessMark(text);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(1000u, parsed->tables.size());
  EXPECT_EQ(500u, parsed->more_tables);
  // Long names fill the comment before the table limit does.
  mark.tables.assign(900, {std::string(200, 'n'), 1});
  text = BuildCompletenessMark(mark);
  EXPECT_LE(text.size(), 65535u);
  parsed = ParseCompletenessMark(text);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(900u, parsed->tables.size() + parsed->more_tables);
}

TEST(CompletenessMark, AnythingElseIsNoMark) {
  EXPECT_FALSE(ParseCompletenessMark(""));
  EXPECT_FALSE(ParseCompletenessMark("made by another zip tool"));
  EXPECT_FALSE(ParseCompletenessMark("Vaultrun\n0.1.0\n20261207043000\ndb\nt\t1\n"));
  EXPECT_FALSE(
      ParseCompletenessMark("Vaultrun\n0.1.0\n20261207043000\ndb\nt\tx\nVaultrun: run complete\n"));
  EXPECT_FALSE(
      ParseCompletenessMark("Vaultrun\n0.1.0\n20261207043000\ndb\nVaultrun: run complete"));
  EXPECT_TRUE(
      ParseCompletenessMark("Vaultrun\n0.1.0\n20261207043000\ndb\nVaultrun: run complete\n"));
}

// Names with control bytes, "%" or a zip signature go in encoded, so the
// comment holds no signature and no line break of a name; they read back
// as they were, and plain names stay plain.
TEST(CompletenessMark, NamesAreEncodedAndReadBack) {
  const std::string forged = std::string("PK\x05\x06", 4) + "x";
  CompletenessMark mark{
      "0.1.0",
      "20261207043000",
      "db\n",
      {{forged, 1}, {"two\nlines", 2}, {"50%", 3}, {"Zoë_ok", 4}, {"... and 2 more tables", 5}},
      0,
      ""};
  std::string text = BuildCompletenessMark(mark);
  EXPECT_EQ(std::string::npos, text.find(std::string("PK\x05\x06", 4)));
  EXPECT_NE(std::string::npos, text.find("\nPK%05%06x\t1\ntwo%0Alines\t2\n50%25\t3\nZoë_ok\t4\n"));
  auto parsed = ParseCompletenessMark(text);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(mark.tables, parsed->tables);
  EXPECT_EQ("db\n", parsed->database);
  // A mark written before names were encoded still reads.
  parsed = ParseCompletenessMark(
      "Vaultrun\n0.1.0\n20261207043000\ndb\n50%_off\t1\nVaultrun: run complete\n");
  ASSERT_TRUE(parsed);
  EXPECT_EQ("50%_off", parsed->tables[0].first);
}

}  // namespace
}  // namespace vaultrun
