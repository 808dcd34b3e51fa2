// A backup restores exactly: every column type of the access layer, with
// the awkward values a game's tables hold, is exported by the real program
// in SQL form, restored from the archive into empty copies of the schema,
// once with the command that README gives and once with vaultrun-restore,
// and compared with CHECKSUM TABLE.
#include <gtest/gtest.h>

#include "program_folder.h"
#include "test_db.h"

namespace vaultrun {
namespace {

using test::ProgramFolder;
using test::TestServer;

void Fill(const std::string& database) {
  TestServer& server = TestServer::Get();
  server.admin().Exec("SET SESSION sql_mode='NO_AUTO_VALUE_ON_ZERO'");
  server.admin().Exec("SET SESSION time_zone='+03:00'");
  server.Admin("USE `" + database + "`");
  server.Admin(
      "CREATE TABLE ints (id INT AUTO_INCREMENT PRIMARY KEY, ti TINYINT, tu TINYINT UNSIGNED,"
      " si SMALLINT, su SMALLINT UNSIGNED, mi MEDIUMINT, mu MEDIUMINT UNSIGNED, i INT,"
      " iu INT UNSIGNED, bi BIGINT, bu BIGINT UNSIGNED, y YEAR, b1 BIT(1), b9 BIT(64),"
      " dc DECIMAL(65,30), db DOUBLE, fl FLOAT)");
  server.Admin(
      "INSERT INTO ints VALUES (0,-128,0,-32768,0,-8388608,0,-2147483648,0,"
      "-9223372036854775808,0,1901,b'0',b'0',-99999999999999999999999999999999999."
      "999999999999999999999999999999,"
      "-1.7976931348623157e308,-1.5),"
      "(NULL,127,255,32767,65535,8388607,16777215,2147483647,4294967295,9223372036854775807,"
      "18446744073709551615,2155,b'1',18446744073709551615,"
      "99999999999999999999999999999999999.999999999999999999999999999999,2.2250738585072014e-308,"
      "0.25),"
      "(NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL),"
      "(NULL,0,0,0,0,0,0,0,0,0,0,0,b'0',0,0,0,0)");
  // FLOAT values whose server text (six digits) is not the value.
  server.Admin(
      "INSERT INTO ints (fl) VALUES (16777216),(3.4028234e38),(-3.4028234e38),(0.1),"
      "(1.17549435e-38),(1.4e-45),(123456.789)");
  server.Admin(
      "CREATE TABLE texts (id INT PRIMARY KEY, c CHAR(10), v VARCHAR(200), l VARCHAR(50) CHARACTER"
      " SET latin1, t TEXT, mt MEDIUMTEXT, e ENUM('a','b''c',''), s SET('x','y','z'), j JSON)");
  server.Admin(
      "INSERT INTO texts VALUES (1,'','','','','',NULL,'',NULL),"
      "(2,'it''s','back\\\\slash \\\\\\' end','caf\\xe9','line1\\r\\nline2\\ttab','\\0nul\\Z',"
      "'b''c','x,z','{\"k\": \"v\\\\\"q\"}'),"
      "(3,NULL,NULL,NULL,NULL,NULL,'',NULL,'[]'),"
      "(4,'\xc3\xa9t\xc3\xa9','\xf0\x9f\x90\x89 dragon \xe4\xb8\xad','x','\xc2\xa2"
      "1 placeholder',"
      "REPEAT('long ', 20000),'a','',NULL)");
  server.Admin(
      "CREATE TABLE dates (id INT PRIMARY KEY, d DATE, t TIME, t6 TIME(6), dt DATETIME,"
      " dt6 DATETIME(6), ts TIMESTAMP NULL, ts3 TIMESTAMP(3) NULL)");
  server.Admin(
      "INSERT INTO dates VALUES (1,'1000-01-01','-838:59:59','00:00:00.000001','1000-01-01 "
      "00:00:00',"
      "'1000-01-01 00:00:00.000000','1970-01-01 03:00:01','2038-01-19 06:14:07.999'),"
      "(2,'9999-12-31','838:59:59','-12:34:56.5','9999-12-31 23:59:59','9999-12-31 "
      "23:59:59.999999',"
      "'2026-12-07 12:00:00',NULL),"
      "(3,'0000-00-00','00:00:00','00:00:00','0000-00-00 00:00:00','0000-00-00 00:00:00.000000',"
      "NULL,NULL),(4,NULL,NULL,NULL,NULL,NULL,NULL,NULL),"
      "(5,'0099-02-03','01:02:03','01:02:03.4','0999-12-31 23:59:59','2006-03-07 09:05:02.5',"
      "'2006-03-07 09:05:02','2006-03-07 09:05:02.123')");
  server.Admin(
      "CREATE TABLE bins (id INT PRIMARY KEY, b BINARY(4), vb VARBINARY(300), bl BLOB,"
      " lb LONGBLOB, g GEOMETRY NULL)");
  server.Admin(
      "INSERT INTO bins VALUES (1,X'00000000',X'',X'',X'',NULL),"
      "(2,X'FF5C2700',(SELECT UNHEX(GROUP_CONCAT(LPAD(HEX(seq),2,'0') ORDER BY seq SEPARATOR ''))"
      " FROM seq_0_to_255),(SELECT UNHEX(GROUP_CONCAT(LPAD(HEX(255-seq),2,'0') ORDER BY seq"
      " SEPARATOR '')) FROM seq_0_to_255),REPEAT(X'00275C0D0A1A22',150000),POINT(1.5,-2)),"
      "(3,NULL,NULL,NULL,NULL,NULL),(4,'x','x','x','x',ST_GeomFromText('LINESTRING(0 0,1 1)'))");
  // Enough rows for several statements.
  server.Admin("CREATE TABLE many (id INT PRIMARY KEY, name VARCHAR(20), n INT NULL)");
  server.Admin(
      "INSERT INTO many SELECT seq, CONCAT('row ''', seq), IF(seq % 3, seq, NULL)"
      " FROM seq_1_to_1001");
}

TEST(RoundTrip, EveryTypeRestoresExactly) {
  TestServer& server = TestServer::Get();
  std::string source = server.CreateDatabase("source");
  Fill(source);
  std::vector<std::string> tables = {"bins", "dates", "ints", "many", "texts"};

  ProgramFolder folder;
  folder.WriteConfFor(source, TestServer::kBackupUser, TestServer::kBackupPassword);
  folder.WriteSettings(
      "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n\"format_sql\"=\"1\"\r\n");
  ASSERT_EQ(0, folder.Run()) << ::testing::PrintToString(folder.Entries());
  auto archives = folder.Archives(source);
  ASSERT_EQ(1u, archives.size());
  ASSERT_TRUE(ProgramFolder::ArchiveTestsClean(archives[0]));

  std::string target = server.CreateDatabase("restored");
  std::string by_tool = server.CreateDatabase("restored_by_tool");
  for (const std::string& table : tables) {
    for (const std::string& copy : {target, by_tool}) {
      server.Admin("CREATE TABLE `" + copy + "`.`" + table + "` LIKE `" + source + "`.`" + table +
                   "`");
    }
    // The restore command of README, with the test server's connection.
    std::string command =
        "unzip -p '" + archives[0] + "' '" + source + "/" + table +
        ".sql' | mariadb --no-defaults"
        " -uroot --socket='" +
        server.socket() +
        "' --default-character-set=binary"
        " --max-allowed-packet=256M --init-command=\"SET sql_mode='NO_AUTO_VALUE_ON_ZERO'\" '" +
        target + "' 2>&1";
    std::string output;
    ASSERT_EQ(0, test::RunCommand(command, &output)) << table << ": " << output;
  }
  // The whole archive at once with the restore tool.
  std::string output;
  ASSERT_EQ(0, test::RunCommand(std::string(VAULTRUN_RESTORE_BINARY) + " --key-file='" +
                                    folder.key_path() + "'" + " --no-defaults -uroot --socket='" +
                                    server.socket() + "' '" + archives[0] +
                                    "' --database=" + by_tool + " 2>&1",
                                &output))
      << output;
  server.admin().Exec("SET SESSION time_zone=@@global.time_zone");
  for (const std::string& table : tables) {
    std::string before =
        server.AdminQueryOne("SELECT COUNT(*) FROM `" + source + "`.`" + table + "`");
    // CHECKSUM TABLE's second column is the checksum.
    auto sum = [&](const std::string& db) {
      std::string out;
      test::RunCommand("mariadb --no-defaults -uroot -N --socket='" + server.socket() +
                           "' -e 'CHECKSUM TABLE `" + db + "`.`" + table + "`' | cut -f2",
                       &out);
      return out;
    };
    std::string expected = sum(source);
    EXPECT_GT(expected.size(), 2u) << table;
    for (const std::string& copy : {target, by_tool}) {
      std::string after =
          server.AdminQueryOne("SELECT COUNT(*) FROM `" + copy + "`.`" + table + "`");
      EXPECT_EQ(before, after) << copy << "." << table;
      EXPECT_EQ(expected, sum(copy)) << copy << "." << table;
    }
  }
}

}  // namespace
}  // namespace vaultrun
