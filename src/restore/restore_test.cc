// Restores and verifies archives written by the real vaultrun program,
// against the suite's server: in-process through Restore and Verify, and
// through the vaultrun-restore program as a user runs it.
#include "restore/restore.h"

#include <gtest/gtest.h>

#include <sstream>

#include "platform/failure.h"
#include "program_folder.h"
#include "restore/command.h"
#include "run/completeness_mark.h"
#include "run/definitions.h"
#include "test_db.h"

namespace vaultrun::restore {
namespace {

using test::ProgramFolder;
using test::TestServer;

constexpr const char kSqlSettings[] =
    "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n\"format_sql\"=\"1\"\r\n";
// Rows only, as archives were before they held definitions.
constexpr const char kRowsOnlySettings[] =
    "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n\"format_sql\"=\"1\"\r\n"
    "\"store_definitions\"=\"0\"\r\n";
constexpr const char kCsvSettings[] =
    "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n\"format_sql\"=\"0\"\r\n";

ConnectOptions RootOptions() {
  ConnectOptions options;
  options.socket = TestServer::Get().socket();
  options.user = "root";
  options.read_option_files = false;
  return options;
}

// Sets the archive's zip comment with Python's zipfile.
void SetComment(const test::TempDir& dir, const std::string& archive, const std::string& text) {
  test::WriteFileOrDie(dir.Sub("comment"), text);
  ASSERT_EQ(0,
            test::RunCommand("python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1], "
                             "\"a\"); z.comment = open(sys.argv[2], \"rb\").read(); z.close()' '" +
                             archive + "' '" + dir.Sub("comment") + "'"));
}

class RestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = TestServer::Get().CreateDatabase("live");
    target_ = TestServer::Get().CreateDatabase("target");
    TestServer::Get().Admin("USE `" + source_ + "`");  // for the seq_ tables
    console_.err = &err_;
    console_.out = &out_;
  }
  // The real program's archive of the source database.
  std::string Backup(const char* settings) {
    folder_.WriteConfFor(source_, TestServer::kBackupUser, TestServer::kBackupPassword);
    folder_.WriteSettings(settings);
    EXPECT_EQ(0, folder_.Run()) << ::testing::PrintToString(folder_.Entries());
    auto archives = folder_.Archives(source_);
    EXPECT_EQ(1u, archives.size());
    return archives.empty() ? "" : archives.back();
  }
  void CopySchema(const std::vector<std::string>& tables) {
    for (const std::string& table : tables) {
      TestServer::Get().Admin("CREATE TABLE `" + target_ + "`.`" + table + "` LIKE `" + source_ +
                              "`.`" + table + "`");
    }
  }
  std::string Count(const std::string& database, const std::string& table) {
    return TestServer::Get().AdminQueryOne("SELECT COUNT(*) FROM `" + database + "`.`" + table +
                                           "`");
  }
  std::string Checksum(const std::string& database, const std::string& table) {
    std::string out;
    test::RunCommand("mariadb --no-defaults -uroot -N --socket='" + TestServer::Get().socket() +
                         "' -e 'CHECKSUM TABLE `" + database + "`.`" + table + "`' | cut -f2",
                     &out);
    return out;
  }
  // Every row of a table as text, columns in hex so that bytes show.
  std::vector<std::string> Rows(const std::string& database, const std::string& table,
                                const std::string& columns) {
    return TestServer::Get().admin().Column("SELECT CONCAT_WS('|', " + columns + ") FROM `" +
                                            database + "`.`" + table + "` ORDER BY 1");
  }
  RestoreSummary RunRestore(const std::string& archive, std::vector<std::string> tables = {},
                            bool force = false) {
    std::unique_ptr<Connection> connection = Connection::Open(RootOptions());
    RestoreRequest request{archive, target_, std::move(tables), force};
    return Restore(request, *connection, console_);
  }
  // The failure's description, or "" when the restore succeeds.
  std::string RestoreFailure(const std::string& archive, std::vector<std::string> tables = {},
                             bool force = false) {
    try {
      RunRestore(archive, std::move(tables), force);
    } catch (const Failure& failure) {
      return failure.description();
    }
    return "";
  }
  VerifyResult RunVerify(const std::string& archive, const std::string& scratch) {
    std::unique_ptr<Connection> connection = Connection::Open(RootOptions());
    VerifyRequest request;
    request.archive = archive;
    request.scratch_database = scratch;
    return Verify(request, *connection, console_);
  }
  bool DatabaseExists(const std::string& name) {
    return TestServer::Get().AdminQueryOne(
               "SELECT COUNT(*) FROM information_schema.schemata WHERE schema_name = '" + name +
               "'") == "1";
  }
  // The program itself; *output gets what it printed on both streams.
  int RunProgram(const std::string& args, std::string* output) {
    return test::RunCommand(std::string(VAULTRUN_RESTORE_BINARY) + " " + args + " 2>&1 </dev/null",
                            output);
  }

