// Restores and verifies archives written by the real vaultrun program,
// against the suite's server: in-process through Restore and Verify, and
// through the vaultrun-restore program as a user runs it.
#include "restore/restore.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>

#include "archive/completeness_mark.h"
#include "archive/manifest.h"
#include "core/failure.h"
#include "fault_util.h"
#include "program_folder.h"
#include "restore/command.h"
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
  // The key of the folder's installation, with what the test allows.
  TrustOptions Trust() {
    TrustOptions trust;
    if (std::filesystem::exists(folder_.key_path())) {
      auto env = NewDefaultEnv();
      EXPECT_TRUE(ReadKeyFile(env.get(), folder_.key_path(), &trust.key).ok());
    }
    trust.unauthenticated = unauthenticated_;
    return trust;
  }
  RestoreSummary RunRestore(const std::string& archive, std::vector<std::string> tables = {},
                            bool force = false) {
    std::unique_ptr<Connection> connection = Connection::Open(RootOptions());
    RestoreRequest request;
    request.archive = archive;
    request.database = target_;
    request.tables = std::move(tables);
    request.force = force;
    request.allow_incomplete = true;
    request.trust = Trust();
    // The archives written by hand carry no mark (the refusal of such an
    // archive is ListShowsEachArchivesState's).
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
  // An archive written by hand: entries in order, no comment.
  std::string MakeArchive(const test::TempDir& dir,
                          const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string archive = dir.Sub("made" + std::to_string(++made_) + ".zip");
    ProgramFolder::MakeArchive(archive, entries);
    return archive;
  }
  VerifyResult RunVerify(const std::string& archive, const std::string& scratch) {
    std::unique_ptr<Connection> connection = Connection::Open(RootOptions());
    VerifyRequest request;
    request.archive = archive;
    request.scratch_database = scratch;
    request.trust = Trust();
    return Verify(request, *connection, console_);
  }
  bool DatabaseExists(const std::string& name) {
    return TestServer::Get().AdminQueryOne(
               "SELECT COUNT(*) FROM information_schema.schemata WHERE schema_name = '" + name +
               "'") == "1";
  }
  // The program itself; *output gets what it printed on both streams.
  int RunProgram(const std::string& args, std::string* output) {
    const std::string key = std::filesystem::exists(folder_.key_path())
                                ? " --key-file='" + folder_.key_path() + "'"
                                : "";
    return test::RunCommand(
        std::string(VAULTRUN_RESTORE_BINARY) + key + " " + args + " 2>&1 </dev/null", output);
  }

  ProgramFolder folder_;
  std::string source_, target_;
  bool unauthenticated_ = false;  // --unauthenticated
  int made_ = 0;
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
  EXPECT_EQ(
      "database nowhere_db does not exist, and the archive holds no definitions to make it "
      "from (it was made without them): create the database and its tables first, e.g. "
      "from the game server's schema; nothing was written",
      [&] {
        std::unique_ptr<Connection> connection = Connection::Open(RootOptions());
        try {
          Restore({archive, "nowhere_db", {}, false, false, Trust(), {}, false}, *connection,
                  console_);
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
  ASSERT_EQ((std::vector<std::string>{source_ + "/items.csv", kDefinitionsEntry, kManifestEntry}),
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
    Restore({archive, target_, {}, false, false, Trust(), {}, false}, *connection, console_);
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
  // As archives were before they were authenticated: the counts are the
  // mark's, which the user takes as they are.
  ProgramFolder::EditArchive(archive, "names.remove('vaultrun-manifest.txt')");
  unauthenticated_ = true;
  test::TempDir dir;
  CompletenessMark mark{"0.1.0", "20261207043000", source_, {{"guilds", 3}, {"logs", 777}}, 0, ""};
  SetComment(dir, archive, BuildCompletenessMark(mark));

  std::string scratch = "vaultrun_verify_test_" + target_;
  VerifyResult result = RunVerify(archive, scratch);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(
      "OK: 2 tables, 780 rows match the archive's mark, and every row the archive holds "
      "restores as it was\nNOT AUTHENTICATED: it carries no tag: it was made before archives "
      "were authenticated, or its manifest was taken out; its rows were verified as they are, "
      "with no proof of where they come from",
      result.verdict);
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

constexpr const char kPetsVerdict[] =
    "OK: 1 tables, 2 rows match the archive's mark, and every row the archive holds restores as "
    "it was\n";

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

  // Verify: the program's own mark (with both of its connections reached
  // through the named option file), then without a mark, then another one.
  // A named option file that is missing is an error, not a silent default.
  EXPECT_EQ(0, RunProgram("--defaults-file='" + dir.Sub("my.cnf") + "' --verify '" + archive + "'",
                          &output))
      << output;
  EXPECT_EQ(kPetsVerdict, output);
  EXPECT_EQ(1,
            RunProgram("--defaults-file='" + dir.Sub("none.cnf") + "' --verify '" + archive + "'",
                       &output));
  EXPECT_EQ("vaultrun-restore: cannot connect to the server: connect: option file " +
                dir.Sub("none.cnf") + ": not found\n",
            output);
  SetComment(dir, archive, "");
  EXPECT_EQ(1, RunProgram(root + " --verify '" + archive + "'", &output));
  EXPECT_NE(std::string::npos, output.find("NOT A COMPLETE BACKUP")) << output;
  // An archive of before (no definitions, no manifest) whose mark names
  // another database: its rows are verified against the live one's copy,
  // when the user takes them as they are.
  ProgramFolder::EditArchive(archive, "names = [n for n in names if '/' in n]");
  SetComment(dir, archive,
             BuildCompletenessMark({"0.1.0", "20261207043000", "elsewhere", {{"pets", 2}}, 0, ""}));
  const std::string verify_elsewhere =
      root + " --verify --source-database=" + source_ + " '" + archive + "'";
  EXPECT_EQ(1, RunProgram(verify_elsewhere, &output));
  EXPECT_NE(std::string::npos, output.find("run again with --unauthenticated")) << output;
  EXPECT_EQ(0, RunProgram(verify_elsewhere + " --unauthenticated", &output)) << output;
  EXPECT_NE(std::string::npos, output.find(kPetsVerdict)) << output;
  EXPECT_NE(std::string::npos, output.find("NOT AUTHENTICATED: it carries no tag")) << output;
  EXPECT_EQ("0", server.AdminQueryOne("SELECT COUNT(*) FROM information_schema.schemata WHERE "
                                      "schema_name LIKE 'vaultrun\\_verify\\_%'"));
  EXPECT_EQ(1, RunProgram(root + " '" + dir.Sub("none.zip") + "' -D " + target_, &output));
  EXPECT_EQ("vaultrun-restore: " + dir.Sub("none.zip") +
                ": cannot open it as a zip archive (No such file)\n",
            output);
}

// Tables of every kind a game database may hold, backed up in each form and
// restored into a copy of the schema: views hold no rows of their own (and
// one whose table was dropped does not stop the run), a sequence keeps its
// state without --force, INVISIBLE columns come back, generated columns are
// computed by the server, a system-versioned table gives back its current
// rows; --verify says OK.
TEST_F(RestoreTest, EveryKindOfTableRoundTripsInBothForms) {
  TestServer& server = TestServer::Get();
  server.CreateTable(source_, "accounts",
                     "id INT PRIMARY KEY, name VARCHAR(20), secret VARCHAR(10) INVISIBLE,"
                     " twice INT AS (id * 2) VIRTUAL, tag VARCHAR(30) AS (CONCAT(name, '!'))"
                     " STORED");
  server.Admin("INSERT INTO `" + source_ +
               "`.accounts (id, name, secret) VALUES (1,'ann','s1'),(2,'bob','s2')");
  server.Admin("CREATE VIEW `" + source_ + "`.rich AS SELECT id, name FROM `" + source_ +
               "`.accounts");
  server.CreateTable(source_, "doomed", "id INT");
  server.Admin("CREATE VIEW `" + source_ + "`.broken AS SELECT id FROM `" + source_ + "`.doomed");
  server.Admin("DROP TABLE `" + source_ + "`.doomed");
  server.Admin("CREATE SEQUENCE `" + source_ + "`.ids START WITH 100 CACHE 0");
  server.Admin("DO NEXTVAL(`" + source_ + "`.ids), NEXTVAL(`" + source_ + "`.ids)");
  server.Admin("CREATE TABLE `" + source_ +
               "`.hist (id INT PRIMARY KEY, hp INT)"
               " WITH SYSTEM VERSIONING");
  server.Insert(source_, "hist", "(1,10),(2,20)");
  server.Admin("UPDATE `" + source_ + "`.hist SET hp = 11 WHERE id = 1");
  const std::string accounts = "id, name, secret, twice, tag";
  const std::string next = "SELECT NEXTVAL(`" + source_ + "`.ids)";

  const std::string cfg = "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n";
  for (const std::string& settings : {cfg + "\"format_sql\"=\"1\"\r\n",
                                      cfg + "\"format_sql\"=\"1\"\r\n\"format_insert\"=\"1\"\r\n",
                                      cfg + "\"format_sql\"=\"0\"\r\n"}) {
    SCOPED_TRACE(settings);
    target_ = server.CreateDatabase("target");
    std::string archive = Backup(settings.c_str());
    const std::string ext =
        settings.find("\"format_sql\"=\"0\"") != std::string::npos ? ".csv" : ".sql";
    EXPECT_EQ((std::vector<std::string>{source_ + "/accounts" + ext, source_ + "/hist" + ext,
                                        source_ + "/ids" + ext, "vaultrun-definitions.txt",
                                        "vaultrun-manifest.txt"}),
              ProgramFolder::EntryNames(archive));
    CopySchema({"accounts", "hist", "ids"});
    server.Admin("CREATE VIEW `" + target_ + "`.rich AS SELECT id, name FROM `" + target_ +
                 "`.accounts");

    RestoreSummary summary = RunRestore(archive);
    EXPECT_EQ(5u, summary.rows);
    EXPECT_EQ(Rows(source_, "accounts", accounts), Rows(target_, "accounts", accounts));
    EXPECT_EQ(Rows(source_, "hist", "id, hp"), Rows(target_, "hist", "id, hp"));
    EXPECT_EQ("2", server.AdminQueryOne("SELECT COUNT(*) FROM `" + target_ +
                                        "`.hist FOR SYSTEM_TIME ALL"));
    // The restored sequence goes on where the live one stands.
    EXPECT_EQ(server.AdminQueryOne("SELECT NEXTVAL(`" + target_ + "`.ids)"),
              server.AdminQueryOne(next));

    VerifyResult result = RunVerify(archive, "vaultrun_verify_kinds");
    EXPECT_TRUE(result.ok) << result.verdict;
    std::remove(archive.c_str());
  }
  // Every run went on past the broken view without a word.
  EXPECT_EQ(std::vector<std::string>(), folder_.Entries());
}

// TIMESTAMP text is written in UTC and the mark says so: the two instants
// of the hour that repeats when clocks go back stay two, also on a server
// in another zone. DATETIME text is the same as before.
TEST_F(RestoreTest, TimestampsRestoreToTheSameInstantInTheRepeatedHour) {
  TestServer& server = TestServer::Get();
  ASSERT_EQ(0, test::RunCommand("mariadb-tzinfo-to-sql /usr/share/zoneinfo/Europe/Berlin "
                                "Europe/Berlin 2>/dev/null | mariadb --no-defaults -uroot "
                                "--socket='" +
                                server.socket() + "' mysql"));
  struct ZoneBack {
    ~ZoneBack() { TestServer::Get().Admin("SET GLOBAL time_zone = SYSTEM"); }
  } zone_back;
  server.Admin("SET GLOBAL time_zone = 'Europe/Berlin'");
  server.CreateTable(source_, "logins", "id INT PRIMARY KEY, at TIMESTAMP NULL, local DATETIME");
  server.Admin("SET time_zone = '+00:00'");
  server.Insert(source_, "logins",
                "(1,'2026-10-25 00:30:00','2026-10-25 02:30:00'),"
                "(2,'2026-10-25 01:30:00','2026-10-25 02:30:00')");
  server.Admin("SET time_zone = DEFAULT");
  const std::string columns = "id, UNIX_TIMESTAMP(at), local";
  for (const char* settings : {kSqlSettings, kCsvSettings}) {
    SCOPED_TRACE(settings);
    target_ = server.CreateDatabase("target");
    std::string archive = Backup(settings);
    std::string entry = ProgramFolder::EntryContent(
        archive, source_ + "/logins" + (settings == kSqlSettings ? ".sql" : ".csv"));
    EXPECT_NE(std::string::npos, entry.find("20261025003000")) << entry;
    EXPECT_NE(std::string::npos, entry.find("20261025023000")) << entry;
    CopySchema({"logins"});
    server.Admin("SET GLOBAL time_zone = '+05:00'");
    RunRestore(archive);
    server.Admin("SET GLOBAL time_zone = 'Europe/Berlin'");
    EXPECT_EQ(Rows(source_, "logins", columns), Rows(target_, "logins", columns));
    std::remove(archive.c_str());
  }
}

// The tab-separated form cannot hold a value with a TAB, CR or LF, nor a
// NULL of a text, binary, ENUM, SET or JSON column: the run writes the file
// as before and warns once per run, naming the tables and the remedy.
TEST_F(RestoreTest, TabSeparatedValuesItCannotHoldGiveOneWarningPerRun) {
  TestServer& server = TestServer::Get();
  server.CreateTable(source_, "accounts", "id INT PRIMARY KEY, gm_level INT, name VARCHAR(60)");
  server.Admin("INSERT INTO `" + source_ +
               "`.accounts VALUES (1,0,'ann'),"
               "(5,0,CONCAT('bob',CHAR(9),CHAR(13),CHAR(10),'6',CHAR(9),'99',CHAR(9),'mallory')),"
               "(7,0,CONCAT('eve',CHAR(10))),(8,NULL,NULL)");
  server.CreateTable(source_, "items",
                     "id INT PRIMARY KEY, kind ENUM('a','b'), data JSON, tags SET('x'), "
                     "icon BLOB, n INT, d DATE, g POINT NULL, b BIT(8)");
  server.Insert(source_, "items",
                "(1,'a','{}','x',X'00',1,'2020-01-01',POINT(1,2),b'1'),"
                "(2,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL),(3,NULL,'[]','',X'',NULL,NULL,NULL,"
                "NULL)");
  // NULLs only where an empty field restores as NULL: no warning.
  server.CreateTable(source_, "plain", "id INT, d DATETIME, g GEOMETRY NULL");
  server.Insert(source_, "plain", "(NULL,NULL,NULL)");
  Backup(kCsvSettings);
  EXPECT_EQ((std::vector<std::string>{
                "2\tVaultrun: the tab-separated form does not give back every value of this run: "
                "values that hold a TAB, CR or LF, which it cannot tell from its separators, in "
                "accounts (2); NULLs of text, binary, ENUM, SET or JSON columns, which it writes "
                "as empty fields, in accounts (1), items (5). \"format_sql\"=\"1\" backs "
                "them up exactly"}),
            folder_.Entries());
}

// --verify compares content, not counts: a restore that gives back other
// values without a word (the live definition turned a VARCHAR into a CHAR
// since the backup, which drops trailing spaces) fails, naming the table and
// the row; rows in another order are the same rows.
TEST_F(RestoreTest, VerifyFailsWhenTheRestoredRowsDifferFromTheArchive) {
  TestServer& server = TestServer::Get();
  server.CreateTable(source_, "chat", "id INT PRIMARY KEY, msg VARCHAR(20)");
  server.Insert(source_, "chat", "(1,'hi'),(2,'hello there  '),(3,'yo')");
  server.CreateTable(source_, "guilds", "id INT PRIMARY KEY, name VARCHAR(20) NOT NULL");
  server.Insert(source_, "guilds", "(1,'zed'),(2,'mid'),(3,'abc')");
  // Rows only: the scratch copy then takes the live definitions.
  const std::string no_definitions = "\"store_definitions\"=\"0\"\r\n";
  const std::string sql_settings = kSqlSettings + no_definitions;
  const std::string csv_settings = kCsvSettings + no_definitions;
  for (const std::string& settings : {sql_settings, csv_settings}) {
    SCOPED_TRACE(settings);
    std::string archive = Backup(settings.c_str());
    const std::string ext = settings == sql_settings ? ".sql" : ".csv";
    server.Admin("ALTER TABLE `" + source_ + "`.guilds DROP PRIMARY KEY, ADD PRIMARY KEY (name)");
    VerifyResult result = RunVerify(archive, "vaultrun_verify_order");
    EXPECT_TRUE(result.ok) << result.verdict;

    server.Admin("ALTER TABLE `" + source_ + "`.chat MODIFY msg CHAR(20)");
    result = RunVerify(archive, "vaultrun_verify_broken");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(
        "FAILED: the restored tables differ from the archive:\n  table chat: row 2 of the "
        "archive is not in the restored table: " +
            std::string(ext == ".sql" ? "(2,'hello there  ')" : "2\\x09hello there  \\x09"),
        result.verdict);
    EXPECT_FALSE(DatabaseExists("vaultrun_verify_broken"));
    server.Admin("ALTER TABLE `" + source_ + "`.chat MODIFY msg VARCHAR(20)");
    server.Admin("UPDATE `" + source_ + "`.chat SET msg = 'hello there  ' WHERE id = 2");
    server.Admin("ALTER TABLE `" + source_ + "`.guilds DROP PRIMARY KEY, ADD PRIMARY KEY (id)");
    std::remove(archive.c_str());
  }
}

// Archives of older runs hold a FLOAT as the server's six-digit text (0.1,
// 16777200 for 16777216): verify compares the float a text gives, so they
// still verify, while newer ones hold the exact value.
TEST_F(RestoreTest, VerifyComparesFloatsByValue) {
  TestServer& server = TestServer::Get();
  server.CreateTable(source_, "stats", "id INT PRIMARY KEY, f FLOAT");
  server.Insert(source_, "stats", "(1,0.1),(2,16777216),(3,NULL)");
  for (const char* settings : {kSqlSettings, kCsvSettings}) {
    SCOPED_TRACE(settings);
    std::string archive = Backup(settings);
    const std::string entry =
        source_ + "/stats" + (settings == std::string(kSqlSettings) ? ".sql" : ".csv");
    std::string text = ProgramFolder::EntryContent(archive, entry);
    for (const auto& [exact, older] :
         {std::pair<std::string, std::string>{"0.10000000149011612", "0.1"},
          {"16777216", "16777200"}}) {
      size_t at = text.find(exact);
      ASSERT_NE(std::string::npos, at) << text;
      text.replace(at, exact.size(), older);
    }
    // As an archive of a run before FLOAT was exact: no manifest, no tag,
    // and (here) the live tables' definitions.
    ProgramFolder::ReplaceEntry(archive, entry, text);
    ProgramFolder::EditArchive(archive,
                               "import re\n"
                               "names = [n for n in names if n not in ('vaultrun-manifest.txt', "
                               "'vaultrun-definitions.txt')]\n"
                               "comment = re.sub(rb'tag [^\\n]*\\n', b'', comment)");
    unauthenticated_ = true;
    VerifyResult result = RunVerify(archive, "vaultrun_verify_floats");
    EXPECT_TRUE(result.ok) << result.verdict;
    std::remove(archive.c_str());
  }
}

// Names with capitals, INET6/INET4/UUID (one text form 16 bytes long, the
// size of the binary form), an AUTO_INCREMENT key of 0 beside a column the
// tab-separated load sets, a date stored under ALLOW_INVALID_DATES,
// generated columns, and a foreign key from a table that comes first.
TEST_F(RestoreTest, ValuesOfEveryKindRestoreExactlyInBothFormsAndThroughTheManualCommand) {
  TestServer& server = TestServer::Get();
  auto schema = [&](const std::string& database) {
    server.CreateTable(database, "Players",
                       "id INT AUTO_INCREMENT PRIMARY KEY, n INT NULL, ip6 INET6, ip4 INET4 NULL, "
                       "u UUID, born DATE, ip_len INT AS (LENGTH(ip6)) VIRTUAL, "
                       "twice INT AS (n * 2) PERSISTENT");
    server.CreateTable(database, "Logins",
                       "id INT PRIMARY KEY, player INT, FOREIGN KEY (player) REFERENCES "
                       "Players (id)");
  };
  schema(source_);
  server.Admin("SET SESSION sql_mode='NO_AUTO_VALUE_ON_ZERO,ALLOW_INVALID_DATES'");
  server.Admin("INSERT INTO `" + source_ +
               "`.Players (id, n, ip6, ip4, u, born) VALUES "
               "(0, NULL, '::1', '1.2.3.4', '123e4567-e89b-12d3-a456-426655440000', "
               "'2004-02-30'), (1, 5, '2001:db8::1:2:34', NULL, "
               "'00000000-0000-0000-0000-000000000001', '2026-01-01')");
  server.Admin("SET SESSION sql_mode=DEFAULT");
  server.Insert(source_, "Logins", "(1, 0), (2, 1)");
  const std::string columns =
      "id, IFNULL(n, '-'), ip6, IFNULL(ip4, '-'), u, born, ip_len, IFNULL(twice, '-')";
  auto expect_same = [&](const std::string& database, const std::string& how) {
    EXPECT_EQ(Rows(source_, "Players", columns), Rows(database, "Players", columns)) << how;
    EXPECT_EQ(Rows(source_, "Logins", "id, player"), Rows(database, "Logins", "id, player")) << how;
  };

  std::string sql_archive = Backup(kSqlSettings);
  schema(target_);
  RestoreSummary summary = RunRestore(sql_archive);
  EXPECT_EQ(4u, summary.rows);
  expect_same(target_, "SQL");

  // README's command for a whole archive.
  std::string manual = server.CreateDatabase("manual");
  schema(manual);
  std::string output;
  EXPECT_EQ(0, test::RunCommand(
                   "unzip -p '" + sql_archive + "' '" + source_ +
                       "/*.sql' | mariadb --no-defaults -uroot --socket='" + server.socket() +
                       "' --default-character-set=binary --max-allowed-packet=256M "
                       "--init-command=\"SET sql_mode='NO_AUTO_VALUE_ON_ZERO,ALLOW_INVALID_DATES',"
                       " foreign_key_checks=0\" " +
                       manual + " 2>&1",
                   &output))
      << output;
  expect_same(manual, "manual");

  // Archives written before INET6 values were exported in their binary
  // form hold the text form.
  test::TempDir dir;
  std::string old_sql =
      MakeArchive(dir, {{"old/Players.sql",
                         "insert into `Players` values (7,NULL,'2001:db8::1:2:34','1.2.3.4',"
                         "'123e4567-e89b-12d3-a456-426655440000','20040230000000',16,NULL);\r\n"}});
  std::string old_csv = MakeArchive(dir, {{"old/Players.csv",
                                           "id\tip6\tip4\tu\tborn\t\r\n"
                                           "8\t::1\t1.2.3.4\t123e4567-e89b-12d3-a456-426655440000"
                                           "\t20040230000000\t\r\n"}});
  unauthenticated_ = true;  // made by hand
  EXPECT_EQ("", RestoreFailure(old_sql, {}, true));
  EXPECT_EQ("", RestoreFailure(old_csv, {}, true));
  EXPECT_NE(std::string::npos, err_.str().find("warning: the archive is not authenticated"));
  err_.str("");
  unauthenticated_ = false;
  EXPECT_EQ((std::vector<std::string>{
                "7|2001:db8::1:2:34|1.2.3.4|123e4567-e89b-12d3-a456-426655440000|2004-02-30|16",
                "8|::1|1.2.3.4|123e4567-e89b-12d3-a456-426655440000|2004-02-30|3"}),
            server.admin().Column("SELECT CONCAT_WS('|', id, ip6, ip4, u, born, ip_len) FROM `" +
                                  target_ + "`.Players WHERE id > 6 ORDER BY id"));

  std::remove(sql_archive.c_str());  // the folder holds one archive at a time
  std::string csv_archive = Backup(kCsvSettings);
  target_ = server.CreateDatabase("target");
  schema(target_);
  summary = RunRestore(csv_archive);
  EXPECT_EQ(4u, summary.rows);
  expect_same(target_, "tab-separated");
  EXPECT_EQ("", err_.str());
}

// A name holding TAB CR LF splits into rows of the right width: the mark's
// count catches it. A value the server changes (a warning) fails too.
TEST_F(RestoreTest, WarningsAndCountsOtherThanTheMarksRollTheTableBack) {
  TestServer& server = TestServer::Get();
  server.CreateTable(source_, "accounts", "id INT PRIMARY KEY, gm_level INT, name VARCHAR(60)");
  server.Insert(source_, "accounts",
                "(1, 0, 'alice'), (2, 0, CONCAT('bob',CHAR(9),CHAR(13),CHAR(10),'6',CHAR(9),'99',"
                "CHAR(9),'mallory'))");
  std::string archive = Backup(kCsvSettings);
  CopySchema({"accounts"});
  EXPECT_EQ(
      "table accounts: the archive says 2 rows, " + source_ + "/accounts.csv gave 3; rolled back",
      RestoreFailure(archive));
  EXPECT_EQ("0", Count(target_, "accounts"));

  test::TempDir dir;
  unauthenticated_ = true;  // made by hand
  std::string bad = MakeArchive(
      dir, {{"x/accounts.sql", "insert into `accounts` values (1,0,'a'),(2,'two','b');\r\n"}});
  std::string failure = RestoreFailure(bad);
  EXPECT_NE(std::string::npos,
            failure.find("table accounts: x/accounts.sql line 1: the server reported 1 warnings "
                         "or notes, so the rows would not be as the archive holds them: Warning "
                         "1366: Incorrect integer value: 'two'"))
      << failure;
  EXPECT_EQ("0", Count(target_, "accounts"));
}

TEST_F(RestoreTest, OnlyLiteralRowsForTheEntrysTableReachTheServer) {
  TestServer& server = TestServer::Get();
  server.CreateTable(target_, "notes", "id INT AUTO_INCREMENT PRIMARY KEY, txt TEXT");
  test::TempDir dir;
  std::string archive = MakeArchive(
      dir, {{"x/notes.sql",
             "insert into `notes` values (1,'ok');\r\n"
             "insert into `notes` (`txt`) select concat(user,'@',host) from mysql.user;\r\n"}});
  unauthenticated_ = true;
  EXPECT_EQ("table notes: x/notes.sql line 2 refused: at byte 29: expected VALUES",
            RestoreFailure(archive));
  EXPECT_EQ("0", Count(target_, "notes"));

  // A name that would retitle the terminal reaches it escaped.
  archive = MakeArchive(dir, {{"x/\x1b]0;owned\x07.sql", "insert into `t` values (1);\r\n"}});
  std::string output;
  EXPECT_EQ(1, RunProgram("--allow-incomplete --unauthenticated --no-defaults -uroot -S '" +
                              TestServer::Get().socket() + "' '" + archive + "' -D " + target_,
                          &output));
  EXPECT_NE(std::string::npos, output.find("\\x1B]0;owned\\x07")) << output;
  EXPECT_EQ(std::string::npos, output.find('\x1b')) << output;
}

// The server may ask for any file in answer to any statement: only the
// restore's own LOAD DATA gets one, and only the entry it names.
TEST_F(RestoreTest, LocalFilesAreServedOnlyToTheRestoresOwnLoad) {
  TestServer& server = TestServer::Get();
  server.CreateTable(target_, "lines", "txt TEXT");
  test::TempDir dir;
  test::WriteFileOrDie(dir.Sub("secret"), "secret\n");
  std::unique_ptr<Connection> connection = Connection::Open(RootOptions());
  connection->Exec("USE `" + target_ + "`");
  std::string load = "LOAD DATA LOCAL INFILE '" + dir.Sub("secret") + "' INTO TABLE `lines`";
  EXPECT_THROW(connection->Exec(load), Failure);

  LocalFile file;
  file.name = "vaultrun-archive-entry";
  file.read = [](char*, unsigned, std::string*) { return 0; };
  try {
    connection->LoadLocal(load, file, "lines");
    ADD_FAILURE() << "the file was served";
  } catch (const Failure& failure) {
    EXPECT_EQ("lines: the server asked for local file " + dir.Sub("secret") +
                  ", which this restore does not serve",
              failure.description());
  }
  EXPECT_THROW(connection->Exec(load), Failure);
  EXPECT_EQ("0", Count(target_, "lines"));
}

// A line without an end is refused once it passes max_allowed_packet, not
// after it has been read whole: the program's memory stays well below the
// line's size.
TEST_F(RestoreTest, OverlongLineIsRefusedBeforeItIsReadWhole) {
  TestServer& server = TestServer::Get();
  server.CreateTable(target_, "t", "txt LONGTEXT");
  test::TempDir dir;
  std::string archive = dir.Sub("long.zip");
  ASSERT_EQ(0, test::RunCommand(
                   "python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1], \"w\", "
                   "zipfile.ZIP_DEFLATED); f = z.open(\"x/t.sql\", \"w\", force_zip64=True); "
                   "f.write(b\"insert into `t` values (\\x27\"); [f.write(b\"a\" * (1 << 20)) for "
                   "i in range(300)]; f.close(); z.close()' '" +
                   archive + "'"));
  server.Admin("SET GLOBAL max_allowed_packet = 16777216");
  std::string output;
  int status = test::RunCommand(
      "python3 -c 'import resource, subprocess, sys; r = subprocess.run(sys.argv[1:], "
      "capture_output=True, text=True); print(r.returncode, "
      "resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss // 1024); print(r.stderr)' " +
          std::string(VAULTRUN_RESTORE_BINARY) + " --no-defaults -uroot -S '" + server.socket() +
          "' --allow-incomplete --unauthenticated '" + archive + "' -D " + target_,
      &output);
  server.Admin("SET GLOBAL max_allowed_packet = 268435456");
  ASSERT_EQ(0, status) << output;
  int exit_status = -1, megabytes = -1;
  ASSERT_EQ(2, std::sscanf(output.c_str(), "%d %d", &exit_status, &megabytes)) << output;
  EXPECT_EQ(1, exit_status) << output;
  EXPECT_LT(megabytes, 100) << output;
  EXPECT_NE(std::string::npos, output.find("table t: line 1 of x/t.sql is longer than 16777216 "
                                           "bytes"))
      << output;
}

// --list on a folder with a complete archive, the archive of a run killed
// mid-pack, one cut short and one whose data is damaged where only --deep
// looks; a restore refuses an archive without its mark unless told, and says
// why when such an archive cannot make its database.
TEST_F(RestoreTest, ListShowsEachArchivesState) {
  namespace fs = std::filesystem;
  TestServer& server = TestServer::Get();
  server.CreateTable(source_, "a1", "id INT PRIMARY KEY, name VARCHAR(20)");
  server.Insert(source_, "a1", "(1,'first'),(2,'second')");
  server.CreateTable(source_, "big", "id INT PRIMARY KEY, v VARCHAR(100)");
  server.Admin("INSERT INTO `" + source_ +
               "`.big SELECT seq, CONCAT(seq, REPEAT('x', 80)) FROM seq_1_to_300000");
  const std::string complete = Backup(kSqlSettings);
  const fs::path db_folder = fs::path(complete).parent_path();
  {
    // Killed while it packs the big table: its tail file is beside it.
    test::ProgramChild child(folder_);
    EXPECT_TRUE(test::WaitFor(
        [&] { return child.Ended() || !test::SnapshotFiles(db_folder, ".tail").empty(); },
        std::chrono::seconds(60)));
    EXPECT_FALSE(child.Ended()) << "the run ended before it could be killed";
    child.Kill();
  }
  // Cut short, and (past the big entry's middle) one byte changed.
  const std::string bytes = test::ReadFileOrDie(complete);
  test::WriteFileOrDie((db_folder / "20000101000000.zip").string(),
                       bytes.substr(0, bytes.size() / 2));
  std::string changed = bytes;
  changed[changed.size() / 2] = static_cast<char>(changed[changed.size() / 2] ^ 0x55);
  test::WriteFileOrDie((db_folder / "20000101000001.zip").string(), changed);

  auto list = [&](const std::string& options, const std::string& folder) {
    std::string output;
    EXPECT_EQ(0, RunProgram("--list " + options + " " + folder, &output)) << output;
    return output;
  };
  // The text form: newest first.
  std::istringstream table(list("", db_folder.string()));
  std::vector<std::string> states;
  for (std::string line; std::getline(table, line);) {
    if (line.size() > 16 && std::isdigit(static_cast<unsigned char>(line[0]))) {
      states.push_back(line.substr(16, line.find(' ', 16) - 16));
    }
  }
  EXPECT_EQ((std::vector<std::string>{"incomplete", "complete", "complete", "damaged"}), states);

  // The JSON form, read by Python, with every entry decompressed.
  test::TempDir dir;
  test::WriteFileOrDie(dir.Sub("list.json"), list("--deep --json", db_folder.string()));
  std::string read;
  ASSERT_EQ(0, test::RunCommand("python3 -c 'import json, sys\n"
                                "for a in json.load(open(sys.argv[1])):\n"
                                "  print(a[\"stamp\"], a[\"state\"], a[\"authenticated\"], "
                                "a[\"tables\"], a[\"rows\"], a[\"format\"], a[\"definitions\"], "
                                "a[\"bytes\"] > 0, bool(a[\"problem\"]))' '" +
                                    dir.Sub("list.json") + "'",
                                &read));
  const std::string stamp = fs::path(complete).stem().string();
  std::istringstream lines(read);
  std::vector<std::string> rows;
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  ASSERT_EQ(4u, rows.size()) << read;
  // The killed pack may have cut the directory: what it holds may not read.
  EXPECT_TRUE(std::regex_match(rows[0], std::regex("[0-9]{14} incomplete False (0 None |1 None "
                                                   "sql) False True True")))
      << rows[0];
  EXPECT_EQ(stamp + " complete True 2 300002 sql True True False", rows[1]);
  EXPECT_EQ("20000101000001 damaged False 2 300002 sql True True True", rows[2]);
  EXPECT_EQ("20000101000000 damaged False 0 None  False True True", rows[3]);

  // Without a folder: the installed settings' backup folder of the database.
  fs::copy_file(VAULTRUN_RESTORE_BINARY, folder_.Sub("vaultrun-restore"));
  std::string installed;
  EXPECT_EQ(0, test::RunCommand("VAULTRUN_REGISTRY='" + folder_.settings_path() + "' '" +
                                    folder_.Sub("vaultrun-restore") + "' --list 2>&1",
                                &installed));
  EXPECT_EQ(0u, installed.find("archives in " + db_folder.string() + ", newest first:\n"))
      << installed;

  // The killed run's rows without its mark and its definitions.
  const std::string partial = dir.Sub("partial.zip");
  ASSERT_EQ(0, test::RunCommand(
                   "python3 -c 'import sys, zipfile\n"
                   "src = zipfile.ZipFile(sys.argv[1]); out = zipfile.ZipFile(sys.argv[2], \"w\")\n"
                   "[out.writestr(i, src.read(i)) for i in src.infolist() if \"/\" in i.filename]\n"
                   "out.close()' '" +
                   complete + "' '" + partial + "'"));
  const std::string restore = "--no-defaults -uroot -S '" + server.socket() + "' '" + partial +
                              "' --database=" + target_ + "_new";
  std::string output;
  EXPECT_EQ(1, RunProgram(restore, &output));
  EXPECT_EQ("vaultrun-restore: " + partial +
                " is not a complete backup: no completeness mark: its run failed or was cut off, "
                "so tables or rows may be missing; nothing was written (vaultrun-restore --list "
                "shows each archive's state; --allow-incomplete restores what it holds)\n",
            output);
  EXPECT_EQ(1, RunProgram(restore + " --allow-incomplete", &output));
  EXPECT_EQ("vaultrun-restore: database " + target_ +
                "_new does not exist, and the archive holds no definitions to make it from (its "
                "run did not get as far as storing them): create the database and its tables "
                "first, e.g. from the game server's schema; nothing was written\n",
            output);
  EXPECT_FALSE(DatabaseExists(target_ + "_new"));
}

// An archive changed after its run: one byte of a data entry's rows, or a
// table taken out of its manifest. The restore and --verify refuse it,
// naming the entry, and nothing of it stays written.
TEST_F(RestoreTest, ArchivesChangedAfterTheirRunAreRefusedNamingTheEntry) {
  TestServer& server = TestServer::Get();
  server.CreateTable(source_, "accounts", "id INT PRIMARY KEY, gm_level INT");
  server.Insert(source_, "accounts", "(1, 0), (2, 0)");
  server.CreateTable(source_, "items", "id INT PRIMARY KEY");
  server.Insert(source_, "items", "(7)");
  const std::string archive = Backup(kSqlSettings);
  CopySchema({"accounts", "items"});
  const std::string entry = source_ + "/accounts.sql";
  test::TempDir dir;
  const std::string changed = dir.Sub("changed.zip");
  for (const std::string& edit : std::vector<std::string>{
           "contents['" + entry + "'] = contents['" + entry + "'].replace(b'(2,0)', b'(2,9)')",
           "m = 'vaultrun-manifest.txt'\ncontents[m] = b''.join(line for line in "
           "contents[m].splitlines(True) if b'/accounts.sql' not in line)"}) {
    SCOPED_TRACE(edit);
    std::filesystem::copy_file(archive, changed, std::filesystem::copy_options::overwrite_existing);
    ProgramFolder::EditArchive(changed, edit);
    // Refused before anything is written, or (the same sizes, other bytes)
    // when the entry's last byte is read, its table rolled back.
    const std::string failure = RestoreFailure(changed);
    EXPECT_NE(std::string::npos, failure.find(": entry " + entry + " ")) << failure;
    EXPECT_NE(std::string::npos, failure.find(" after its run")) << failure;
    EXPECT_EQ("0", Count(target_, "accounts"));
    EXPECT_EQ("0", Count(target_, "items"));
    std::string verdict;
    try {
      VerifyResult result = RunVerify(changed, "vaultrun_verify_changed");
      EXPECT_FALSE(result.ok);
      verdict = result.verdict;
    } catch (const Failure& refused) {
      verdict = refused.description();
    }
    EXPECT_NE(std::string::npos, verdict.find(failure)) << verdict;
    EXPECT_FALSE(DatabaseExists("vaultrun_verify_changed"));
  }
  // Unchanged, it restores.
  EXPECT_EQ(3u, RunRestore(archive).rows);
}

}  // namespace
}  // namespace vaultrun::restore
