// Whole runs of the real program against the test server, as a user runs it.
#include "run/backup_run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/env.h"
#include "archive/manifest.h"
#include "program_folder.h"
#include "run/definitions.h"
#include "test_db.h"
#include "test_util.h"

namespace vaultrun {
namespace {

namespace fs = std::filesystem;
using test::ProgramFolder;
using test::TestServer;

class BackupRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    database_ = TestServer::Get().CreateDatabase("game");
    TestServer::Get().Admin("USE `" + database_ + "`");
  }
  void Table(const std::string& name, const std::string& columns, const std::string& values) {
    TestServer::Get().CreateTable(database_, name, columns);
    if (!values.empty()) TestServer::Get().Insert(database_, name, values);
  }
  void UseBackupAccount(ProgramFolder& folder) {
    folder.WriteConfFor(database_, TestServer::kBackupUser, TestServer::kBackupPassword);
  }
  // The one archive of the run, after checking that there is exactly one.
  std::string OnlyArchive(const ProgramFolder& folder) {
    auto archives = folder.Archives(database_);
    EXPECT_EQ(1u, archives.size());
    return archives.empty() ? "" : archives[0];
  }
  std::string Entry(const std::string& table, const char* ext) {
    return database_ + "/" + table + ext;
  }

  std::string database_;
};

TEST_F(BackupRunTest, SuccessfulRunIsSilentAndSeedsItsSettings) {
  Table("accounts", "id INT, name VARCHAR(20)", "(1,'aria'),(2,'o''brien')");
  Table("emblems", "id INT, data BLOB", "(1, X'00FF5C27')");
  Table("empty", "id INT", "");
  ProgramFolder folder;
  UseBackupAccount(folder);
  folder.WriteSettings(
      "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n\"format_sql\"=\"1\"\r\n");

  ASSERT_EQ(0, folder.Run()) << ::testing::PrintToString(folder.Entries());
  EXPECT_TRUE(folder.Entries().empty());
  std::string archive = OnlyArchive(folder);
  EXPECT_TRUE(
      std::regex_match(fs::path(archive).filename().string(), std::regex("[0-9]{14}\\.zip")));
  EXPECT_EQ((std::vector<std::string>{Entry("accounts", ".sql"), Entry("emblems", ".sql"),
                                      Entry("empty", ".sql"), kDefinitionsEntry, kManifestEntry}),
            ProgramFolder::EntryNames(archive));
  EXPECT_TRUE(ProgramFolder::ArchiveTestsClean(archive));
  EXPECT_EQ("insert into `accounts` (`id`,`name`) values (1,'aria'),(2,'o\\'brien');\r\n",
            ProgramFolder::EntryContent(archive, Entry("accounts", ".sql")));
  EXPECT_EQ("insert into `emblems` (`id`,`data`) values (1,'\\0\xff\\\\\\'');\r\n",
            ProgramFolder::EntryContent(archive, Entry("emblems", ".sql")));
  EXPECT_EQ("", ProgramFolder::EntryContent(archive, Entry("empty", ".sql")));
  // Every data file was deleted after its pack.
  for (const auto& file : fs::directory_iterator(folder.Sub("backup/" + database_))) {
    EXPECT_NE(".sql", file.path().extension()) << file.path();
  }
  // Folders and archives are for the owner only.
  EXPECT_EQ(fs::perms::owner_all,
            fs::status(folder.Sub("backup/" + database_)).permissions() & fs::perms::all);
  EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
            fs::status(archive).permissions() & fs::perms::all);

  std::string settings = folder.Settings();
  for (const std::string& seeded :
       {std::string("\"config_filename\"=\"conf/inter_kelvane.conf\""),
        std::string("\"field_ip\"=\"mysql_server_ip,login_server_ip\""),
        std::string("\"field_database\"=\"mysql_char_db,login_server_db\""),
        std::string("\"field_username\"=\"mysql_server_id,login_server_id\""),
        std::string("\"field_password\"=\"mysql_server_pw,login_server_pw\""),
        "\"" + database_ + "_path\"=\"" + folder.path() + "/backup/\"",
        std::string("[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun]"),
        std::string("\"accounts\"=\"0\""), std::string("\"emblems\"=\"0\""),
        std::string("\"empty\"=\"0\"")}) {
    EXPECT_NE(std::string::npos, settings.find(seeded)) << seeded << "\n" << settings;
  }
  // The format settings are read, never seeded.
  EXPECT_EQ(std::string::npos, settings.find("format_insert"));
}

