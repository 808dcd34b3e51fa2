#include "run/export_query.h"

#include <gtest/gtest.h>

#include "db/session.h"
#include "platform/failure.h"
#include "run_fixture.h"

namespace vaultrun {
namespace {

class ExportQueryTest : public test::RunFixture {
 protected:
  // The data query that the probe of table yields.
  std::string DataQueryOf(const std::string& table) {
    Open();
    EXPECT_TRUE(RunQuery(process_, ProbeQueryText(table), sets_.TableResult));
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

TEST_F(ExportQueryTest, DateColumnsWithOddNamesStayValid) {
  Table("we`ird", "`order` DATETIME, `desc` DATE, `two words` TIMESTAMP NULL",
        "('2006-03-07 09:05:02','0999-01-02',NULL)");
  std::string sql = DataQueryOf("we`ird");
  EXPECT_NE(std::string::npos, sql.find(" `order`,"));
  EXPECT_NE(std::string::npos, sql.find("from `we``ird`"));
  auto rs = process_.SessionConnection->Execute(sql);
  ASSERT_FALSE(rs->Eof());
  EXPECT_EQ("20060307090502", rs->ValueAt(0).Text());
  EXPECT_EQ("09990102000000", rs->ValueAt(1).Text());
  EXPECT_TRUE(rs->ValueAt(2).IsNull());
  EXPECT_EQ("order", rs->GetFields().Item(0).Name());
  EXPECT_EQ(db::adVarChar, rs->GetFields().Item(0).Type());
}

TEST_F(ExportQueryTest, DateTextKeepsZeroDatesAndFractions) {
  Table("d", "z DATETIME, f DATETIME(3), g TIMESTAMP(6) NULL");
  test::TestServer::Get().admin().Exec("SET SESSION sql_mode=''");
  test::TestServer::Get().admin().Exec(
      "INSERT INTO `" + database_ +
      "`.d VALUES ('0000-00-00 00:00:00','2020-01-02 03:04:05.067',"
      "'2021-12-31 23:59:58.000001')");
  auto sql = DataQueryOf("d");
  auto rs = process_.SessionConnection->Execute(sql);
  ASSERT_FALSE(rs->Eof());
  EXPECT_EQ("00000000000000", rs->ValueAt(0).Text());
  EXPECT_EQ("20200102030405.067", rs->ValueAt(1).Text());
  EXPECT_EQ("20211231235958.000001", rs->ValueAt(2).Text());
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
    RunExportQuery(process_, "dropped", sets_);
    FAIL() << "no failure raised";
  } catch (const Failure& failure) {
    EXPECT_EQ("Table '" + database_ + ".dropped' doesn't exist", failure.description());
  }
  EXPECT_TRUE(log_.entries.empty());
}

}  // namespace
}  // namespace vaultrun
