// The definitions entry's format: what is built parses back exactly, and
// text that is not exactly in the format parses as nothing.
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
  EXPECT_FALSE(ParseDefinitions("vaultrun definitions 2\n" + text.substr(23)));
  std::string longer = text;
  longer.insert(longer.find('\n', longer.find("trigger 1 19 ")), "9");  // a count past its field
  EXPECT_FALSE(ParseDefinitions(longer));
  EXPECT_FALSE(
      ParseDefinitions("vaultrun definitions 1\ntable 1 0 1\na\n\nb\nend\n"));  // no database
  EXPECT_FALSE(ParseDefinitions("vaultrun definitions 1\ndatabase 1 0 99999999999999999999\n"));
}

}  // namespace
}  // namespace vaultrun