TEST_F(BackupRunTest, DefaultFormatIsTabSeparated) {
  Table("t", "id INT, name VARCHAR(5)", "(1,NULL)");
  ProgramFolder folder;
  UseBackupAccount(folder);
  ASSERT_EQ(0, folder.Run());
  std::string archive = OnlyArchive(folder);
  EXPECT_EQ("id\tname\t\r\n1\t\t\r\n", ProgramFolder::EntryContent(archive, Entry("t", ".csv")));
}

TEST_F(BackupRunTest, ExclusionFlags) {
  for (const char* t : {"excluded", "blank_after", "zero", "word", "unflagged"}) {
    Table(t, "id INT", "(1)");
  }
  ProgramFolder folder;
  UseBackupAccount(folder);
  folder.WriteSettings(
      "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun]\r\n"
      "\"EXCLUDED\"=\"1\"\r\n\"blank_after\"=\"1 \"\r\n\"zero\"=\"0\"\r\n\"word\"=\"true\"\r\n");
  ASSERT_EQ(0, folder.Run()) << ::testing::PrintToString(folder.Entries());
  EXPECT_EQ((std::vector<std::string>{Entry("blank_after", ".csv"), Entry("unflagged", ".csv"),
                                      Entry("word", ".csv"), Entry("zero", ".csv"),
                                      kDefinitionsEntry, kManifestEntry}),
            ProgramFolder::EntryNames(OnlyArchive(folder)));
  std::string settings = folder.Settings();
  // Flags with text are left as they are; only the unflagged table is seeded.
  EXPECT_NE(std::string::npos, settings.find("\"EXCLUDED\"=\"1\""));
  EXPECT_EQ(std::string::npos, settings.find("\"excluded\""));
  EXPECT_NE(std::string::npos, settings.find("\"blank_after\"=\"1 \""));
  EXPECT_NE(std::string::npos, settings.find("\"word\"=\"true\""));
  EXPECT_NE(std::string::npos, settings.find("\"unflagged\"=\"0\""));
}

// The database folder holds the run lock, so it is there; no archive is.
TEST_F(BackupRunTest, NothingToExportCreatesNoArchive) {
  ProgramFolder folder;
  UseBackupAccount(folder);
  ASSERT_EQ(0, folder.Run());
  EXPECT_TRUE(folder.Archives(database_).empty());
  Table("only", "id INT", "(1)");
  folder.WriteSettings("[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun]\r\n\"only\"=\"1\"\r\n");
  ASSERT_EQ(0, folder.Run());
  EXPECT_TRUE(folder.Archives(database_).empty());
  EXPECT_TRUE(folder.Entries().empty());
}

TEST_F(BackupRunTest, FailureOnTheThirdOfFiveTables) {
  for (const char* t : {"t1", "t2", "t3/bad", "t4", "t5"}) Table(t, "id INT", "(1)");
  ProgramFolder folder;
  UseBackupAccount(folder);
  EXPECT_EQ(1, folder.Run());
  EXPECT_EQ(
      (std::vector<std::string>{"1\tVaultrun: data file for table t3/bad: not a valid file name"}),
      folder.Entries());
  std::string archive = OnlyArchive(folder);
  EXPECT_EQ((std::vector<std::string>{Entry("t1", ".csv"), Entry("t2", ".csv")}),
            ProgramFolder::EntryNames(archive));
  EXPECT_TRUE(ProgramFolder::ArchiveTestsClean(archive));
  std::string settings = folder.Settings();
  EXPECT_NE(std::string::npos, settings.find("\"t2\"=\"0\""));
  for (const char* untouched : {"\"t3/bad\"", "\"t4\"", "\"t5\""}) {
    EXPECT_EQ(std::string::npos, settings.find(untouched)) << untouched;
  }
  EXPECT_FALSE(fs::exists(folder.Sub("t4.csv")));
}

