// Runs at the same time: ten against different databases and two against
// one database share one settings file; and two runs of one database in
// the same second share one archive name. Nothing may be lost or mixed up:
// the settings keep every value and gain every flag, each archive holds its
// own run's tables only, and a shared archive is valid and holds every
// table once.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>

#include "archive/completeness_mark.h"
#include "archive/manifest.h"
#include "archive/writer.h"
#include "fakes.h"
#include "fault_util.h"
#include "program_folder.h"
#include "run/definitions.h"
#include "test_db.h"

namespace vaultrun {
namespace {

using test::AdminConnection;
using test::FaultFigures;
using test::ProgramChild;
using test::ProgramFolder;
using test::TestServer;

const char kFlagKey[] = "hkey_local_machine\\software\\cobaltine\\vaultrun|";

// A database of `tables` tables named <prefix>_t<i>, the first one of
// big_rows rows (about 200 bytes each), the others of 50.
std::string MakeDatabase(const std::string& prefix, int tables, int big_rows) {
  TestServer& server = TestServer::Get();
  std::string database = server.CreateDatabase(prefix);
  server.Admin("USE `" + database + "`");
  for (int i = 0; i < tables; ++i) {
    std::string table = prefix + "_t" + std::to_string(i);
    server.Admin("CREATE TABLE " + table + " (id INT, v VARCHAR(200))");
    server.Admin("INSERT INTO " + table + " SELECT seq, REPEAT(SHA2(seq + " + std::to_string(i) +
                 ", 256), 3) FROM seq_1_to_" + std::to_string(i == 0 ? big_rows : 50));
  }
  server.Admin("USE mysql");
  return database;
}

void UseDatabase(ProgramFolder& folder, const std::string& database) {
  folder.WriteConfFor(database, TestServer::kBackupUser, TestServer::kBackupPassword);
}

std::vector<std::string> EntriesOf(const std::string& database, const std::string& prefix,
                                   int tables) {
  std::vector<std::string> names;
  for (int i = 0; i < tables; ++i) {
    names.push_back(database + "/" + prefix + "_t" + std::to_string(i) + ".csv");
  }
  names.push_back(kDefinitionsEntry);
  names.push_back(kManifestEntry);
  return names;
}

TEST(ConcurrentRuns, TwelveRunsShareOneSettingsFile) {
  constexpr int kTables = 3;
  FaultFigures figures{"concurrent"};

  ProgramFolder shared_settings;
  shared_settings.WriteSettings(
      "; shared by every run\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun]\r\n"
      "\"excluded_elsewhere\"=\"1\"\r\n\"hex\"=hex:01,02\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n\"format_sql\"=\"0\"\r\n");
  const std::string settings_path = shared_settings.settings_path();
  const auto before = test::SettingsValues(shared_settings.Settings());

  std::vector<std::string> prefixes, databases;
  std::vector<std::unique_ptr<ProgramFolder>> folders;
  for (int i = 0; i < 11; ++i) {
    prefixes.push_back("c" + std::to_string(i));
    databases.push_back(MakeDatabase(prefixes.back(), kTables, 3000));
    folders.push_back(std::make_unique<ProgramFolder>());
    UseDatabase(*folders.back(), databases.back());
  }

  // Ten runs of ten databases and two of the eleventh, from one folder.
  std::vector<std::unique_ptr<ProgramChild>> runs;
  for (int i = 0; i < 12; ++i) {
    runs.push_back(std::make_unique<ProgramChild>(*folders[i < 11 ? i : 10], settings_path));
  }
  for (auto& run : runs) EXPECT_EQ(0, run->Wait());
  figures.trials += runs.size();
  std::string settings = shared_settings.Settings();
  test::ExpectSettingsKept(before, settings, &figures);
  auto after = test::SettingsValues(settings);
  for (int i = 0; i < 11; ++i) {
    for (int t = 0; t < kTables; ++t) {
      std::string flag = std::string(kFlagKey) + prefixes[i] + "_t" + std::to_string(t);
      EXPECT_EQ("s:0", after[flag]) << flag;
      if (after[flag] != "s:0") ++figures.losses;
    }
    std::string path =
        "hkey_local_machine\\software\\cobaltine\\vaultrun\\cfg|" + databases[i] + "_path";
    EXPECT_EQ("s:" + folders[i]->path() + "/backup/", after[path]);
  }
  for (int i = 0; i < 11; ++i) {
    figures.entries += folders[i]->Entries().size();
    EXPECT_TRUE(folders[i]->Entries().empty());
    auto archives = folders[i]->Archives(databases[i]);
    EXPECT_EQ(i < 10 ? 1u : archives.size(), archives.size());
    EXPECT_FALSE(archives.empty());
    for (const std::string& archive : archives) {
      ++figures.archives;
      bool clean = ProgramFolder::ArchiveTestsClean(archive);
      EXPECT_TRUE(clean) << archive;
      // Its own tables, all of them, and no other run's.
      auto names = ProgramFolder::EntryNames(archive);
      EXPECT_EQ(EntriesOf(databases[i], prefixes[i], kTables), names);
      if (!clean || names != EntriesOf(databases[i], prefixes[i], kTables)) ++figures.losses;
    }
  }
  figures.Print();
  EXPECT_EQ(0u, figures.losses);
}

// True when the archive carries a completeness mark and holds exactly one
// entry for every table the mark lists, and the definitions entry.
bool MarkTellsTheTruth(const std::string& archive, const std::string& database,
                       size_t* tables = nullptr) {
  auto env = NewDefaultEnv();
  std::string comment;
  if (!ReadArchiveComment(env.get(), archive, &comment).ok()) return false;
  std::optional<CompletenessMark> mark = ParseCompletenessMark(comment);
  if (!mark) return false;
  std::vector<std::string> expected;
  for (const auto& [table, rows] : mark->tables)
    expected.push_back(database + "/" + table + ".csv");
  expected.push_back(kDefinitionsEntry);
  expected.push_back(kManifestEntry);
  std::vector<std::string> names = ProgramFolder::EntryNames(archive);
  std::sort(expected.begin(), expected.end());
  std::sort(names.begin(), names.end());
  if (tables) *tables = mark->tables.size();
  return names == expected;
}

// Two runs of one database started in the same second: the second waits
// for the first and takes the next free stamp, so each writes its own
// whole archive and neither packs into the other's.
TEST(ConcurrentRuns, TwoRunsStartedTogetherEachWriteAWholeArchive) {
  constexpr int kTables = 6;
  FaultFigures figures{"same-second"};
  std::string database = MakeDatabase("pair", kTables, 10000);
  ProgramFolder reference;
  UseDatabase(reference, database);
  ASSERT_EQ(0, reference.Run());
  ASSERT_EQ(1u, reference.Archives(database).size());
  const std::string reference_archive = reference.Archives(database)[0];

  for (int round = 0; round < 3; ++round) {
    ProgramFolder folder;
    UseDatabase(folder, database);
    folder.WriteSettings("");
    time_t now = time(nullptr);
    while (time(nullptr) == now) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ProgramChild first(folder), second(folder);
    EXPECT_EQ(0, first.Wait());
    EXPECT_EQ(0, second.Wait());
    figures.trials += 2;
    figures.entries += folder.Entries().size();
    EXPECT_TRUE(folder.Entries().empty()) << ::testing::PrintToString(folder.Entries());
    auto archives = folder.Archives(database);
    EXPECT_EQ(2u, archives.size());
    if (archives.size() != 2) ++figures.losses;
    for (const std::string& archive : archives) {
      ++figures.archives;
      bool whole =
          ProgramFolder::ArchiveTestsClean(archive) && MarkTellsTheTruth(archive, database);
      EXPECT_TRUE(whole) << archive;
      EXPECT_EQ(EntriesOf(database, "pair", kTables), ProgramFolder::EntryNames(archive));
      for (const std::string& name : ProgramFolder::EntryNames(archive)) {
        std::string content = ProgramFolder::EntryContent(archive, name);
        figures.bytes += content.size();
        whole &= ProgramFolder::EntryContent(reference_archive, name) == content;
      }
      if (!whole) ++figures.losses;
    }
  }
  figures.Print();
  EXPECT_EQ(0u, figures.losses);
}

// A run held up at its fourth table by a write lock on it: what the test
// does meanwhile meets a run that is mid-way.
class HeldRun {
 public:
  HeldRun(const std::string& database, const std::string& table)
      : blocker_(TestServer::Get().socket(), "root", "") {
    blocker_.Exec("LOCK TABLES `" + database + "`.`" + table + "` WRITE");
    table_ = table;
  }
  // Waits until the run's query of the held table waits for the lock.
  bool WaitUntilHeld() {
    return test::WaitFor(
        [&] {
          return !TestServer::Get()
                      .admin()
                      .Column(
                          "SELECT id FROM information_schema.processlist WHERE info LIKE "
                          "'%" +
                          table_ + "%' AND state LIKE 'Waiting for table metadata lock'")
                      .empty();
        },
        std::chrono::seconds(60));
  }
  void Release() { blocker_.Exec("UNLOCK TABLES"); }

