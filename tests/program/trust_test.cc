// Backups a user can trust: one point in time for every table, a mark that
// tells a whole backup from a cut-off one, bounded disk use, and entries
// that are not failures.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <thread>

#include "archive/completeness_mark.h"
#include "archive/writer.h"
#include "config/registry.h"
#include "core/failure.h"
#include "core/report.h"
#include "db/access.h"
#include "fakes.h"
#include "program_folder.h"
#include "run/backup_run.h"
#include "test_db.h"

namespace vaultrun {
namespace {

namespace fs = std::filesystem;
using test::ProgramFolder;
using test::TestServer;

const char kCfg[] = "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n";

class TrustTest : public ::testing::Test {
 protected:
  void SetUp() override {
    database_ = TestServer::Get().CreateDatabase("trust");
    TestServer::Get().Admin("USE `" + database_ + "`");
    folder_.WriteConfFor(database_, TestServer::kBackupUser, TestServer::kBackupPassword);
  }
  std::string OnlyArchive() {
    auto archives = folder_.Archives(database_);
    EXPECT_EQ(1u, archives.size());
    return archives.empty() ? "" : archives.back();
  }
  std::string Comment(const std::string& archive) {
    auto env = NewDefaultEnv();
    std::string comment;
    EXPECT_TRUE(ReadArchiveComment(env.get(), archive, &comment).ok());
    return comment;
  }