  ProgramFolder folder_;
  std::string source_, target_;
  std::ostringstream out_, err_;
  Console console_;
};

TEST_F(RestoreTest, SqlArchiveRestoresAllOrChosenTablesExactly) {
  TestServer& server = TestServer::Get();
  server.CreateTable(source_, "chars",
                     "id INT AUTO_INCREMENT PRIMARY KEY, name VARCHAR(30) CHARACTER SET latin1,"
                     " bio TEXT, born DATETIME NULL, avatar BLOB");
  server.Admin("SET SESSION sql_mode='NO_AUTO_VALUE_ON_ZERO'");
  server.Insert(source_, "chars",
                "(0,'caf\\xe9','it''s\\r\\n\\t\\\\ \\0','0000-00-00 00:00:00',X'00FF0D0A27'),"
                "(1,NULL,'',NULL,NULL),(2,'x',REPEAT('long ', 9000),'1999-12-31 23:59:59','')");
  server.Admin("SET SESSION sql_mode=DEFAULT");
  server.CreateTable(source_, "many", "id INT PRIMARY KEY, n INT NULL");
  server.Admin("INSERT INTO `" + source_ + "`.many SELECT seq, IF(seq % 2, seq, NULL) FROM " +
               "seq_1_to_2345");
  server.CreateTable(source_, "empty", "id INT");
  std::string archive = Backup(kSqlSettings);
  CopySchema({"chars", "many", "empty"});

  // One table only: the others stay untouched.
  RestoreSummary summary = RunRestore(archive, {"many"});
  ASSERT_EQ(1u, summary.tables.size());
  EXPECT_EQ(2345u, summary.rows);
  EXPECT_EQ("0", Count(target_, "chars"));
  EXPECT_EQ(Checksum(source_, "many"), Checksum(target_, "many"));

  // A table that holds rows is refused, naming it, before anything is written.
  EXPECT_EQ("tables of database " + target_ +
                " already hold rows: many (empty them, or give --force to add the archive's "
                "rows to them); nothing was written",
            RestoreFailure(archive));
  EXPECT_EQ("0", Count(target_, "chars"));

  summary = RunRestore(archive, {"chars", "empty"});
  EXPECT_EQ(3u, summary.rows);
  EXPECT_EQ(Checksum(source_, "chars"), Checksum(target_, "chars"));
  EXPECT_GT(Checksum(source_, "chars").size(), 2u);
  EXPECT_EQ("", err_.str());  // no progress lines when not on a terminal

  // --force adds to a table with rows; the duplicate keys then fail it and
  // its transaction is rolled back.
  std::string failure = RestoreFailure(archive, {"many"}, true);
  EXPECT_NE(std::string::npos, failure.find("table many: " + source_ + "/many.sql line 1: "))
      << failure;
  EXPECT_NE(std::string::npos, failure.find("Duplicate entry")) << failure;
  EXPECT_EQ("2345", Count(target_, "many"));
  server.Admin("DELETE FROM `" + target_ + "`.many WHERE id > 100");
  EXPECT_EQ("", RestoreFailure(archive, {"empty"}, true));  // holds no rows: nothing to force

  // Tables that are not in the archive.
  EXPECT_EQ("not in the archive: nothing, nor_this",
            RestoreFailure(archive, {"nothing", "nor_this"}));
}

