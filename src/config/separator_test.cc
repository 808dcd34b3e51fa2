// The texts that a Windows run gets: paths built with the platform's
// separator. Runs on every platform through an Env that answers as Windows
// does for the separator and the program folder.
#include <gtest/gtest.h>

#include "config/backup_folder.h"
#include "config/registry.h"
#include "config/server_config.h"
#include "config/settings.h"
#include "core/failure.h"
#include "core/report.h"
#include "fakes.h"
#include "test_util.h"

namespace vaultrun {
namespace {

class WindowsLikeEnv : public EnvWrapper {
 public:
  explicit WindowsLikeEnv(Env* target) : EnvWrapper(target) {}
  std::string ProgramFolder() override { return "C:\\Games\\Kelvane"; }
  char Separator() const override { return '\\'; }
};

class SeparatorTest : public ::testing::Test {
 protected:
  SeparatorTest() {
    process_.env = &env_;
    process_.event_log = &log_;
    process_.settings = settings_.get();
  }
  std::string Setting(const std::string& name) {
    return settings_->ReadRegString(kHkeyLocalMachine, kSettingsKey, name, "<none>");
  }
  // Runs step under the one failure path; true when it failed.
  bool Ends(const std::function<void()>& step) { return RunReported(process_, step) != 0; }

  test::TempDir dir_;
  std::unique_ptr<Env> real_ = NewDefaultEnv();
  WindowsLikeEnv env_{real_.get()};
  test::RecordingEventLog log_;
  std::unique_ptr<SettingsStore> settings_ =
      NewRegFileSettingsStore(real_.get(), dir_.Sub("vaultrun.reg"));
  Process process_;
};

TEST_F(SeparatorTest, ConfigurationFileDefaultAndItsReport) {
  EXPECT_TRUE(Ends([&] { LoadServerConfig(process_, ReadRunSettings(process_)); }));
  EXPECT_EQ("conf\\inter_kelvane.conf", Setting("config_filename"));
  ASSERT_EQ(1u, log_.entries.size());
  EXPECT_EQ("Error: Can't open C:\\Games\\Kelvane\\conf\\inter_kelvane.conf", log_.entries[0].text);
  EXPECT_EQ(kEventError, log_.entries[0].type);

  // A leading separator still names a file below the program folder.
  log_.entries.clear();
  ASSERT_TRUE(WriteRegString(process_, kSettingsKey, "config_filename", "\\conf\\other.conf"));
  EXPECT_TRUE(Ends([&] { LoadServerConfig(process_, ReadRunSettings(process_)); }));
  EXPECT_EQ("conf\\other.conf", process_.ConfigFileName);
  ASSERT_EQ(1u, log_.entries.size());
  EXPECT_EQ("Error: Can't open C:\\Games\\Kelvane\\conf\\other.conf", log_.entries[0].text);
}

TEST_F(SeparatorTest, BackupFolderDefaultStoredFolderAndDriveCheck) {
  EXPECT_EQ("C:\\Games\\Kelvane\\backup\\", GetBackupFolder(process_, "Kelvane_Game"));
  EXPECT_EQ("C:\\Games\\Kelvane\\backup\\", Setting("kelvane_game_path"));

  ASSERT_TRUE(WriteRegString(process_, kSettingsKey, "rag_path", "Q:\\data"));
  std::string folder = GetBackupFolder(process_, "rag");
  EXPECT_EQ("Q:\\data\\", folder);
  EXPECT_EQ("Q:\\data", Setting("rag_path"));
  EXPECT_TRUE(Ends([&] { EnsureFolder(process_, folder); }));
  ASSERT_EQ(1u, log_.entries.size());
  EXPECT_EQ("Vaultrun: Invalid drive -> Q:\\", log_.entries[0].text);
  EXPECT_EQ(kEventError, log_.entries[0].type);
  EXPECT_TRUE(process_.Failed);

  // A slash is no separator here: the caller's text gets a backslash.
  std::string mixed = "Q:/data";
  EXPECT_TRUE(Ends([&] { EnsureFolder(process_, mixed); }));
  EXPECT_EQ("Q:/data\\", mixed);
}

}  // namespace
}  // namespace vaultrun