TEST_F(BackupRunTest, CatalogueOfConfigurationFailures) {
  ProgramFolder folder;
  // No configuration file: one entry, and nothing else happens.
  EXPECT_EQ(1, folder.Run());
  EXPECT_EQ((std::vector<std::string>{"1\tError: Can't open " + folder.path() +
                                      "/conf/inter_kelvane.conf"}),
            folder.Entries());
  EXPECT_FALSE(fs::exists(folder.Sub("backup")));

  struct Case {
    const char* conf;
    const char* message;
  } cases[] = {
      {"nothing: here\r\n",
       "Can't find MySql IP (mysql_server_ip or login_server_ip) in inter_kelvane.conf"},
      {"login_server_ip: h\r\n",
       "Can't find MySql user (mysql_server_id or login_server_id) in inter_kelvane.conf"},
      {"login_server_ip: h\r\nmysql_server_id: u\r\n",
       "Can't find MySql pwd (mysql_server_pw or login_server_pw) in inter_kelvane.conf"},
      {"login_server_ip: h\r\nmysql_server_id: u\r\nmysql_server_pw: p\r\n",
       "Can't find MySql database name (mysql_char_db or login_server_db) in inter_kelvane.conf"},
  };
  for (const Case& c : cases) {
    ProgramFolder f;
    f.WriteConf(c.conf);
    EXPECT_EQ(1, f.Run()) << c.message;
    EXPECT_EQ((std::vector<std::string>{std::string("1\t") + c.message}), f.Entries());
  }
}

// Every way a run can fail writes exactly one entry, of type error, and
// exits 1; none of them leaves an archive.
TEST_F(BackupRunTest, EveryWayARunFailsIsToldOnce) {
  Table("t", "id INT", "(1)");
  const std::string cfg = "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n";
  struct Case {
    std::string settings;    // the settings file's keys
    std::string password;    // the configuration file's
    std::string in_the_way;  // a folder made first, below the program folder
    std::string entry;       // the one entry (a prefix of it)
  } cases[] = {
      {"", "", "conf", "1\tError: Can't open "},                           // configuration: no file
      {cfg + "\"" + database_ + "_path\"=\"Q:/data/backup\"\r\n", "", "",  // folder
       "1\tVaultrun: Invalid drive -> Q:/"},
      {"", "wrong", "",  // connection
       "1\tVaultrun: Access denied for user 'backup'@'127.0.0.1' (using password: YES)"},
      {cfg + "\"lock_tables\"=\"1\"\r\n\"store_definitions\"=\"0\"\r\n", "", "",  // query
       "1\tVaultrun: Access denied for user 'backup'"},
      {"", "", "backup/" + database_ + "/.vaultrun.lock", "1\tVaultrun: "},  // pack
      {cfg + "\"keep_runs\"=\"abc\"\r\n", "", "",  // settings, before any table
       "1\tVaultrun: setting keep_runs \"abc\" is not a whole number"},
      {cfg + "\"keep_runs\"=\"-1\"\r\n", "", "", "1\tVaultrun: setting keep_runs \"-1\""},
      {cfg + "\"keep_runs\"=\"1e30\"\r\n", "", "", "1\tVaultrun: setting keep_runs \"1e30\""},
      {cfg + "\"format_sql\"=\"99999999999\"\r\n", "", "",
       "1\tVaultrun: setting format_sql \"99999999999\": Overflow"},
      {cfg + "keep_runs=7\r\n", "", "", "1\tVaultrun: settings file "},  // line 4
  };
  for (const Case& c : cases) {
    ProgramFolder folder;
    if (c.in_the_way != "conf") {
      folder.WriteConfFor(database_, TestServer::kBackupUser,
                          c.password.empty() ? TestServer::kBackupPassword : c.password);
    }
    if (!c.settings.empty()) folder.WriteSettings(c.settings);
    if (!c.in_the_way.empty() && c.in_the_way != "conf") {
      fs::create_directories(folder.Sub(c.in_the_way));
    }
    EXPECT_EQ(1, folder.Run()) << c.entry;
    auto entries = folder.Entries();
    ASSERT_EQ(1u, entries.size()) << c.entry << ::testing::PrintToString(entries);
    EXPECT_EQ(0u, entries[0].find(c.entry)) << entries[0];
    EXPECT_TRUE(folder.Archives(database_).empty()) << c.entry;
    if (c.settings.find("keep_runs=7") != std::string::npos) {
      EXPECT_NE(std::string::npos, entries[0].find("vaultrun.reg line 4: ")) << entries[0];
    }
  }
}

