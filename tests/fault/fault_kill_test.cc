// The process is killed (SIGKILL) at random instants of a run. After each
// kill: every archive that was in the folder before is byte for byte the
// same, the settings file parses and holds every value it held, and the
// next run succeeds and leaves every archive valid (it first puts back the
// archive that the killed run left mid-pack).
//
// The normal suite runs a few trials; scripts/fault-trials runs the
// disabled test with VAULTRUN_KILL_TRIALS trials (50 by default).
// VAULTRUN_FAULT_SEED repeats a printed seed.
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "archive/manifest.h"
#include "fault_util.h"
#include "program_folder.h"
#include "run/definitions.h"
#include "test_db.h"

namespace vaultrun {
namespace {

namespace fs = std::filesystem;
using test::FaultFigures;
using test::ProgramChild;
using test::ProgramFolder;
using test::TestServer;

using Clock = std::chrono::steady_clock;

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

// Sleeps until the wall clock shows a later second than `after`, so that
// the next run's archive gets a name of its own.
void WaitForNextSecond(time_t after) {
  while (time(nullptr) <= after) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

void KillTrials(int trials, FaultFigures* figures) {
  TestServer& server = TestServer::Get();
  const std::string database = server.CreateDatabase("killed");
  server.Admin("USE `" + database + "`");
  std::vector<std::string> tables = {"accounts", "big", "guilds", "items", "quests"};
  server.Admin("CREATE TABLE accounts (id INT PRIMARY KEY, name VARCHAR(30))");
  server.Admin("INSERT INTO accounts SELECT seq, CONCAT('player ''', seq) FROM seq_1_to_500");
  server.Admin("CREATE TABLE big (id INT PRIMARY KEY, v VARBINARY(255), note TEXT)");
  server.Admin(
      "INSERT INTO big SELECT seq, UNHEX(SHA2(seq, 512)), REPEAT('note ', seq % 40)"
      " FROM seq_1_to_12000");
  server.Admin("CREATE TABLE guilds (id INT PRIMARY KEY, crest BLOB)");
  server.Admin("INSERT INTO guilds SELECT seq, RANDOM_BYTES(200) FROM seq_1_to_300");
  server.Admin("CREATE TABLE items (id INT, owner INT, kind SMALLINT)");
  server.Admin("INSERT INTO items SELECT seq, seq % 500, seq % 17 FROM seq_1_to_6000");
  server.Admin("CREATE TABLE quests (id INT, done DATETIME)");
  server.Admin("INSERT INTO quests VALUES (1, '2026-12-07 04:30:00'), (2, NULL)");
  server.Admin("USE mysql");

  ProgramFolder folder;
  folder.WriteConfFor(database, TestServer::kBackupUser, TestServer::kBackupPassword);
  folder.WriteSettings(
      "; the settings of a game server\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n\"format_sql\"=\"1\"\r\n"
      "\"note\"=\"kept \\\"as\\\" it is\"\r\n\"level\"=dword:00000003\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Other]\r\n\"x\"=\"y\"\r\n");
  const std::string db_folder = folder.Sub("backup/" + database);

  // One whole run measures the span over which the kills are spread.
  auto start = Clock::now();
  ASSERT_EQ(0, folder.Run()) << ::testing::PrintToString(folder.Entries());
  const double run_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  time_t last_end = time(nullptr);

  const uint64_t seed = EnvNumber("VAULTRUN_FAULT_SEED", std::random_device{}());
  std::printf("kill trials: %d, seed %llu, one run takes %.3f s\n", trials,
              static_cast<unsigned long long>(seed), run_seconds);
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> delay_of(0.0, run_seconds);
  int mid_pack = 0, before_archive = 0, between_packs = 0, ended_first = 0;

  for (int trial = 0; trial < trials && !::testing::Test::HasFatalFailure(); ++trial) {
    const double delay = delay_of(random);
    SCOPED_TRACE("trial " + std::to_string(trial) + " of seed " + std::to_string(seed) +
                 ", kill after " + std::to_string(delay) + " s");
    WaitForNextSecond(last_end);
    const auto archives_before = test::SnapshotFiles(db_folder, ".zip");
    const auto settings_before = test::SettingsValues(folder.Settings());

    {
      ProgramChild child(folder);
      std::this_thread::sleep_for(std::chrono::duration<double>(delay));
      if (child.Ended()) {
        ++ended_first;
      } else {
        child.Kill();
        if (!test::SnapshotFiles(db_folder, ".tail").empty()) {
          ++mid_pack;
        } else if (test::SnapshotFiles(db_folder, ".zip").size() == archives_before.size()) {
          ++before_archive;
        } else {
          ++between_packs;
        }
      }
    }
    ++figures->trials;
    test::ExpectArchivesUnchanged(db_folder, archives_before, figures);
    test::ExpectSettingsKept(settings_before, folder.Settings(), figures);

    // The next run puts things right and succeeds.
    ProgramChild next(folder);
    int status = next.Wait();
    last_end = time(nullptr);
    EXPECT_EQ(0, status);
    if (status != 0) ++figures->losses;
    test::ExpectArchivesUnchanged(db_folder, archives_before, figures);
    EXPECT_TRUE(test::SnapshotFiles(db_folder, ".tail").empty());
    EXPECT_TRUE(test::SnapshotFiles(db_folder, ".sql").empty());
    // Archives new since the kill are read back; the others were compared.
    std::string newest;
    for (const auto& [name, bytes] : test::SnapshotFiles(db_folder, ".zip")) {
      auto it = archives_before.find(name);
      if (it != archives_before.end() && it->second == bytes) continue;
      ++figures->archives;
      std::string path = db_folder + "/" + name;
      if (!ProgramFolder::ArchiveTestsClean(path)) {
        ++figures->losses;
        ADD_FAILURE() << "archive not valid after the next run: " << path;
      }
      newest = path;
    }
    // The next run's archive holds every table.
    ASSERT_FALSE(newest.empty());
    std::vector<std::string> expected;
    for (const std::string& table : tables) expected.push_back(database + "/" + table + ".sql");
    expected.push_back(kDefinitionsEntry);
    expected.push_back(kManifestEntry);
    EXPECT_EQ(expected, ProgramFolder::EntryNames(newest));
    std::string settings = folder.Settings();
    for (const std::string& table : tables) {
      EXPECT_NE(std::string::npos, settings.find("\"" + table + "\"=\"0\"")) << table;
    }
  }
  std::vector<std::string> entries = folder.Entries();
  figures->entries += entries.size();
  EXPECT_TRUE(entries.empty()) << ::testing::PrintToString(entries);
  std::printf(
      "kill trials: %d killed mid-pack, %d before the archive existed, %d between packs, %d "
      "ended before the kill; %zu archives in the folder\n",
      mid_pack, before_archive, between_packs, ended_first,
      test::SnapshotFiles(db_folder, ".zip").size());
}

TEST(KillTrials, FewRandomInstants) {
  FaultFigures figures{"sigkill"};
  KillTrials(static_cast<int>(EnvNumber("VAULTRUN_KILL_TRIALS_SHORT", 5)), &figures);
  figures.Print();
  EXPECT_EQ(0u, figures.losses);
}

// The long loop, run by scripts/fault-trials.
TEST(KillTrials, DISABLED_ManyRandomInstants) {
  FaultFigures figures{"sigkill"};
  KillTrials(static_cast<int>(EnvNumber("VAULTRUN_KILL_TRIALS", 50)), &figures);
  figures.Print();
  EXPECT_EQ(0u, figures.losses);
}

}  // namespace
}  // namespace vaultrun
