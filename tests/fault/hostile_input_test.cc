// Whole runs with links planted where the program writes: a run as root
// must never write through them (another user could otherwise have it
// overwrite any file), and the database password must not leak into what
// the program writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive/writer.h"
#include "program_folder.h"
#include "test_db.h"

namespace vaultrun {
namespace {

namespace fs = std::filesystem;
using test::ProgramFolder;
using test::TestServer;

constexpr char kPrecious[] = "precious: not the program's to write\n";

bool IsLink(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// The archive names a run that starts now can take: this second and the
// next ones (the run's clock is read after it connects).
std::vector<std::string> StampsFromNow(int seconds) {
  std::vector<std::string> stamps;
  time_t now = ::time(nullptr);
  for (int i = -1; i <= seconds; ++i) {
    time_t t = now + i;
    struct tm tm;
    ::localtime_r(&t, &tm);
    stamps.push_back(DateStamp(
        LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec}));
  }
  return stamps;
}

class HostileInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    database_ = TestServer::Get().CreateDatabase("hostile");
    TestServer::Get().CreateTable(database_, "accounts", "id INT, name VARCHAR(20)");
    TestServer::Get().Insert(database_, "accounts", "(1,'aria'),(2,'brien')");
    folder_.WriteConfFor(database_, TestServer::kBackupUser, TestServer::kBackupPassword);
    victim_ = folder_.Sub("victim.txt");
    test::WriteFileOrDie(victim_, kPrecious);
  }
  std::string DatabaseFolder() {
    std::string path = folder_.Sub("backup/" + database_);
    fs::create_directories(path);
    fs::permissions(path, fs::perms::owner_all);
    return path;
  }
  void Plant(const std::string& link, const std::string& target) {
    ASSERT_EQ(0, ::symlink(target.c_str(), link.c_str())) << link;
  }
  // One error entry that names the link, exit status 1, the target as it was.
  void ExpectRefused(int status, const std::string& what) {
    EXPECT_EQ(1, status);
    std::vector<std::string> entries = folder_.Entries();
    ASSERT_EQ(1u, entries.size()) << ::testing::PrintToString(entries);
    EXPECT_EQ(0u, entries[0].rfind("1\t", 0)) << entries[0];
    EXPECT_NE(std::string::npos, entries[0].find(what)) << entries[0];
    EXPECT_EQ(kPrecious, test::ReadFileOrDie(victim_));
  }

  ProgramFolder folder_;
  std::string database_;
  std::string victim_;
};

TEST_F(HostileInputTest, DataFileLinkIsAFailureAndItsTargetIsUntouched) {
  // Both formats' data files: tab-separated by default, then SQL.
  std::string folder = DatabaseFolder();
  Plant(folder + "/accounts.csv", victim_);
  Plant(folder + "/accounts.sql", victim_);
  ExpectRefused(folder_.Run(), "symbolic link");
  fs::remove(folder_.Sub("events.log"));
  folder_.WriteSettings(
      "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n\"format_sql\"=\"1\"\r\n");
  ExpectRefused(folder_.Run(), "symbolic link");
  // The archive went back to what it was: none.
  EXPECT_TRUE(folder_.Archives(database_).empty());
}

// Links planted at the names of the coming seconds' archives are passed
// over like any name already taken: the run writes its archive at the next
// free stamp and never through a link.
TEST_F(HostileInputTest, ArchiveLinksAreNeverWrittenThrough) {
  std::string folder = DatabaseFolder();
  // A link to a plain file, and one to a real archive (which the program
  // would otherwise append to).
  std::string other_zip = folder_.Sub("other.zip");
  ASSERT_EQ(0, test::RunCommand("cd '" + folder_.path() + "' && zip -q other.zip victim.txt"));
  std::string zip_bytes = test::ReadFileOrDie(other_zip);
  for (const std::string& target : {victim_, other_zip}) {
    std::vector<std::string> stamps = StampsFromNow(20);
    for (const std::string& stamp : stamps) Plant(folder + "/" + stamp + ".zip", target);
    EXPECT_EQ(0, folder_.Run());
    EXPECT_TRUE(folder_.Entries().empty()) << ::testing::PrintToString(folder_.Entries());
    EXPECT_EQ(kPrecious, test::ReadFileOrDie(victim_));
    EXPECT_EQ(zip_bytes, test::ReadFileOrDie(other_zip));
    for (const std::string& stamp : stamps) {
      EXPECT_TRUE(IsLink(folder + "/" + stamp + ".zip")) << stamp;
      EXPECT_FALSE(fs::exists(folder + "/" + stamp + ".zip.tail")) << stamp;
      fs::remove(folder + "/" + stamp + ".zip");
    }
    auto archives = folder_.Archives(database_);
    ASSERT_EQ(1u, archives.size());
    EXPECT_FALSE(IsLink(archives[0]));
    EXPECT_GT(fs::path(archives[0]).filename().string(), stamps.back() + ".zip");
    fs::remove(archives[0]);
  }
}