TEST_F(BackupRunTest, SettingsFileTypesCaseAndTrailingBackslash) {
  Table("t", "id INT", "(1)");
  ProgramFolder folder;
  UseBackupAccount(folder);
  // A dword field_ip reads as empty and is replaced by the default; key paths
  // match whatever their case, with or without a trailing backslash.
  folder.WriteSettings(
      "[hkey_local_machine\\SOFTWARE\\cobaltine\\vaultrun\\CFG\\]\r\n"
      "\"field_ip\"=dword:00000001\r\n\"FORMAT_SQL\"=\"1\"\r\n");
  ASSERT_EQ(0, folder.Run()) << ::testing::PrintToString(folder.Entries());
  EXPECT_EQ((std::vector<std::string>{Entry("t", ".sql"), kDefinitionsEntry, kManifestEntry}),
            ProgramFolder::EntryNames(OnlyArchive(folder)));
  EXPECT_NE(std::string::npos,
            folder.Settings().find("\"field_ip\"=\"mysql_server_ip,login_server_ip\""));
}

TEST_F(BackupRunTest, ConcurrentRunsKeepEachOthersSettings) {
  std::string other = TestServer::Get().CreateDatabase("other");
  Table("mine", "id INT", "(1)");
  TestServer::Get().CreateTable(other, "theirs", "id INT");
  ProgramFolder first, second;
  UseBackupAccount(first);
  second.WriteConfFor(other, TestServer::kBackupUser, TestServer::kBackupPassword);
  // Both programs share the first folder's settings file.
  std::string shared = first.settings_path();
  int status_a = -1, status_b = -1;
  std::thread a([&] {
    status_a =
        test::RunCommand("cd '" + first.path() + "' && VAULTRUN_REGISTRY='" + shared +
                         "' VAULTRUN_EVENT_LOG='" + first.Sub("events.log") + "' ./vaultrun");
  });
  std::thread b([&] {
    status_b =
        test::RunCommand("cd '" + second.path() + "' && VAULTRUN_REGISTRY='" + shared +
                         "' VAULTRUN_EVENT_LOG='" + second.Sub("events.log") + "' ./vaultrun");
  });
  a.join();
  b.join();
  EXPECT_EQ(0, status_a);
  EXPECT_EQ(0, status_b);
  std::string settings = first.Settings();
  for (const std::string& value : {std::string("\"mine\"=\"0\""), std::string("\"theirs\"=\"0\""),
                                   "\"" + database_ + "_path\"", "\"" + other + "_path\"",
                                   std::string("\"config_filename\"")}) {
    EXPECT_NE(std::string::npos, settings.find(value)) << value << "\n" << settings;
  }
}

