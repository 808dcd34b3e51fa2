// The database server goes away in the middle of a big table: the run's
// connection is killed from another session, or the server is stopped.
// The run must write one entry with the server's message, exit 1, keep the
// tables it packed before in a sound archive, flag no failed table and
// leave no cut-off data file.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "fault_util.h"
#include "program_folder.h"
#include "second_server.h"
#include "test_db.h"

namespace vaultrun {
namespace {

namespace fs = std::filesystem;
using test::AdminConnection;
using test::FaultFigures;
using test::ProgramChild;
using test::ProgramFolder;
using test::TestServer;
using test::WaitFor;

// Two small tables, then "big": a million rows (about 95 MB of INSERT
// text), so the run is surely in the middle of it when the server goes. A
// real table: runs export base tables only, never the rows of a view.
void FillDatabase(AdminConnection& admin, const std::string& database) {
  admin.Exec("USE `" + database + "`");
  admin.Exec("CREATE TABLE a1 (id INT PRIMARY KEY, name VARCHAR(20))");
  admin.Exec("INSERT INTO a1 VALUES (1,'first'),(2,'o''brien')");
  admin.Exec("CREATE TABLE a2 (id INT PRIMARY KEY, data BLOB)");
  admin.Exec("INSERT INTO a2 VALUES (7, X'00FF')");
  admin.Exec("CREATE TABLE big (id INT PRIMARY KEY, name VARCHAR(100)) ENGINE=MyISAM");
  admin.Exec(
      "INSERT INTO big SELECT seq, CONCAT('row ', seq, REPEAT('x', 80)) FROM seq_1_to_1000000");
}

const char kA1[] = "insert into `a1` (`id`,`name`) values (1,'first'),(2,'o\\'brien');\r\n";
const char kA2[] = "insert into `a2` (`id`,`data`) values (7,'\\0\xff');\r\n";

// Starts a run of database, waits until it has written a megabyte of the
// big table's data file, calls breaker with the run's connection id, and
// checks what the run left. Returns the run's one entry.
std::string RunAndBreak(AdminConnection& admin, const std::string& database,
                        const std::vector<std::pair<std::string, std::string>>& env,
                        const std::function<void(const std::string& connection)>& breaker,
                        FaultFigures* figures) {
  ProgramFolder folder;
  folder.WriteConfFor(database, TestServer::kBackupUser, TestServer::kBackupPassword);
  folder.WriteSettings(
      "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n\"format_sql\"=\"1\"\r\n");
  const std::string db_folder = folder.Sub("backup/" + database);
  const std::string data_file = db_folder + "/big.sql";

  ProgramChild child(folder, "", env);
  std::string connection;
  bool streaming = WaitFor(
      [&] {
        if (child.Ended()) return true;
        if (connection.empty()) {
          auto ids = admin.Column(
              "SELECT id FROM information_schema.processlist WHERE user='backup' AND db='" +
              database + "' AND info LIKE 'select %big%' AND info NOT LIKE '%limit 1'");
          if (!ids.empty()) connection = ids[0];
        }
        std::error_code ec;
        return !connection.empty() && fs::file_size(data_file, ec) > (1u << 20) && !ec;
      },
      std::chrono::seconds(60));
  EXPECT_TRUE(streaming && !child.Ended()) << "the run never streamed the big table";
  if (!streaming || child.Ended()) return "";
  breaker(connection);
  bool ended = WaitFor([&] { return child.Ended(); }, std::chrono::seconds(60));
  EXPECT_TRUE(ended) << "the run did not end after its server went away";
  if (!ended) child.Kill();
  ++figures->trials;

  EXPECT_EQ(1, child.Wait());
  std::vector<std::string> entries = folder.Entries();
  figures->entries += entries.size();
  EXPECT_EQ(1u, entries.size()) << ::testing::PrintToString(entries);
  if (entries.size() != 1) ++figures->losses;

  auto archives = folder.Archives(database);
  EXPECT_EQ(1u, archives.size());
  if (archives.size() == 1) {
    ++figures->archives;
    const std::string& archive = archives[0];
    bool clean = ProgramFolder::ArchiveTestsClean(archive);
    std::string a1 = ProgramFolder::EntryContent(archive, database + "/a1.sql");
    std::string a2 = ProgramFolder::EntryContent(archive, database + "/a2.sql");
    figures->bytes += a1.size() + a2.size();
    EXPECT_TRUE(clean);
    EXPECT_EQ((std::vector<std::string>{database + "/a1.sql", database + "/a2.sql"}),
              ProgramFolder::EntryNames(archive));
    EXPECT_EQ(kA1, a1);
    EXPECT_EQ(kA2, a2);
    if (!clean || a1 != kA1 || a2 != kA2) ++figures->losses;
  } else {
    ++figures->losses;
  }
  std::string settings = folder.Settings();
  EXPECT_NE(std::string::npos, settings.find("\"a1\"=\"0\""));
  EXPECT_NE(std::string::npos, settings.find("\"a2\"=\"0\""));
  EXPECT_EQ(std::string::npos, settings.find("\"big\"")) << settings;
  // The cut-off data file is gone, and no pack was left half done.
  EXPECT_FALSE(fs::exists(data_file));
  EXPECT_TRUE(test::SnapshotFiles(db_folder, ".tail").empty());
  return entries.empty() ? "" : entries[0];
}

TEST(ServerGoesAway, ConnectionKilledMidTable) {
  TestServer& server = TestServer::Get();
  std::string database = server.CreateDatabase("killed");
  FillDatabase(server.admin(), database);
  FaultFigures figures{"server-lost"};
  std::string entry = RunAndBreak(
      server.admin(), database, {},
      [&](const std::string& connection) { server.Admin("KILL CONNECTION " + connection); },
      &figures);
  // The server's own message, as the client library gives it.
  EXPECT_EQ("1\tVaultrun: Lost connection to server during query", entry);
  server.Admin("USE mysql");
  figures.Print();
  EXPECT_EQ(0u, figures.losses);
}

TEST(ServerGoesAway, ServerStoppedMidTable) {
  // A private server: stopping the shared one would break every other test.
  test::SecondServer second;
  ASSERT_TRUE(second.ok());
  second.admin().Exec("CREATE DATABASE stopped CHARACTER SET utf8mb4");
  FillDatabase(second.admin(), "stopped");
  FaultFigures figures{"server-stopped"};
  std::string entry = RunAndBreak(
      second.admin(), "stopped",
      {{"MYSQL_TCP_PORT", std::to_string(second.port())}, {"MYSQL_UNIX_PORT", second.socket()}},
      [&](const std::string&) { second.Stop(); }, &figures);
  EXPECT_EQ(0u, entry.rfind("1\tVaultrun: ", 0)) << entry;
  std::printf("server stopped mid-table: %s\n", entry.c_str());
  figures.Print();
  EXPECT_EQ(0u, figures.losses);
}

}  // namespace
}  // namespace vaultrun