 private:
  AdminConnection blocker_;
  std::string table_;
};

// A second run of one database while the first is mid-way (an account that
// sees one table, keep_runs 1, as a second game server's task might be):
// with a short wait it gives up with an entry saying a run is in progress;
// with the default wait it runs after the first. Every archive left is
// whole and its mark tells the truth.
TEST(ConcurrentRuns, ASecondRunWaitsForTheFirstAndNeitherLosesAnArchive) {
  constexpr int kTables = 6;
  const std::string database = MakeDatabase("meet", kTables, 20000);
  TestServer& server = TestServer::Get();
  server.Admin("CREATE USER IF NOT EXISTS narrow@'127.0.0.1' IDENTIFIED BY 'narrow-pw'");
  server.Admin("GRANT SELECT ON `" + database + "`.`meet_t1` TO narrow@'127.0.0.1'");

  ProgramFolder first_folder;
  UseDatabase(first_folder, database);
  first_folder.WriteSettings(
      "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n\"keep_runs\"=\"1\"\r\n");
  auto narrow_folder = [&](const std::string& extra) {
    auto folder = std::make_unique<ProgramFolder>();
    folder->WriteConfFor(database, "narrow", "narrow-pw");
    folder->WriteSettings("[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n\"" +
                          database + "_path\"=\"" + first_folder.path() +
                          "/backup/\"\r\n\"keep_runs\"=\"1\"\r\n" + extra);
    return folder;
  };

  HeldRun held(database, "meet_t3");
  ProgramChild first(first_folder);
  ASSERT_TRUE(held.WaitUntilHeld());
  ASSERT_EQ(1u, first_folder.Archives(database).size());  // three tables packed

  auto impatient = narrow_folder("\"run_lock_wait\"=\"1\"\r\n");
  EXPECT_EQ(1, ProgramChild(*impatient).Wait());
  auto entries = impatient->Entries();
  ASSERT_EQ(1u, entries.size()) << ::testing::PrintToString(entries);
  EXPECT_NE(std::string::npos, entries[0].find("in progress")) << entries[0];

  auto patient = narrow_folder("");
  ProgramChild second(*patient);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_FALSE(second.Ended());
  held.Release();
  EXPECT_EQ(0, first.Wait());
  EXPECT_EQ(0, second.Wait());
  EXPECT_TRUE(first_folder.Entries().empty()) << ::testing::PrintToString(first_folder.Entries());
  // The narrow account may be warned that it cannot read every definition.
  for (const std::string& entry : patient->Entries()) EXPECT_EQ(0u, entry.rfind("2\t", 0)) << entry;
  // keep_runs 1: the second run's archive is the newest whole one; the
  // first's went by design, and nothing else is left.
  auto archives = first_folder.Archives(database);
  ASSERT_EQ(1u, archives.size());
  size_t tables = 0;
  EXPECT_TRUE(MarkTellsTheTruth(archives[0], database, &tables));
  EXPECT_EQ(1u, tables);
}

// An archive deleted, cut short or replaced under a run between two tables
// fails that run with an entry; no archive is left with a mark.
TEST(ConcurrentRuns, AnArchiveBrokenUnderItsRunFailsTheRun) {
  const std::string database = MakeDatabase("gone", 6, 2000);
  for (const std::string how : {"delete", "truncate", "replace"}) {
    ProgramFolder folder;
    UseDatabase(folder, database);
    HeldRun held(database, "gone_t3");
    ProgramChild run(folder);
    ASSERT_TRUE(held.WaitUntilHeld());
    auto archives = folder.Archives(database);
    ASSERT_EQ(1u, archives.size());
    const std::string archive = archives[0];
    if (how == "delete") {
      std::filesystem::remove(archive);
    } else if (how == "truncate") {
      std::filesystem::resize_file(archive, std::filesystem::file_size(archive) / 2);
    } else {
      // A valid archive of the same names and other rows, as a copy tool or
      // another program might put in its place.
      std::string script =
          "import sys, zipfile\n"
          "z = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED)\n"
          "for i in range(3): z.writestr(sys.argv[2] + '/gone_t%d.csv' % i, 'x')\n"
          "z.close()\n";
      test::WriteFileOrDie(folder.Sub("replace.py"), script);
      ASSERT_EQ(0, test::RunCommand("python3 " + test::ShellQuote(folder.Sub("replace.py")) + " " +
                                    test::ShellQuote(archive) + " " + database));
    }
    held.Release();
    EXPECT_EQ(1, run.Wait()) << how;
    auto entries = folder.Entries();
    EXPECT_EQ(1u, entries.size()) << how << ::testing::PrintToString(entries);
    for (const std::string& left : folder.Archives(database)) {
      EXPECT_FALSE(MarkTellsTheTruth(left, database)) << how << ": " << left;
    }
  }
}

TEST(ConcurrentRuns, FolderMadeByAnotherRunAtTheSameMomentIsNoFailure) {
  std::unique_ptr<Env> real = NewDefaultEnv();
  test::FaultEnv env(real.get());
  test::TempDir dir;
  // The other run creates the folder between this run's check and its own
  // attempt.
  env.hook = [&](const std::string& op, const std::string& path) {
    if (op == "CreateFolder") (void)real->CreateFolder(path, 0700);
    return Status::OK();
  };
  EXPECT_TRUE(CreateFolderLevel(&env, dir.Sub("db"), 0700).ok());
  EXPECT_TRUE(real->FolderExists(dir.Sub("db")));
  // A file in the way is still a failure.
  test::WriteFileOrDie(dir.Sub("file"), "x");
  EXPECT_FALSE(CreateFolderLevel(&env, dir.Sub("file"), 0700).ok());
}

}  // namespace
}  // namespace vaultrun