TEST_F(RestoreTest, MissingTableStopsBeforeAnythingIsWritten) {
  TestServer& server = TestServer::Get();
  server.CreateTable(source_, "a_first", "id INT");
  server.Insert(source_, "a_first", "(1),(2)");
  server.CreateTable(source_, "b_second", "id INT");
  server.Insert(source_, "b_second", "(3)");
  std::string archive = Backup(kRowsOnlySettings);
  CopySchema({"a_first"});

  EXPECT_EQ("no such table in database " + target_ +
                ": b_second (the archive holds rows, not table definitions: create the tables "
                "first, e.g. from the game server's schema); nothing was written",
            RestoreFailure(archive));
  EXPECT_EQ("0", Count(target_, "a_first"));
  EXPECT_EQ("database nowhere_db: Unknown database 'nowhere_db'", [&] {
    std::unique_ptr<Connection> connection = Connection::Open(RootOptions());
    try {
      Restore({archive, "nowhere_db", {}, false}, *connection, console_);
    } catch (const Failure& f) {
      return f.description();
    }
    return std::string();
  }());
}

TEST_F(RestoreTest, TabSeparatedArchiveRestoresWithinItsLimits) {
  TestServer& server = TestServer::Get();
  server.CreateTable(source_, "items",
                     "id INT PRIMARY KEY, qty INT NULL, price DECIMAL(10,2) NULL, w DOUBLE,"
                     " name VARCHAR(40), note TEXT NULL, kind ENUM('a','b',''), flag BIT(1),"
                     " mask BIT(12), made DATE NULL, seen DATETIME(3) NULL, t TIME NULL,"
                     " code BINARY(4), data VARBINARY(300) NULL, pic LONGBLOB NULL,"
                     " place POINT NULL");
  server.Insert(source_, "items",
                "(1,NULL,NULL,-1.5,'','', '',b'0',b'101',NULL,NULL,NULL,X'00000000',X'',X'',"
                "NULL),"
                "(2,-7,12.5,2.25e-300,'caf\xc3\xa9 \\\\ \\'q\\'','line\\nbreak \\r only','b',b'1',"
                "b'111111111111','0099-02-03','2026-12-07 04:30:00.125','-838:59:59',"
                "X'FF0D0A09',X'5C00275C',REPEAT(X'00FF0D0A09',1000),POINT(1.5,-2)),"
                "(3,0,0,0,'NULL',NULL,'a',b'1',0,'0000-00-00','1000-01-01 00:00:00','00:00:00',"
                "'abcd',NULL,NULL,NULL)");
  std::string archive = Backup(kCsvSettings);
  ASSERT_EQ((std::vector<std::string>{source_ + "/items.csv", kDefinitionsEntry}),
            ProgramFolder::EntryNames(archive));
  CopySchema({"items"});
  EXPECT_EQ("1", server.AdminQueryOne("SELECT @@local_infile"));

  RestoreSummary summary = RunRestore(archive);
  EXPECT_EQ(3u, summary.rows);
  EXPECT_EQ("", err_.str());  // no warnings
  std::string columns =
      "id, IFNULL(qty,'N'), IFNULL(price,'N'), w, HEX(name), IFNULL(HEX(note),'N'), kind,"
      " HEX(flag), HEX(mask), IFNULL(made,'N'), IFNULL(seen,'N'), IFNULL(t,'N'), HEX(code),"
      " IFNULL(HEX(data),'N'), IFNULL(HEX(pic),'N'), IFNULL(ST_AsText(place),'N')";
  std::vector<std::string> before = Rows(source_, "items", columns);
  std::vector<std::string> after = Rows(target_, "items", columns);
  ASSERT_EQ(3u, after.size());
  // The documented limit: NULL in text and binary columns comes back empty;
  // NULL in number and date columns comes back NULL.
  EXPECT_EQ(
      "3|0|0.00|0|4E554C4C||a|1|0|0000-00-00|1000-01-01 00:00:00.000|00:00:00|61626364||"
      "|N",
      after[2]);
  before[2] = after[2];
  EXPECT_EQ(before, after);
}

TEST_F(RestoreTest, TabSeparatedRowWithWrongFieldCountStopsWithItsLineNumber) {
  TestServer& server = TestServer::Get();
  server.CreateTable(source_, "chat", "id INT PRIMARY KEY, msg TEXT");
  server.Admin("INSERT INTO `" + source_ + "`.chat SELECT seq, CONCAT('hello ', seq) FROM " +
               "seq_1_to_5000");
  server.Admin("UPDATE `" + source_ + "`.chat SET msg = 'a\\tb' WHERE id = 4321");
  std::string archive = Backup(kCsvSettings);
  CopySchema({"chat"});

  // Line 1 is the header, so row 4321 is line 4322.
  EXPECT_EQ("table chat: " + source_ +
                "/chat.csv line 4322: 3 fields where the header has 2 (a value holding a TAB or "
                "CR LF cannot be restored from the tab-separated form)",
            RestoreFailure(archive));
  // The rows before it were rolled back with the table's transaction.
  EXPECT_EQ("0", Count(target_, "chat"));
}