  std::string database_;
  ProgramFolder folder_;
};

// The sum of the second column over every row of an SQL data file.
long long SumOfSecondColumn(const std::string& sql) {
  static const std::regex kRow("\\((-?[0-9]+),(-?[0-9]+)\\)");
  long long sum = 0;
  for (std::sregex_iterator it(sql.begin(), sql.end(), kRow), end; it != end; ++it) {
    sum += std::stoll((*it)[2]);
  }
  return sum;
}

// While a run dumps a big table, another connection keeps moving items from
// the inventory (listed before it) to the storage (listed after it). Returns
// the items that the backup holds; the database always holds 100,000.
long long ItemsInBackupWhileItemsMove(TrustTest* test, ProgramFolder& folder,
                                      const std::string& database, const std::string& engine,
                                      const std::string& settings) {
  TestServer& server = TestServer::Get();
  for (const char* t : {"a_inventory", "z_storage"}) {
    server.Admin("DROP TABLE IF EXISTS `" + database + "`." + t);
    server.Admin("CREATE TABLE `" + database + "`." + t +
                 " (id INT PRIMARY KEY, qty INT) ENGINE=" + engine);
  }
  server.Admin("INSERT INTO `" + database + "`.a_inventory SELECT seq, 1000 FROM seq_1_to_100");
  server.Admin("INSERT INTO `" + database + "`.z_storage SELECT seq, 0 FROM seq_1_to_100");
  server.Admin("CREATE TABLE IF NOT EXISTS `" + database +
               "`.m_big (id INT PRIMARY KEY, pad VARCHAR(255)) ENGINE=" + engine);
  if (server.AdminQueryOne("SELECT COUNT(*) FROM `" + database + "`.m_big") == "0") {
    server.Admin("INSERT INTO `" + database +
                 "`.m_big SELECT seq, REPEAT('x', 200) FROM seq_1_to_200000");
  }
  folder.WriteSettings(std::string(kCfg) + "\"format_sql\"=\"1\"\r\n" + settings);
  for (const std::string& archive : folder.Archives(database)) fs::remove(archive);

  std::atomic<bool> done{false};
  std::atomic<int> moves{0};
  std::thread mover([&] {
    test::AdminConnection connection(server.socket(), "root", "");
    connection.Exec("USE `" + database + "`");
    for (int k = 0; !done; k = (k + 1) % 100) {
      std::string id = std::to_string(k + 1);
      // One statement, so that the move is whole for MyISAM's table locks too.
      connection.Exec(
          "UPDATE a_inventory a JOIN z_storage z ON a.id = z.id SET a.qty = a.qty - 1,"
          " z.qty = z.qty + 1 WHERE a.id = " +
          id);
      ++moves;
    }
  });
  // Let the mover get going before the run starts.
  while (moves < 50) std::this_thread::yield();
  int status = folder.Run();
  done = true;
  mover.join();
  EXPECT_EQ(0, status) << ::testing::PrintToString(folder.Entries());
  if (folder.Archives(database).empty()) return -1;
  std::string archive = folder.Archives(database).back();
  (void)test;
  return SumOfSecondColumn(ProgramFolder::EntryContent(archive, database + "/a_inventory.sql")) +
         SumOfSecondColumn(ProgramFolder::EntryContent(archive, database + "/z_storage.sql"));
}

TEST_F(TrustTest, OneConsistentSnapshotByDefault) {
  for (int trial = 0; trial < 3; ++trial) {
    EXPECT_EQ(100000, ItemsInBackupWhileItemsMove(this, folder_, database_, "InnoDB", ""))
        << "trial " << trial;
  }
  // Without the snapshot the tables come from different moments.
  EXPECT_NE(100000, ItemsInBackupWhileItemsMove(this, folder_, database_, "InnoDB",
                                                "\"consistent_snapshot\"=\"0\"\r\n"));
}

TEST_F(TrustTest, ReadLocksHoldTablesWithoutTransactions) {
  TestServer::Get().Admin("GRANT LOCK TABLES ON `" + database_ + "`.* TO '" +
                          TestServer::kBackupUser + "'@'127.0.0.1'");
  for (int trial = 0; trial < 2; ++trial) {
    EXPECT_EQ(100000, ItemsInBackupWhileItemsMove(this, folder_, database_, "MyISAM",
                                                  "\"lock_tables\"=\"1\"\r\n"))
        << "trial " << trial;
  }
  EXPECT_NE(100000, ItemsInBackupWhileItemsMove(this, folder_, database_, "MyISAM", ""));
}

TEST_F(TrustTest, LockTablesNeedsItsPrivilege) {
  TestServer::Get().CreateTable(database_, "t", "id INT");
  std::string user = "nolock_" + database_;
  TestServer::Get().Admin("CREATE USER '" + user + "'@'127.0.0.1' IDENTIFIED BY 'pw'");
  TestServer::Get().Admin("GRANT SELECT ON `" + database_ + "`.* TO '" + user + "'@'127.0.0.1'");
  folder_.WriteConfFor(database_, user, "pw");
  // Without definitions: this account's missing rights would add a warning.
  folder_.WriteSettings(std::string(kCfg) +
                        "\"lock_tables\"=\"1\"\r\n\"store_definitions\"=\"0\"\r\n");
  EXPECT_EQ(1, folder_.Run());
  auto entries = folder_.Entries();
  ASSERT_EQ(1u, entries.size());
  EXPECT_NE(std::string::npos, entries[0].find("1\tVaultrun: Access denied for user"))
      << entries[0];
  // With the privilege the run goes through.
  TestServer::Get().Admin("GRANT LOCK TABLES ON `" + database_ + "`.* TO '" + user +
                          "'@'127.0.0.1'");
  fs::remove(folder_.Sub("events.log"));
  EXPECT_EQ(0, folder_.Run()) << ::testing::PrintToString(folder_.Entries());
}

TEST_F(TrustTest, CompletenessMarkOnlyOnAWholeRun) {
  TestServer::Get().CreateTable(database_, "accounts", "id INT");
  TestServer::Get().Insert(database_, "accounts", "(1),(2),(3)");
  TestServer::Get().CreateTable(database_, "empty", "id INT");
  ASSERT_EQ(0, folder_.Run());
  std::string archive = OnlyArchive();
  auto mark = ParseCompletenessMark(Comment(archive));
  ASSERT_TRUE(mark);
  EXPECT_EQ(VAULTRUN_VERSION, mark->version);
  EXPECT_EQ(database_, mark->database);
  EXPECT_EQ(fs::path(archive).stem().string(), mark->stamp);
  EXPECT_EQ((std::vector<std::pair<std::string, uint64_t>>{{"accounts", 3}, {"empty", 0}}),
            mark->tables);
  std::string shown;
  ASSERT_EQ(0, test::RunCommand("unzip -z '" + archive + "'", &shown));
  EXPECT_NE(std::string::npos, shown.find("Vaultrun: run complete"));
  EXPECT_TRUE(ProgramFolder::ArchiveTestsClean(archive));

  // A run that fails on its second table leaves an archive without a mark.
  TestServer::Get().CreateTable(database_, "broken/name", "id INT");
  for (const std::string& a : folder_.Archives(database_)) fs::remove(a);
  EXPECT_EQ(1, folder_.Run());
  archive = OnlyArchive();
  EXPECT_EQ("", Comment(archive));
  EXPECT_TRUE(ProgramFolder::ArchiveTestsClean(archive));
}

TEST_F(TrustTest, KeepRunsDeletesOnlyOldStampedArchives) {
  TestServer::Get().CreateTable(database_, "t", "id INT");
  ASSERT_EQ(0, folder_.Run());
  std::string db_folder = folder_.Sub("backup/" + database_);
  // The first run's archive, stamped earlier, leaves this second's stamp to
  // the runs below.
  std::string marked = db_folder + "/20000104000000.zip";
  fs::rename(OnlyArchive(), marked);
  // Older runs: two whole backups, one cut off, and files that are not runs.
  fs::copy_file(marked, db_folder + "/20000101000000.zip");
  fs::copy_file(marked, db_folder + "/20000102000000.zip");
  test::WriteFileOrDie(db_folder + "/20000103000000.zip", "cut off");
  test::WriteFileOrDie(db_folder + "/mine.zip", "keep me");
  test::WriteFileOrDie(db_folder + "/19990101000000.zip.bak", "keep me");
  // A newer whole backup with a forged mark (a row count changed, so its
  // tag no longer verifies) counts for nothing: the first run's stays.
  const std::string forged = db_folder + "/20000105000000.zip";
  fs::copy_file(marked, forged);
  ProgramFolder::EditArchive(forged, "comment = comment.replace(b'\\nt\\t0\\n', b'\\nt\\t5\\n')");
  ASSERT_NE(Comment(marked), Comment(forged));
  folder_.WriteSettings(std::string(kCfg) + "\"keep_runs\"=\"2\"\r\n");

  // A failed run deletes nothing.
  TestServer::Get().CreateTable(database_, "u/v", "id INT");
  EXPECT_EQ(1, folder_.Run());
  EXPECT_TRUE(fs::exists(db_folder + "/20000101000000.zip"));
  TestServer::Get().Admin("DROP TABLE `" + database_ + "`.`u/v`");

  fs::remove(folder_.Sub("events.log"));
  ASSERT_EQ(0, folder_.Run()) << ::testing::PrintToString(folder_.Entries());
  auto left = folder_.Archives(database_);
  // The two newest authenticated runs stay (the first run and this one),
  // with the forged one and the failed run between them; everything stamped
  // before them goes.
  ASSERT_EQ(5u, left.size()) << ::testing::PrintToString(left);  // with mine.zip
  EXPECT_EQ(marked, left[0]);
  EXPECT_EQ(forged, left[1]);
  for (const char* gone : {"20000101000000.zip", "20000102000000.zip", "20000103000000.zip"}) {
    EXPECT_FALSE(fs::exists(db_folder + "/" + gone)) << gone;
  }
  EXPECT_TRUE(fs::exists(db_folder + "/mine.zip"));
  EXPECT_TRUE(fs::exists(db_folder + "/19990101000000.zip.bak"));
}

// Table names with a zip end record's signature or a line break go into
// the mark encoded: every reader still opens the archive, and the mark reads
// back with the names as they are.
TEST_F(TrustTest, TableNamesCannotForgeOrBreakTheMark) {
  const std::string forged = std::string("PK\x05\x06", 4) + "x";
  TestServer::Get().Admin("CREATE TABLE `" + database_ + "`.`" + forged + "` (id INT)");
  TestServer::Get().Admin("CREATE TABLE `" + database_ + "`.`two\nlines` (id INT)");
  TestServer::Get().Insert(database_, "two\nlines", "(1)");
  ASSERT_EQ(0, folder_.Run()) << ::testing::PrintToString(folder_.Entries());
  std::string archive = OnlyArchive();
  EXPECT_TRUE(ProgramFolder::ArchiveTestsClean(archive));
  auto mark = ParseCompletenessMark(Comment(archive));
  ASSERT_TRUE(mark);
  EXPECT_EQ((std::vector<std::pair<std::string, uint64_t>>{{forged, 0}, {"two\nlines", 1}}),
            mark->tables);
}

// An archive stamped later than the run (a clock that was ahead) keeps
// every archive, the run's own first of all, with one warning naming it.
TEST_F(TrustTest, KeepRunsWithAStampFromTheFutureDeletesNothing) {
  TestServer::Get().CreateTable(database_, "t", "id INT");
  ASSERT_EQ(0, folder_.Run());
  std::string db_folder = folder_.Sub("backup/" + database_);
  const std::string first = db_folder + "/20000101000000.zip";  // out of this second's way
  fs::rename(OnlyArchive(), first);
  const std::string future = db_folder + "/20991231235959.zip";
  fs::copy_file(first, future);
  folder_.WriteSettings(std::string(kCfg) + "\"keep_runs\"=\"1\"\r\n");
  ASSERT_EQ(0, folder_.Run());
  EXPECT_EQ(3u, folder_.Archives(database_).size());
  EXPECT_TRUE(fs::exists(first));
  auto entries = folder_.Entries();
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ(0u, entries[0].find("2\tVaultrun: keep_runs: no archive deleted, as " + future))
      << entries[0];
}

// A keep_runs value that cannot be read ends the run before the first
// table: no archive claims to be whole.
TEST_F(TrustTest, ABadKeepRunsFailsBeforeAnyTable) {
  TestServer::Get().CreateTable(database_, "t", "id INT");
  folder_.WriteSettings(std::string(kCfg) + "\"keep_runs\"=\"99999999999\"\r\n");
  EXPECT_EQ(1, folder_.Run());
  EXPECT_EQ(1u, folder_.Entries().size());
  EXPECT_TRUE(folder_.Archives(database_).empty());
}

TEST_F(TrustTest, SuccessEntryIsInformationNotFailure) {
  TestServer::Get().CreateTable(database_, "t", "id INT");
  TestServer::Get().Insert(database_, "t", "(1),(2)");
  folder_.WriteSettings(std::string(kCfg) + "\"log_success\"=\"1\"\r\n");
  ASSERT_EQ(0, folder_.Run());
  auto entries = folder_.Entries();
  ASSERT_EQ(1u, entries.size());
  EXPECT_TRUE(std::regex_match(
      entries[0], std::regex("4\tVaultrun: backup of " + database_ +
                             " complete: 1 tables, 2 rows, archive [0-9]+ bytes, [0-9]+ seconds")))
      << entries[0];
}

// Without a usable key a run still writes its whole backup, unauthenticated
// (no tag line), and says so: a key that others may read is refused with
// an error entry (exit status 1, so a scheduler sees it); a key that
// cannot be stored gives a warning.
TEST_F(TrustTest, ARunWithoutAUsableKeyStillBacksUpAndSaysSo) {
  TestServer::Get().CreateTable(database_, "t", "id INT");
  ASSERT_EQ(0, folder_.Run());  // makes the key
  EXPECT_NE("", ParseCompletenessMark(Comment(OnlyArchive()))->tag);
  fs::permissions(folder_.key_path(), fs::perms::others_read, fs::perm_options::add);
  fs::remove(OnlyArchive());
  EXPECT_EQ(1, folder_.Run());
  auto entries = folder_.Entries();
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ(0u, entries[0].find("1\tVaultrun: archive key " + folder_.key_path() +
                                ": refused, as others may read or change it"))
      << entries[0];
  EXPECT_NE(std::string::npos, entries[0].find("this run's archive is not authenticated"));
  std::optional<CompletenessMark> mark = ParseCompletenessMark(Comment(OnlyArchive()));
  ASSERT_TRUE(mark);
  EXPECT_EQ("", mark->tag);
  EXPECT_TRUE(ProgramFolder::ArchiveTestsClean(OnlyArchive()));

  // Settings whose folder cannot be made: no key can be stored.
  fs::remove(OnlyArchive());
  fs::remove(folder_.Sub("events.log"));
  test::WriteFileOrDie(folder_.Sub("blocked"), "a file where a folder should be");
  EXPECT_EQ(0, test::RunCommand("cd '" + folder_.path() + "' && VAULTRUN_REGISTRY='" +
                                folder_.Sub("blocked/vaultrun.reg") + "' VAULTRUN_EVENT_LOG='" +
                                folder_.Sub("events.log") + "' ./vaultrun"));
  entries = folder_.Entries();
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ(0u, entries[0].find("2\tVaultrun: archive key " + folder_.Sub("blocked/vaultrun.key") +
                                ": its folder cannot be made; this run's archive is not "
                                "authenticated"))
      << entries[0];
  mark = ParseCompletenessMark(Comment(OnlyArchive()));
  ASSERT_TRUE(mark);
  EXPECT_EQ("", mark->tag);
}

// The exported copy of the key restores on a new machine (another settings
// file, with no key of its own), where the archive is otherwise refused.
TEST_F(TrustTest, TheExportedKeyRestoresOnANewMachine) {
  TestServer& server = TestServer::Get();
  server.CreateTable(database_, "t", "id INT PRIMARY KEY");
  server.Insert(database_, "t", "(1),(2)");
  ASSERT_EQ(0, folder_.Run());
  const std::string archive = OnlyArchive();
  test::TempDir away;
  const std::string copy = away.Sub("vaultrun-key.txt");
  const std::string export_key = "cd '" + folder_.path() + "' && VAULTRUN_REGISTRY='" +
                                 folder_.settings_path() + "' ./vaultrun --export-key '" + copy +
                                 "' 2>&1";
  std::string output;
  EXPECT_EQ(0, test::RunCommand(export_key, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("Keep this copy apart from the archives")) << output;
  EXPECT_EQ(test::ReadFileOrDie(folder_.key_path()), test::ReadFileOrDie(copy));
  EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
            fs::status(copy).permissions() & fs::perms::all);
  EXPECT_EQ(1, test::RunCommand(export_key, &output));  // never over a file
  EXPECT_NE(std::string::npos, output.find("a file is already there")) << output;

  const std::string target = database_ + "_moved";
  const std::string restore = "VAULTRUN_REGISTRY='" + away.Sub("etc/vaultrun.reg") + "' " +
                              VAULTRUN_RESTORE_BINARY + " --no-defaults -uroot -S '" +
                              server.socket() + "' ";
  EXPECT_EQ(1, test::RunCommand(restore + "'" + archive + "' -D " + target + " 2>&1", &output));
  EXPECT_NE(std::string::npos, output.find("no archive key is held here")) << output;
  EXPECT_NE(std::string::npos, output.find("--key-file")) << output;
  EXPECT_EQ("0", server.AdminQueryOne("SELECT COUNT(*) FROM information_schema.schemata WHERE "
                                      "schema_name = '" +
                                      target + "'"));
  const std::string with_copy = restore + "--key-file='" + copy + "' ";
  EXPECT_EQ(0, test::RunCommand(with_copy + "'" + archive + "' -D " + target + " 2>&1", &output))
      << output;
  EXPECT_NE(std::string::npos, output.find("Restored 1 tables, 2 rows into " + target + "\n"))
      << output;
  EXPECT_EQ(0, test::RunCommand(with_copy + "--verify '" + archive + "' 2>&1", &output)) << output;
  EXPECT_EQ(0u, output.find("OK: 1 tables, 2 rows")) << output;
  server.Admin("DROP DATABASE `" + target + "`");
}

// Reports a full disk, whatever the real one holds.
class FullDiskEnv : public EnvWrapper {
 public:
  FullDiskEnv(Env* target, std::string program_folder)
      : EnvWrapper(target), program_folder_(std::move(program_folder)) {}
  Status FreeSpace(const std::string&, uint64_t* bytes) override {
    *bytes = 1024;
    return Status::OK();
  }
  std::string ProgramFolder() override { return program_folder_; }

 private:
  std::string program_folder_;
};

TEST_F(TrustTest, LowSpaceIsAWarningAndTheRunGoesOn) {
  TestServer::Get().CreateTable(database_, "t", "id INT, pad VARCHAR(100)");
  TestServer::Get().Insert(database_, "t", "(1, 'a'),(2, 'b')");
  auto real = NewDefaultEnv();
  FullDiskEnv env(real.get(), folder_.path());
  auto settings = NewRegFileSettingsStore(&env, folder_.settings_path());
  settings->WriteRegString(kHkeyLocalMachine, kSettingsKey, "warn_low_space", "1");
  test::RecordingEventLog log;
  Process process;
  process.env = &env;
  process.settings = settings.get();
  process.event_log = &log;
  Session session;
  EXPECT_EQ(0, RunReported(process, [&] { Main(process, session); }));
  ASSERT_EQ(1u, log.entries.size());
  EXPECT_EQ(kEventWarning, log.entries[0].type);
  EXPECT_NE(std::string::npos, log.entries[0].text.find("Vaultrun: low disk space: 0 MB free in "))
      << log.entries[0].text;
  EXPECT_EQ(1u, folder_.Archives(database_).size());
}

}  // namespace
}  // namespace vaultrun
