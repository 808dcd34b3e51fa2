// The definitions entry's format: what is built parses back exactly, and
// text that is not exactly in the format parses as nothing; the DEFINER
// clause comes out of a statement and nothing else does.
#include "archive/definitions_entry.h"

#include <gtest/gtest.h>

namespace vaultrun {
namespace {

TEST(DefinitionsFormat, RoundTripsAndRefusesAnythingElse) {
  Definitions d{"game\nx", "utf8mb4", "utf8mb4_general_ci", {}, {}};
  d.objects.push_back({"table", "a `b`\r\n", "", "CREATE TABLE `a ``b``\r\n` (id INT)\n"});
  d.objects.push_back({"trigger", "t", "STRICT_TRANS_TABLES", "CREATE TRIGGER t ... end"});
  d.left_out.push_back({"left-out", "view `v`", "", "SHOW VIEW"});
  std::string text = BuildDefinitions(d);
  std::optional<Definitions> back = ParseDefinitions(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(d.database, back->database);
  EXPECT_EQ(d.collation, back->collation);
  EXPECT_EQ(d.objects, back->objects);
  EXPECT_EQ(d.left_out, back->left_out);

  EXPECT_FALSE(ParseDefinitions(text.substr(0, text.size() - 1)));  // no "end" line
  EXPECT_FALSE(ParseDefinitions(text + "x"));                       // bytes after it
  EXPECT_EQ(2, back->version);
  EXPECT_FALSE(ParseDefinitions("vaultrun definitions 3\n" + text.substr(23)));
  // Entries of older runs still read.
  std::optional<Definitions> old = ParseDefinitions("vaultrun definitions 1\n" + text.substr(23));
  ASSERT_TRUE(old);
  EXPECT_EQ(1, old->version);
  EXPECT_EQ(d.objects, old->objects);
  std::string longer = text;
  longer.insert(longer.find('\n', longer.find("trigger 1 19 ")), "9");  // a count past its field
  EXPECT_FALSE(ParseDefinitions(longer));
  EXPECT_FALSE(
      ParseDefinitions("vaultrun definitions 2\ntable 1 0 1\na\n\nb\nend\n"));  // no database
  EXPECT_FALSE(ParseDefinitions("vaultrun definitions 2\ndatabase 1 0 99999999999999999999\n"));
}

// A restore takes the DEFINER clause out of the statements that version 2
// keeps it in.
TEST(DefinitionsFormat, StripsTheDefinerClauseOnly) {
  EXPECT_EQ("CREATE VIEW `v` AS select 1",
            StripDefiner("CREATE DEFINER=`ro``ot`@`local host` VIEW `v` AS select 1"));
  EXPECT_EQ("CREATE ALGORITHM=UNDEFINED SQL SECURITY DEFINER VIEW `v` AS select 1",
            StripDefiner("CREATE ALGORITHM=UNDEFINED DEFINER=`root`@`%` SQL SECURITY DEFINER "
                         "VIEW `v` AS select 1"));
  EXPECT_EQ("CREATE TRIGGER t AFTER INSERT ON x FOR EACH ROW SET @a = 'DEFINER=`u`@`h` '",
            StripDefiner("CREATE DEFINER=`admin_role` TRIGGER t AFTER INSERT ON x FOR EACH ROW "
                         "SET @a = 'DEFINER=`u`@`h` '"));
}

// The account a restore creates an object with: the stored clause's, its
// quotes taken off; a role has no host; a DEFINER in a body is no clause.
TEST(DefinitionsFormat, ReadsTheStoredDefiner) {
  EXPECT_EQ((Account{"ro`ot", "local host"}),
            StoredDefiner("CREATE DEFINER=`ro``ot`@`local host` VIEW `v` AS select 1"));
  EXPECT_EQ((Account{"app", "%"}),
            StoredDefiner("CREATE ALGORITHM=UNDEFINED DEFINER=\"app\"@\"%\" SQL SECURITY "
                          "INVOKER VIEW \"v\" AS select 1"));
  EXPECT_EQ((Account{"admin_role", std::nullopt}),
            StoredDefiner("CREATE DEFINER=`admin_role` TRIGGER t AFTER INSERT ON x FOR EACH ROW "
                          "SET @a = 1"));
  EXPECT_FALSE(StoredDefiner("CREATE PROCEDURE `p`() SET @a = 'x DEFINER=`u`@`h` '"));
  EXPECT_FALSE(StoredDefiner("CREATE TABLE `t` (id INT)"));
}

}  // namespace
}  // namespace vaultrun