TEST_F(RestoreTest, StatementLargerThanTheServersPacketIsNamedWithTheSizeNeeded) {
  TestServer& server = TestServer::Get();
  server.CreateTable(source_, "blobs", "id INT PRIMARY KEY, b LONGBLOB");
  server.Insert(source_, "blobs", "(1, REPEAT('x', 100)), (2, REPEAT('y', 3000000))");
  std::string archive = Backup(kSqlSettings);
  CopySchema({"blobs"});

  std::string old = server.AdminQueryOne("SELECT @@global.max_allowed_packet");
  server.Admin("SET GLOBAL max_allowed_packet = 2097152");
  std::unique_ptr<Connection> connection = Connection::Open(RootOptions());
  server.Admin("SET GLOBAL max_allowed_packet = " + old);
  std::string failure;
  try {
    Restore({archive, target_, {}, false}, *connection, console_);
  } catch (const Failure& f) {
    failure = f.description();
  }
  EXPECT_EQ("table blobs: the statement on line 1 of " + source_ +
                "/blobs.sql is 3000151 bytes, more than the server's max_allowed_packet "
                "(2097152 bytes); raise it to at least 3145728 (SET GLOBAL "
                "max_allowed_packet=3145728, or in the server's configuration) and run again",
            failure);
  EXPECT_EQ("0", Count(target_, "blobs"));
}

TEST_F(RestoreTest, VerifyComparesTheRestoredCountsWithTheMark) {
  TestServer& server = TestServer::Get();
  server.CreateTable(source_, "guilds", "id INT PRIMARY KEY, name VARCHAR(20)");
  server.Insert(source_, "guilds", "(1,'red'),(2,'blue'),(3,'')");
  server.CreateTable(source_, "logs", "id INT AUTO_INCREMENT PRIMARY KEY, at DATETIME");
  server.Admin("INSERT INTO `" + source_ + "`.logs SELECT NULL, '2026-01-01' + INTERVAL seq " +
               "MINUTE FROM seq_1_to_777");
  std::string archive = Backup(kRowsOnlySettings);
  test::TempDir dir;
  CompletenessMark mark{"0.1.0", "20261207043000", source_, {{"guilds", 3}, {"logs", 777}}, 0};
  SetComment(dir, archive, BuildCompletenessMark(mark));

  std::string scratch = "vaultrun_verify_test_" + target_;
  VerifyResult result = RunVerify(archive, scratch);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ("OK: 2 tables, 780 rows match the archive's mark", result.verdict);
  EXPECT_FALSE(DatabaseExists(scratch));

  mark.tables = {{"guilds", 3}, {"logs", 778}, {"pets", 5}};
  SetComment(dir, archive, BuildCompletenessMark(mark));
  result = RunVerify(archive, scratch);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(
      "FAILED: the archive differs from its mark:\n"
      "  table logs: the mark says 778 rows, the archive restores 777\n"
      "  table pets: in the mark (5 rows) but not in the archive",
      result.verdict);
  EXPECT_FALSE(DatabaseExists(scratch));

  // A table the live database no longer has: the scratch copy fails, and is
  // still dropped.
  mark.tables = {{"guilds", 3}, {"logs", 777}};
  SetComment(dir, archive, BuildCompletenessMark(mark));
  server.Admin("DROP TABLE `" + source_ + "`.logs");
  result = RunVerify(archive, scratch);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(0u, result.verdict.find("FAILED: the archive does not restore: cannot copy the "
                                    "definition of table logs from database " +
                                    source_))
      << result.verdict;
  EXPECT_FALSE(DatabaseExists(scratch));

  SetComment(dir, archive, "");
  result = RunVerify(archive, scratch);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ("NOT A COMPLETE BACKUP: " + archive +
                " carries no completeness mark: the run that wrote it failed or was cut off, or "
                "another program wrote it",
            result.verdict);
  EXPECT_FALSE(DatabaseExists(scratch));
}

