#include "restore/insert_check.h"

#include <gtest/gtest.h>

namespace vaultrun::restore {
namespace {

std::string Check(std::string_view statement, std::string_view table = "Accounts") {
  InsertStatement insert;
  return CheckInsert(statement, table, &insert);
}

TEST(InsertCheckTest, TakesWhatTheExporterWritesAndNothingElse) {
  InsertStatement insert;
  std::string_view good =
      "insert into `Accounts` (`id`,`na``me`,`b`,`f`,`bits`,`n`) values "
      "(1,'it\\'s a \\\\ \\0\\r\\n\\Z',X'00FF',-1.5e+20,b'0101',null),"
      "(-2,'',0x0a,.5,B'1',NULL)";
  ASSERT_EQ("", CheckInsert(good, "Accounts", &insert));
  EXPECT_EQ((std::vector<std::string>{"id", "na`me", "b", "f", "bits", "n"}), insert.columns);
  EXPECT_EQ(6u, insert.width);
  ASSERT_EQ(12u, insert.values.size());
  EXPECT_EQ(LiteralKind::kQuoted, insert.values[1].kind);
  EXPECT_EQ("X'00FF'", good.substr(insert.values[2].offset, insert.values[2].size));
  EXPECT_EQ("", Check("insert into `Accounts` values (1,'a')"));

  // The exact table, in its own case.
  EXPECT_EQ("at byte 13: not an insert into `Accounts`",
            Check("insert into `accounts` values (1)"));
  EXPECT_EQ("at byte 32: expected VALUES",
            Check("insert into `Accounts` (`txt`) select concat(user,'@',host) from mysql.user"));
  for (std::string_view bad : {
           "insert into `Accounts` values (1),(2); drop table x",
           "insert into `Accounts` values ((select 1))",
           "insert into `Accounts` values (1+1)",
           "insert into `Accounts` values (load_file('/etc/passwd'))",
           "insert into `Accounts` values ('a' 'b')",
           "insert into `Accounts` values (X'0')",
           "insert into `Accounts` values ('open)",
           "insert into `Accounts` values (1),(1,2)",
           "insert into `Accounts` (`a`,`b`) values (1)",
           "insert into `Accounts` values (1) on duplicate key update id=2",
           "insert into `Accounts` values (@@hostname)",
           "insert into `Accounts` values (1e)",
           "replace into `Accounts` values (1)",
       }) {
    EXPECT_NE("", Check(bad)) << bad;
  }
}

TEST(InsertCheckTest, RebuildDropsComputedColumnsAndMarksTextForms) {
  std::string_view statement = "insert into `t` values (1,'::1',2),(3,null,4)";
  InsertStatement insert;
  ASSERT_EQ("", CheckInsert(statement, "t", &insert));
  std::vector<ColumnPlan> plan = {{"id", true, false}, {"ip", true, true}, {"g", false, false}};
  EXPECT_EQ("insert into `t` (`id`,`ip`) values (1,_latin1'::1'),(3,null)",
            RebuildInsert(statement, "t", insert, plan));
}

}  // namespace
}  // namespace vaultrun::restore