TEST_F(HostileInputTest, TailFileLinksAreNeverReadNorWrittenThrough) {
  std::string folder = DatabaseFolder();
  // A link at a tail file (which a run reads to put an archive back) is a
  // failure: its target could hold a forged tail or never end.
  std::string tail = folder + "/" + StampsFromNow(0)[0] + ".zip.tail";
  Plant(tail, victim_);
  ExpectRefused(folder_.Run(), "symbolic link");
  EXPECT_TRUE(folder_.Archives(database_).empty());
  ASSERT_TRUE(fs::remove(tail));
  fs::remove(folder_.Sub("events.log"));

  // A link at the tail's temp name is removed, never written through, and
  // the run goes on.
  std::vector<std::string> stamps = StampsFromNow(20);
  for (const std::string& stamp : stamps) Plant(folder + "/" + stamp + ".zip.tail.tmp", victim_);
  EXPECT_EQ(0, folder_.Run()) << ::testing::PrintToString(folder_.Entries());
  EXPECT_EQ(kPrecious, test::ReadFileOrDie(victim_));
  ASSERT_EQ(1u, folder_.Archives(database_).size());
  EXPECT_TRUE(ProgramFolder::ArchiveTestsClean(folder_.Archives(database_)[0]));
}

TEST_F(HostileInputTest, SettingsWritesNeverGoThroughALink) {
  // The settings file itself a link: it is read, but a write fails, and a
  // failed settings write is silent, so the run succeeds.
  std::string settings =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n"
      "\"format_sql\"=\"1\"\r\n";
  std::string elsewhere = folder_.Sub("elsewhere.reg");
  test::WriteFileOrDie(elsewhere, settings);
  Plant(folder_.settings_path(), elsewhere);
  EXPECT_EQ(0, folder_.Run()) << ::testing::PrintToString(folder_.Entries());
  EXPECT_TRUE(folder_.Entries().empty());
  EXPECT_EQ(settings, test::ReadFileOrDie(elsewhere));
  EXPECT_TRUE(IsLink(folder_.settings_path()));
  ASSERT_EQ(1u, folder_.Archives(database_).size());

  // Links at the temp file and at the lock file stop the write too.
  ASSERT_TRUE(fs::remove(folder_.settings_path()));
  folder_.WriteSettings("");
  std::string before = folder_.Settings();
  for (const char* suffix : {".tmp", ".lock"}) {
    std::string link = folder_.settings_path() + suffix;
    fs::remove(link);  // the lock file that earlier runs left
    Plant(link, victim_);
    EXPECT_EQ(0, folder_.Run()) << suffix;
    EXPECT_EQ(kPrecious, test::ReadFileOrDie(victim_)) << suffix;
    EXPECT_EQ(before, folder_.Settings()) << suffix;
    ASSERT_TRUE(fs::remove(link));
  }
  // Without them the run writes its settings again.
  EXPECT_EQ(0, folder_.Run());
  EXPECT_NE(before, folder_.Settings());
}

TEST_F(HostileInputTest, ThePasswordAppearsInNothingTheProgramWrites) {
  // A wrong password: the entry names the failure, not the password.
  const std::string wrong = "Wr0ng-pass;word}x";
  folder_.WriteConfFor(database_, TestServer::kBackupUser, wrong);
  EXPECT_EQ(1, folder_.Run());
  std::vector<std::string> entries = folder_.Entries();
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ(std::string::npos, entries[0].find(wrong)) << entries[0];
  EXPECT_EQ(std::string::npos, entries[0].find("Wr0ng")) << entries[0];

  // A successful run and then one that fails in the middle (a data file
  // link): nothing written holds the password, and every entry and file
  // the run wrote is checked, archive contents included.
  folder_.WriteConfFor(database_, TestServer::kBackupUser, TestServer::kBackupPassword);
  ASSERT_EQ(0, folder_.Run()) << ::testing::PrintToString(folder_.Entries());
  Plant(DatabaseFolder() + "/accounts.csv", victim_);
  EXPECT_EQ(1, folder_.Run());
  const std::string password = TestServer::kBackupPassword;
  size_t checked = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder_.path())) {
    if (!entry.is_regular_file() || fs::is_symlink(entry.symlink_status())) continue;
    std::string name = entry.path().filename().string();
    if (name == "inter_kelvane.conf" || name == "vaultrun") continue;  // its own source
    std::string bytes = test::ReadFileOrDie(entry.path().string());
    EXPECT_EQ(std::string::npos, bytes.find(password)) << entry.path();
    if (entry.path().extension() == ".zip") {
      for (const std::string& member : ProgramFolder::EntryNames(entry.path().string())) {
        EXPECT_EQ(std::string::npos,
                  ProgramFolder::EntryContent(entry.path().string(), member).find(password))
            << member;
      }
    }
    ++checked;
  }
  EXPECT_GE(checked, 3u);  // settings, event log, archive
  EXPECT_FALSE(folder_.Entries().empty());
}

}  // namespace
}  // namespace vaultrun
