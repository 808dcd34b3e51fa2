// The off-site step on Windows, through the stand-in rclone.exe that sits
// in the program folder (beside this test binary), with archive paths that
// hold blanks and letters beyond ASCII.
#include <gtest/gtest.h>
#include <windows.h>

#include "archive/completeness_mark.h"
#include "config/settings.h"
#include "core/failure.h"
#include "core/process.h"
#include "db/access.h"
#include "fakes.h"
#include "platform/settings_store.h"
#include "platform/text_windows.h"
#include "run/offsite.h"
#include "test_util.h"

namespace vaultrun {
namespace {

class OffsiteWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(env_->CreateFolder(remote_root_, 0755).ok());
    ASSERT_TRUE(env_->CreateFolder(dir_.path() + "\\Sauvegardes \xC3\xA9t\xC3\xA9", 0755).ok());
    ASSERT_TRUE(env_->CreateFolder(folder_, 0755).ok());
    ::SetEnvironmentVariableW(L"FAKE_RCLONE_ROOT", Wide(remote_root_).c_str());
    process_.env = env_.get();
    process_.event_log = &log_;
    process_.settings = settings_.get();
    process_.DbName = "kelvane";
  }
  void TearDown() override {
    ::SetEnvironmentVariableW(L"FAKE_RCLONE_ROOT", nullptr);
    ::SetEnvironmentVariableW(L"RCLONE_STAND_IN_FAIL", nullptr);
    ::SetEnvironmentVariableW(L"RCLONE_STAND_IN_SLOW", nullptr);
  }
  void Set(const std::string& name, const std::string& value) {
    settings_->WriteRegString(kHkeyLocalMachine, "Software\\Cobaltine\\Vaultrun\\cfg", name, value);
  }
  // A marked archive with no entries: the end record and the mark.
  std::string Archive(const std::string& stamp) {
    const std::string mark = BuildCompletenessMark({"1", stamp, "kelvane", {{"t", 0}}, 0, ""});
    std::string bytes("PK\x05\x06", 4);
    bytes += std::string(16, '\0');
    bytes += static_cast<char>(mark.size() & 0xff);
    bytes += static_cast<char>(mark.size() >> 8);
    bytes += mark;
    Write(folder_ + "\\" + stamp + ".zip", bytes);
    return bytes;
  }
  // Through the Env: UTF-8 paths.
  void Write(const std::string& path, const std::string& bytes) {
    std::unique_ptr<File> file;
    ASSERT_TRUE(env_->OpenFile(path, OpenMode::kWriteNew, 0600, &file).ok());
    ASSERT_TRUE(file->Write(bytes).ok());
    ASSERT_TRUE(file->Close().ok());
  }
  // The off-site step with the settings read as a run reads them.
  OffsiteResult Copy(const std::string& current) {
    return CopyOffsite(process_, ReadRunSettings(process_), folder_, current);
  }
  std::string OnRemote(const std::string& name) {
    std::string bytes;
    env_->ReadFile(remote_root_ + "\\backups\\kelvane\\" + name, &bytes);
    return bytes;
  }

  test::TempDir dir_;
  std::unique_ptr<Env> env_ = NewDefaultEnv();
  std::unique_ptr<SettingsStore> settings_ =
      NewRegFileSettingsStore(env_.get(), dir_.path() + "\\settings.reg");
  test::RecordingEventLog log_;
  Process process_;
  const std::string remote_root_ = dir_.path() + "\\remote \xC3\xBC";
  const std::string folder_ = dir_.path() + "\\Sauvegardes \xC3\xA9t\xC3\xA9\\kelvane";
};

TEST_F(OffsiteWindowsTest, CopiesThroughTheStandInAndReportsItsFailuresAndTimeout) {
  // Off: nothing runs.
  EXPECT_FALSE(Copy("20260101000002.zip").success_time);

  Set("offsite_remote", "fake:backups");
  const std::string first = Archive("20260101000001");
  const std::string second = Archive("20260101000002");
  Write(folder_ + "\\20260101000000.zip", "PK\x03\x04 cut off");
  OffsiteResult result = Copy("20260101000002.zip");
  EXPECT_TRUE(result.success_time);
  EXPECT_EQ((std::vector<std::string>{"20260101000001.zip", "20260101000002.zip"}), result.copied);
  EXPECT_EQ(first, OnRemote("20260101000001.zip"));
  EXPECT_EQ(second, OnRemote("20260101000002.zip"));
  EXPECT_EQ("", OnRemote("20260101000000.zip"));  // not whole: never leaves
  EXPECT_EQ("", OnRemote("20260101000002.zip.partial"));
  EXPECT_TRUE(log_.entries.empty());

  // A failed copy names the remote and rclone's last message.
  Archive("20260101000003");
  ::SetEnvironmentVariableW(L"RCLONE_STAND_IN_FAIL", L"copyto");
  try {
    Copy("20260101000003.zip");
    ADD_FAILURE() << "no failure";
  } catch (const Failure& failure) {
    EXPECT_EQ(
        "off-site copy to fake:backups failed: rclone copyto: Failed to run: stand-in refuses "
        "copyto",
        failure.description());
  }
  ::SetEnvironmentVariableW(L"RCLONE_STAND_IN_FAIL", nullptr);

  // offsite_timeout kills rclone.
  Set("offsite_timeout", "1");
  ::SetEnvironmentVariableW(L"RCLONE_STAND_IN_SLOW", L"lsjson");
  const auto start = std::chrono::steady_clock::now();
  try {
    Copy("20260101000003.zip");
    ADD_FAILURE() << "no failure";
  } catch (const Failure& failure) {
    EXPECT_EQ(
        "off-site copy to fake:backups failed: rclone lsjson: killed at offsite_timeout (1 s)",
        failure.description());
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
}  // namespace vaultrun
