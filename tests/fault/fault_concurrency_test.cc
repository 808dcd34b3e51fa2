// Runs at the same time: ten against different databases and two against
// one database share one settings file; and two runs of one database in
// the same second share one archive name. Nothing may be lost or mixed up:
// the settings keep every value and gain every flag, each archive holds its
// own run's tables only, and a shared archive is valid and holds every
// table once.
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <memory>
#include <thread>

#include "fakes.h"
#include "fault_util.h"
#include "program_folder.h"
#include "run/definitions.h"
#include "test_db.h"

namespace vaultrun {
namespace {

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

TEST(ConcurrentRuns, TwoRunsInOneSecondShareOneArchive) {
  constexpr int kTables = 6;
  FaultFigures figures{"same-second"};
  std::string database = MakeDatabase("pair", kTables, 10000);
  // What each entry holds, from a run on its own.
  ProgramFolder reference;
  UseDatabase(reference, database);
  ASSERT_EQ(0, reference.Run());
  ASSERT_EQ(1u, reference.Archives(database).size());
  const std::string reference_archive = reference.Archives(database)[0];

  int shared = 0;
  for (int round = 0; round < 12 && shared < 4; ++round) {
    ProgramFolder folder;
    UseDatabase(folder, database);
    folder.WriteSettings("");
    // Start both just after a second begins, so both name the same archive.
    time_t now = time(nullptr);
    while (time(nullptr) == now) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ProgramChild first(folder), second(folder);
    EXPECT_EQ(0, first.Wait());
    EXPECT_EQ(0, second.Wait());
    figures.trials += 2;
    figures.entries += folder.Entries().size();
    EXPECT_TRUE(folder.Entries().empty()) << ::testing::PrintToString(folder.Entries());
    auto archives = folder.Archives(database);
    if (archives.size() != 1) continue;  // the runs fell into two seconds
    ++shared;
    ++figures.archives;
    const std::string& archive = archives[0];
    bool clean = ProgramFolder::ArchiveTestsClean(archive);
    EXPECT_TRUE(clean);
    auto names = ProgramFolder::EntryNames(archive);
    // Every table once: a second pack of a name replaced the first.
    EXPECT_EQ(EntriesOf(database, "pair", kTables), names);
    if (!clean || names != EntriesOf(database, "pair", kTables)) ++figures.losses;
    for (const std::string& name : names) {
      std::string content = ProgramFolder::EntryContent(archive, name);
      figures.bytes += content.size();
      EXPECT_EQ(ProgramFolder::EntryContent(reference_archive, name), content) << name;
      if (ProgramFolder::EntryContent(reference_archive, name) != content) ++figures.losses;
    }
  }
  std::printf("two runs in one second: %d rounds shared one archive\n", shared);
  EXPECT_GE(shared, 1);
  figures.Print();
  EXPECT_EQ(0u, figures.losses);
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