// The samples of a metrics file as Prometheus' own parser reads them, one
// "name database value" a line; the parser is told to fail on a series
// given twice or a file without its final newline.
std::vector<std::string> MetricSamples(const std::string& path) {
  std::string out;
  EXPECT_EQ(0,
            test::RunCommand("/usr/bin/python3 -c 'import sys\n"
                             "from prometheus_client.parser import text_string_to_metric_families\n"
                             "text = open(sys.argv[1]).read()\n"
                             "assert text.endswith(\"\\n\")\n"
                             "seen = set()\n"
                             "for family in text_string_to_metric_families(text):\n"
                             "  for s in family.samples:\n"
                             "    key = (s.name, tuple(sorted(s.labels.items())))\n"
                             "    assert key not in seen, key\n"
                             "    seen.add(key)\n"
                             "    print(s.name, s.labels[\"database\"], int(s.value))' '" +
                                 path + "' 2>&1",
                             &out))
      << out;
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// After a success and after a failure the metrics file holds every series
// of the database, once; the failure keeps the last success's time and the
// newest complete archive's, and the series of another database stay.
TEST_F(BackupRunTest, MetricsFileAfterSuccessAndFailure) {
  Table("t", "id INT", "(1),(2),(3)");
  ProgramFolder folder;
  UseBackupAccount(folder);
  folder.WriteSettings(
      "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n"
      "\"metrics_file\"=\"metrics/vaultrun.prom\"\r\n");
  const std::string file = folder.Sub("metrics/vaultrun.prom");
  fs::create_directories(folder.Sub("metrics"));
  test::WriteFileOrDie(file,
                       "# a file of another database's runs\n"
                       "vaultrun_last_run_success{database=\"other\"} 1\n");

  const int64_t before = static_cast<int64_t>(time(nullptr));
  ASSERT_EQ(0, folder.Run()) << ::testing::PrintToString(folder.Entries());
  const int64_t after = static_cast<int64_t>(time(nullptr));
  const std::string archive = OnlyArchive(folder);
  std::tm stamp{};
  ASSERT_TRUE(strptime(fs::path(archive).stem().c_str(), "%Y%m%d%H%M%S", &stamp));
  stamp.tm_isdst = -1;
  const std::string complete = std::to_string(mktime(&stamp));

  std::vector<std::string> samples = MetricSamples(file);
  auto value = [&](const std::string& name) -> int64_t {
    for (const std::string& sample : samples) {
      std::string prefix = name + " " + database_ + " ";
      if (sample.rfind(prefix, 0) == 0) return std::stoll(sample.substr(prefix.size()));
    }
    ADD_FAILURE() << name << " not in " << ::testing::PrintToString(samples);
    return -1;
  };
  ASSERT_EQ(9u, samples.size()) << ::testing::PrintToString(samples);
  const int64_t success = value("vaultrun_last_success_timestamp_seconds");
  EXPECT_TRUE(success >= before && success <= after) << success;
  EXPECT_EQ(success, value("vaultrun_last_run_timestamp_seconds"));
  EXPECT_EQ(1, value("vaultrun_last_run_success"));
  EXPECT_LE(value("vaultrun_last_run_duration_seconds"), after - before);
  EXPECT_EQ(static_cast<int64_t>(fs::file_size(archive)), value("vaultrun_last_archive_bytes"));
  EXPECT_EQ(1, value("vaultrun_last_run_tables"));
  EXPECT_EQ(3, value("vaultrun_last_run_rows"));
  EXPECT_EQ(std::stoll(complete), value("vaultrun_last_complete_archive_timestamp_seconds"));
  EXPECT_NE(samples.end(),
            std::find(samples.begin(), samples.end(), "vaultrun_last_run_success other 1"));
  // Readable by the collector, which runs as another user (within the umask).
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(static_cast<fs::perms>(0644 & ~mask), fs::status(file).permissions() & fs::perms::all);

  folder.WriteConfFor(database_, TestServer::kBackupUser, "wrong");
  ASSERT_EQ(1, folder.Run());
  samples = MetricSamples(file);
  ASSERT_EQ(9u, samples.size()) << ::testing::PrintToString(samples);
  EXPECT_EQ(0, value("vaultrun_last_run_success"));
  EXPECT_EQ(success, value("vaultrun_last_success_timestamp_seconds"));
  EXPECT_GE(value("vaultrun_last_run_timestamp_seconds"), success);
  EXPECT_EQ(0, value("vaultrun_last_archive_bytes"));
  EXPECT_EQ(0, value("vaultrun_last_run_tables"));
  EXPECT_EQ(0, value("vaultrun_last_run_rows"));
  EXPECT_EQ(std::stoll(complete), value("vaultrun_last_complete_archive_timestamp_seconds"));
  EXPECT_FALSE(fs::exists(file + ".tmp"));

  // A run that another run's lock keeps out is a failed run too.
  folder.WriteConfFor(database_, TestServer::kBackupUser, TestServer::kBackupPassword);
  folder.WriteSettings(
      "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n"
      "\"metrics_file\"=\"metrics/vaultrun.prom\"\r\n\"run_lock_wait\"=\"0\"\r\n");
  std::unique_ptr<Env> env = NewDefaultEnv();
  std::unique_ptr<FileLock> held;
  ASSERT_TRUE(env->LockFile(folder.Sub("backup/" + database_ + "/.vaultrun.run.lock"), &held).ok());
  ASSERT_EQ(1, folder.Run());
  samples = MetricSamples(file);
  EXPECT_EQ(0, value("vaultrun_last_run_success"));
  EXPECT_EQ(success, value("vaultrun_last_success_timestamp_seconds"));
  EXPECT_EQ(std::stoll(complete), value("vaultrun_last_complete_archive_timestamp_seconds"));
}

}  // namespace
}  // namespace vaultrun