TEST_F(RestoreTest, ProgramRestoresAndVerifiesAsAUserRunsIt) {
  TestServer& server = TestServer::Get();
  server.CreateTable(source_, "pets", "id INT PRIMARY KEY, name VARCHAR(20)");
  server.Insert(source_, "pets", "(1,'poring'),(2,'lunatic')");
  std::string archive = Backup(kSqlSettings);
  CopySchema({"pets"});
  std::string output;

  // Bad usage.
  EXPECT_EQ(2, RunProgram("'" + archive + "'", &output));
  EXPECT_NE(std::string::npos, output.find("--database=DB is required")) << output;
  EXPECT_EQ(2, RunProgram("--bogus", &output));
  EXPECT_EQ(0, RunProgram("--help", &output));
  EXPECT_NE(std::string::npos, output.find("values are taken in this server's time")) << output;

  // Connection options from an option file's [client] group.
  test::TempDir dir;
  test::WriteFileOrDie(dir.Sub("my.cnf"), "[client]\nsocket=" + server.socket() + "\nuser=root\n");
  EXPECT_EQ(0, RunProgram("--defaults-file='" + dir.Sub("my.cnf") + "' '" + archive +
                              "' --database=" + target_,
                          &output))
      << output;
  EXPECT_EQ("Restored 1 tables, 2 rows into " + target_ + "\n", output);
  EXPECT_EQ(Checksum(source_, "pets"), Checksum(target_, "pets"));

  // A password on the command line works, with a warning; without one it
  // is asked for, which fails without a terminal.
  server.Admin("DELETE FROM `" + target_ + "`.pets");
  std::string tcp = "--no-defaults -h127.0.0.1 -P " + std::to_string(server.port()) + " -u " +
                    TestServer::kWriterUser;
  EXPECT_EQ(0, RunProgram(tcp + " -p" + TestServer::kWriterPassword + " '" + archive + "' -D " +
                              target_ + " pets",
                          &output))
      << output;
  EXPECT_NE(std::string::npos,
            output.find("warning: a password on the command line can be seen by other users"))
      << output;
  EXPECT_EQ(1, RunProgram(tcp + " -p '" + archive + "' -D " + target_, &output));
  EXPECT_EQ("vaultrun-restore: cannot ask for the password: no terminal\n", output);
  EXPECT_EQ(1, RunProgram(tcp + " --password=wrong '" + archive + "' -D " + target_, &output));
  EXPECT_NE(std::string::npos, output.find("cannot connect to the server: connect: Access denied"))
      << output;

  // A failure: the table now holds rows.
  std::string root = "--no-defaults -uroot -S '" + server.socket() + "'";
  EXPECT_EQ(1, RunProgram(root + " '" + archive + "' -D " + target_, &output));
  EXPECT_NE(std::string::npos, output.find("already hold rows: pets")) << output;

  // Verify: the program's own mark, then without a mark, then another one.
  EXPECT_EQ(0, RunProgram(root + " --verify '" + archive + "'", &output)) << output;
  EXPECT_EQ("OK: 1 tables, 2 rows match the archive's mark\n", output);
  SetComment(dir, archive, "");
  EXPECT_EQ(1, RunProgram(root + " --verify '" + archive + "'", &output));
  EXPECT_NE(std::string::npos, output.find("NOT A COMPLETE BACKUP")) << output;
  SetComment(dir, archive,
             BuildCompletenessMark({"0.1.0", "20261207043000", "elsewhere", {{"pets", 2}}, 0}));
  EXPECT_EQ(0, RunProgram(root + " --verify --source-database=" + source_ + " '" + archive + "'",
                          &output))
      << output;
  EXPECT_EQ("OK: 1 tables, 2 rows match the archive's mark\n", output);
  EXPECT_EQ("0", server.AdminQueryOne("SELECT COUNT(*) FROM information_schema.schemata WHERE "
                                      "schema_name LIKE 'vaultrun\\_verify\\_%'"));
  EXPECT_EQ(1, RunProgram(root + " '" + dir.Sub("none.zip") + "' -D " + target_, &output));
  EXPECT_EQ("vaultrun-restore: " + dir.Sub("none.zip") + ": cannot open it as a zip archive\n",
            output);
}

}  // namespace
}  // namespace vaultrun::restore
