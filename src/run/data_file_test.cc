#include "run/data_file.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "run/export_query.h"

namespace vaultrun {
namespace {

TEST(StripAliasSuffix, RemovesOneSuffixOnly) {
  EXPECT_EQ("blob", StripAliasSuffix("blob___"));
  EXPECT_EQ("blob___", StripAliasSuffix("blob______"));
  EXPECT_EQ("blob__", StripAliasSuffix("blob__"));
  EXPECT_EQ("", StripAliasSuffix("___"));
  EXPECT_EQ("id", StripAliasSuffix("id"));
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

#include "core/failure.h"
#include "db/session.h"
#include "run_fixture.h"

namespace vaultrun {
namespace {

class WriteDataFileTest : public test::RunFixture {};

TEST_F(WriteDataFileTest, TheThreeFormats) {
  Table("t", "id INT, name VARCHAR(10)", "(1,'don''t'),(2,NULL),(NULL,'x')");
  EXPECT_EQ("insert into `t` (`id`,`name`) values (1,'don\\'t'),(2,null),(null,'x');\r\n",
            Export("t", 1, "0"));
  EXPECT_EQ("insert into `t` values (1,'don\\'t'),(2,null),(null,'x');\r\n", Export("t", 1, "1"));
  // Only exactly "0" names the columns.
  EXPECT_EQ(Export("t", 1, "1"), Export("t", 1, "00"));
  EXPECT_EQ("id\tname\t\r\n1\tdon't\t\r\n2\t\t\r\n\tx\t\r\n", Export("t", 0));
  // Any other number: one filled row template per line, trailing comma.
  EXPECT_EQ("1,'don\\'t',\r\n2,null,\r\nnull,'x',\r\n", Export("t", 2));
  EXPECT_EQ(Export("t", 2), Export("t", -1));
}

TEST_F(WriteDataFileTest, TwentyRowsAStatement) {
  Table("n", "id INT");
  test::TestServer::Get().Admin("INSERT INTO `" + database_ + "`.n SELECT seq FROM seq_1_to_45");
  std::string sql = Export("n", 1, "1");
  std::vector<std::string> lines;
  for (size_t at = 0; at < sql.size();) {
    size_t end = sql.find("\r\n", at);
    ASSERT_NE(std::string::npos, end);
    lines.push_back(sql.substr(at, end - at));
    at = end + 2;
  }
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(
      "insert into `n` values (1),(2),(3),(4),(5),(6),(7),(8),(9),(10),(11),(12),(13),(14),"
      "(15),(16),(17),(18),(19),(20);",
      lines[0]);
  EXPECT_EQ("insert into `n` values (41),(42),(43),(44),(45);", lines[2]);

  for (int rows : {0, 20, 21, 40}) {
    std::string table = "r" + std::to_string(rows);
    Table(table, "id INT");
    if (rows > 0) {
      test::TestServer::Get().Admin("INSERT INTO `" + database_ + "`." + table +
                                    " SELECT seq FROM seq_1_to_" + std::to_string(rows));
    }
    std::string text = Export(table, 1, "1");
    size_t statements = 0;
    for (size_t at = text.find(";\r\n"); at != std::string::npos; at = text.find(";\r\n", at + 1)) {
      ++statements;
    }
    EXPECT_EQ(static_cast<size_t>((rows + 19) / 20), statements) << rows;
    EXPECT_EQ(statements, static_cast<size_t>(std::count(text.begin(), text.end(), '\n'))) << rows;
  }
  EXPECT_EQ("", Export("r0", 1, "0"));
  EXPECT_EQ("id\t\r\n", Export("r0", 0));
}

// Rows of 1 MB: a statement ends before a row would take it past 8 MiB, so
// a default server (16 MB packets) takes every statement; a row larger than
// that alone gets a statement of its own.
TEST_F(WriteDataFileTest, StatementsStayWithinTheByteBound) {
  Table("wide", "id INT, pad LONGTEXT");
  test::TestServer::Get().Admin("INSERT INTO `" + database_ +
                                "`.wide SELECT seq, REPEAT('x', IF(seq = 12, 9000000, 1000000))"
                                " FROM seq_1_to_20");
  std::string sql = Export("wide", 1, "1");
  std::vector<size_t> rows;
  for (size_t at = 0; at < sql.size();) {
    size_t end = sql.find(";\r\n", at);
    ASSERT_NE(std::string::npos, end);
    size_t n = static_cast<size_t>(std::count(sql.begin() + at, sql.begin() + end, '('));
    rows.push_back(n);
    if (n > 1) {
      EXPECT_LE(end + 1 - at, kMaxStatementBytes);
    }
    at = end + 3;
  }
  EXPECT_EQ((std::vector<size_t>{8, 3, 1, 8}), rows);
}

TEST_F(WriteDataFileTest, ValuesThatSqlCannotTakeBare) {
  Table("v",
        "b BINARY(2), vb VARBINARY(4), bit1 BIT(1), bit9 BIT(9), tm TIME, blb BLOB, `x___` INT,"
        " f FLOAT, dec1 DECIMAL(5,2)",
        "(X'00FF', X'', b'1', b'100000001', '-12:30:00', 'x', 7, 1.5, -0.25),"
        "(NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)");
  EXPECT_EQ(
      "insert into `v` (`b`,`vb`,`bit1`,`bit9`,`tm`,`blb`,`x___`,`f`,`dec1`) values "
      "(X'00FF',X'',X'01',X'0101','-12:30:00','x',7,1.5,-0.25),"
      "(null,null,null,null,null,null,null,null,null);\r\n",
      Export("v", 1, "0"));
  EXPECT_EQ(
      "b\tvb\tbit1\tbit9\ttm\tblb\tx___\tf\tdec1\t\r\n00FF\t\t01\t0101\t-12:30:00\t78\t7\t1.5\t-"
      "0.25\t\r\n"
      "\t\t\t\t\t\t\t\t\t\r\n",
      Export("v", 0));
}

TEST_F(WriteDataFileTest, PlaceholderTextInAValueStaysPut) {
  Table("p", "a VARCHAR(10), b INT, c VARCHAR(10)",
        "('\xc2\xa2"
        "1', 5, 'z')");
  EXPECT_EQ(
      "insert into `p` values ('\xc2\xa2"
      "1',5,'z');\r\n",
      Export("p", 1, "1"));
}

TEST_F(WriteDataFileTest, UnusableTableNameIsAFailure) {
  for (const char* name : {"a/b", "..", "."}) {
    Table(name, "id INT", "(1)");
    EXPECT_THROW(Export(name, 1), Failure) << name;
  }
  EXPECT_FALSE(env_->Exists(dir_.Sub("a")));
}

}  // namespace
}  // namespace vaultrun
