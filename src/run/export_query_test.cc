#include "run/export_query.h"

#include <gtest/gtest.h>

#include "core/failure.h"
#include "db/session.h"
#include "run/data_file.h"
#include "run_fixture.h"

namespace vaultrun {
namespace {

class ExportQueryTest : public test::RunFixture {
 protected:
  // The data query that the probe of table yields.
  std::string DataQueryOf(const std::string& table) {
    Open();
    EXPECT_NO_THROW(RunQuery(session_, ProbeQueryText(table), sets_.TableResult));
    return BuildDataQuery(sets_.TableResult->GetFields(), table).sql;
  }
};

TEST_F(ExportQueryTest, SelectListByColumnClass) {
  Table("t", "id INT, data LONGBLOB");
  EXPECT_EQ("select `id`,convert(`data`, binary) as `data___` from `t`", DataQueryOf("t"));
  Table("ab", "a INT, b VARCHAR(3)", "(1,'x')");
  EXPECT_EQ("select `a`,`b` from `ab`", DataQueryOf("ab"));
  Table("one", "a INT");
  EXPECT_EQ("select `a` from `one`", DataQueryOf("one"));
  // Short binary, fixed binary and time columns are selected by name.
  Table("plain", "vb VARBINARY(4), fb BINARY(2), tm TIME, y YEAR");
  EXPECT_EQ("select `vb`,`fb`,`tm`,`y` from `plain`", DataQueryOf("plain"));
}

TEST_F(ExportQueryTest, DateColumnsAreSelectedByNameAndStayValid) {
  Table("we`ird", "`order` DATETIME, `desc` DATE, `two words` TIMESTAMP NULL",
        "('2006-03-07 09:05:02','0999-01-02',NULL)");
  std::string sql = DataQueryOf("we`ird");
  EXPECT_EQ("select `order`,`desc`,`two words` from `we``ird`", sql);
  auto rs = session_.connection->Execute(sql);
  ASSERT_FALSE(rs->Eof());
  EXPECT_EQ(db::adDBTimeStamp, rs->GetFields().Item(0).Type());
  EXPECT_EQ(db::adDBDate, rs->GetFields().Item(1).Type());
}

// The digits the writer makes from the server's text are the digits the
// server's own expression gives, for every awkward date.
TEST_F(ExportQueryTest, ClientDateTextMatchesTheServerExpression) {
  Table("d", "id INT, d DATE, t DATETIME, f1 DATETIME(1), f3 DATETIME(3), f6 TIMESTAMP(6) NULL");
  test::TestServer::Get().admin().Exec("SET SESSION sql_mode='ALLOW_INVALID_DATES'");
  test::TestServer::Get().admin().Exec(
      "INSERT INTO `" + database_ +
      "`.d VALUES (1,'0000-00-00','0000-00-00 00:00:00','0000-00-00 00:00:00.0',"
      "'0000-00-00 00:00:00.000',NULL),"
      "(2,'0001-01-01','0099-12-31 23:59:59','0999-01-02 03:04:05.9',"
      "'2020-01-02 03:04:05.067','2021-12-31 23:59:58.000001'),"
      "(3,'2004-02-30','2004-02-30 00:00:00','9999-12-31 23:59:59.1',"
      "'1000-01-01 00:00:00.001','1970-01-01 00:00:01.000000'),"
      "(4,NULL,NULL,NULL,NULL,'2038-01-19 03:14:07.999999')");
  Open();
  const std::vector<std::pair<std::string, int>> columns = {
      {"d", 0}, {"t", 0}, {"f1", 1}, {"f3", 3}, {"f6", 6}};
  std::string sql = "select ";
  for (const auto& [name, scale] : columns) {
    sql += QuoteName(name) + "," + DateTextExpression(QuoteName(name), scale) + ",";
  }
  sql.pop_back();
  auto rs = session_.connection->Execute(sql + " from d order by id");
  int rows = 0;
  for (; !rs->Eof(); rs->MoveNext(), ++rows) {
    for (int j = 0; j < static_cast<int>(columns.size()); ++j) {
      db::Value raw = rs->ValueAt(2 * j);
      db::Value server = rs->ValueAt(2 * j + 1);
      ASSERT_EQ(server.IsNull(), raw.IsNull());
      if (raw.IsNull()) continue;
      std::string digits;
      AppendDateDigits(&digits, raw.Bytes());
      EXPECT_EQ(server.Text(), digits) << "row " << rows << " column " << columns[j].first;
    }
  }
  EXPECT_EQ(4, rows);
}

TEST_F(ExportQueryTest, EmptyTableGivesTheSameSelectList) {
  Table("full", "id INT, b BLOB, d DATE", "(1,'x','2000-01-01')");
  Table("empty", "id INT, b BLOB, d DATE");
  std::string full = DataQueryOf("full");
  std::string empty = DataQueryOf("empty");
  EXPECT_EQ(full.substr(0, full.find(" from ")), empty.substr(0, empty.find(" from ")));
}

TEST_F(ExportQueryTest, FailingProbeRaisesTheServersMessage) {
  // The run-level handler of Main reports it once and shuts down.
  Open();
  try {
    RunExportQuery(session_, "dropped", sets_);
    FAIL() << "no failure raised";
  } catch (const Failure& failure) {
    EXPECT_EQ("Table '" + database_ + ".dropped' doesn't exist", failure.description());
  }
  EXPECT_TRUE(log_.entries.empty());
}

}  // namespace
}  // namespace vaultrun
