#include "config/backup_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "config/registry.h"
#include "core/failure.h"
#include "core/report.h"
#include "fakes.h"
#include "test_util.h"

namespace vaultrun {
namespace {

class BackupFolderTest : public ::testing::Test {
 protected:
  BackupFolderTest() {
    EXPECT_EQ(0, ::mkdir(program_.c_str(), 0755));
    process_.env = &env_;
    process_.event_log = &log_;
    process_.settings = settings_.get();
    env_.hook = [this](const std::string& op, const std::string& path) {
      if (op == "CreateFolder") created_.push_back(path);
      return Status::OK();
    };
  }
  std::string Setting(const std::string& name) {
    return settings_->ReadRegString(kHkeyLocalMachine, kSettingsKey, name, "<none>");
  }
  // Runs EnsureFolder under the one failure path; true when it failed.
  bool Ensure(std::string& path) {
    return RunReported(process_, [&] { EnsureFolder(process_, path); }) != 0;
  }
  static int ModeOf(const std::string& path) {
    struct stat st;
    EXPECT_EQ(0, ::stat(path.c_str(), &st)) << path;
    return static_cast<int>(st.st_mode & 0777);
  }

  test::TempDir dir_;
  std::string program_ = dir_.Sub("prog");
  std::unique_ptr<Env> real_ = NewDefaultEnv();
  test::FaultEnv env_{real_.get(), program_};
  test::RecordingEventLog log_;
  std::unique_ptr<SettingsStore> settings_ =
      NewRegFileSettingsStore(real_.get(), dir_.Sub("vaultrun.reg"));
  Process process_;
  std::vector<std::string> created_;
};

TEST_F(BackupFolderTest, DefaultsToTheProgramFolderAndSeedsTheSetting) {
  std::string folder = GetBackupFolder(process_, "Char_DB");
  EXPECT_EQ(program_ + "/backup/", folder);
  EXPECT_EQ(program_ + "/backup/", Setting("char_db_path"));
  EXPECT_FALSE(Ensure(folder));
  EXPECT_EQ(std::vector<std::string>{program_ + "/backup"}, created_);
  EXPECT_EQ(0700, ModeOf(program_ + "/backup"));
  EXPECT_TRUE(log_.entries.empty());
  EXPECT_FALSE(process_.Failed);

  // Present now: nothing is created again.
  created_.clear();
  EXPECT_FALSE(Ensure(folder));
  EXPECT_TRUE(created_.empty());
}

TEST_F(BackupFolderTest, StoredFoldersGetASlashThatIsNotStoredBack) {
  ASSERT_TRUE(WriteRegString(process_, kSettingsKey, "RAG_path", dir_.Sub("a/b/c")));
  std::string folder = GetBackupFolder(process_, "rag");
  EXPECT_EQ(dir_.Sub("a/b/c/"), folder);
  EXPECT_EQ(dir_.Sub("a/b/c"), Setting("rag_path"));
  EXPECT_FALSE(Ensure(folder));
  EXPECT_EQ((std::vector<std::string>{dir_.Sub("a"), dir_.Sub("a/b"), dir_.Sub("a/b/c")}),
            created_);
  for (const std::string& level : created_) EXPECT_EQ(0700, ModeOf(level));

  // The caller's text gets its slash too.
  std::string bare = dir_.Sub("a/b");
  EXPECT_FALSE(Ensure(bare));
  EXPECT_EQ(dir_.Sub("a/b/"), bare);

  // Spaces are a folder name, not an empty setting.
  ASSERT_TRUE(WriteRegString(process_, kSettingsKey, "spaced_path", "  "));
  EXPECT_EQ("  /", GetBackupFolder(process_, "spaced"));
  EXPECT_EQ("  ", Setting("spaced_path"));
}

TEST_F(BackupFolderTest, AMissingDriveIsReportedAsAnError) {
  std::string folder = "Q:/data/";
  EXPECT_TRUE(Ensure(folder));
  ASSERT_EQ(1u, log_.entries.size());
  EXPECT_EQ("Vaultrun: Invalid drive -> Q:/", log_.entries[0].text);
  EXPECT_EQ(kEventError, log_.entries[0].type);
  EXPECT_TRUE(process_.Failed);
  EXPECT_TRUE(created_.empty());
}

TEST_F(BackupFolderTest, ALevelThatIsAFileIsReported) {
  test::WriteFileOrDie(dir_.Sub("file"), "x");
  std::string folder = dir_.Sub("file/sub/");
  EXPECT_TRUE(Ensure(folder));
  ASSERT_EQ(1u, log_.entries.size());
  EXPECT_EQ("Vaultrun: create folder " + dir_.Sub("file") + ": File exists", log_.entries[0].text);
  EXPECT_EQ(kEventError, log_.entries[0].type);
  EXPECT_TRUE(process_.Failed);
}

// A failure without a number is told like any other.
TEST_F(BackupFolderTest, AFailureWithoutANumberStillFailsTheRun) {
  env_.hook = [](const std::string& op, const std::string&) {
    return op == "CreateFolder" ? Status::Error(0, "unnumbered") : Status::OK();
  };
  std::string folder = dir_.Sub("new/");
  EXPECT_TRUE(Ensure(folder));
  ASSERT_EQ(1u, log_.entries.size());
  EXPECT_EQ("Vaultrun: unnumbered", log_.entries[0].text);
}

}  // namespace
}  // namespace vaultrun
