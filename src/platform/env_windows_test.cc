#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/env.h"
#include "platform/text_windows.h"
#include "test_util.h"

namespace vaultrun {
namespace {

class EnvWindowsTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) { return dir_.path() + "\\" + name; }
  test::TempDir dir_;
  std::unique_ptr<Env> env_ = NewDefaultEnv();
};

TEST_F(EnvWindowsTest, FilesReadWriteSeekTruncateUnderANonAsciiName) {
  EXPECT_EQ('\\', env_->Separator());
  const std::string folder = Path("Sicherung äöü 日本");
  ASSERT_TRUE(env_->CreateFolder(folder, 0700).ok());
  EXPECT_TRUE(env_->FolderExists(folder));
  EXPECT_FALSE(env_->CreateFolder(folder, 0700).ok());
  const std::string file = folder + "\\Tabelle ß.sql";

  std::unique_ptr<File> f;
  ASSERT_TRUE(env_->OpenFile(file, OpenMode::kWriteNew, 0600, &f).ok());
  ASSERT_TRUE(f->Write("hello world").ok());
  EXPECT_EQ(11u, f->Tell());
  ASSERT_TRUE(f->Seek(6).ok());
  ASSERT_TRUE(f->Write("WORLD").ok());
  ASSERT_TRUE(f->Truncate(8).ok());
  ASSERT_TRUE(f->Sync().ok());
  ASSERT_TRUE(f->Close().ok());
  EXPECT_TRUE(f->Close().ok());
  EXPECT_FALSE(f->Write("x").ok());

  std::string contents;
  ASSERT_TRUE(env_->ReadFile(file, &contents).ok());
  EXPECT_EQ("hello WO", contents);
  uint64_t size = 0;
  ASSERT_TRUE(env_->FileSize(file, &size).ok());
  EXPECT_EQ(8u, size);

  // Append mode writes at the end whatever the position.
  ASSERT_TRUE(env_->OpenFile(file, OpenMode::kAppend, 0600, &f).ok());
  ASSERT_TRUE(f->Write("!").ok());
  ASSERT_TRUE(f->Close().ok());
  ASSERT_TRUE(env_->ReadFile(file, &contents).ok());
  EXPECT_EQ("hello WO!", contents);

  std::vector<std::string> names;
  ASSERT_TRUE(env_->ListFolder(folder, &names).ok());
  EXPECT_EQ(std::vector<std::string>{"Tabelle ß.sql"}, names);

  ASSERT_TRUE(env_->RenameFile(file, folder + "\\b.sql").ok());
  ASSERT_TRUE(env_->TruncateFile(folder + "\\b.sql", 2).ok());
  ASSERT_TRUE(env_->ReadFile(folder + "\\b.sql", &contents).ok());
  EXPECT_EQ("he", contents);
  ASSERT_TRUE(env_->DeleteFile(folder + "\\b.sql").ok());
  EXPECT_FALSE(env_->Exists(folder + "\\b.sql"));

  Status missing = env_->ReadFile(folder + "\\b.sql", &contents);
  EXPECT_TRUE(env_->IsNotFound(missing));
  EXPECT_NE(std::string::npos, missing.description().find("b.sql: ")) << missing.description();
  EXPECT_TRUE(env_->IsNotFound(env_->ReadFile(Path("no\\such\\file"), &contents)));
}

TEST_F(EnvWindowsTest, WritesRefuseFoldersAndLinks) {
  std::unique_ptr<File> f;
  Status s = env_->OpenFile(dir_.path(), OpenMode::kWriteNew, 0600, &f);
  EXPECT_FALSE(s.ok());
  EXPECT_FALSE(env_->IsNotFound(s));

  test::WriteFileOrDie(Path("target"), "keep");
  if (!::CreateSymbolicLinkW(Wide(Path("link")).c_str(), Wide(Path("target")).c_str(), 0)) {
    GTEST_SKIP() << "symbolic links cannot be made here";
  }
  // Wine keeps such links as host symbolic links that do not show as
  // reparse points; there the link itself is opened, never its target.
  const bool wine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
  for (OpenMode how :
       {OpenMode::kAppend, OpenMode::kReadWrite, OpenMode::kCreateRW, OpenMode::kWriteNew}) {
    s = env_->OpenFile(Path("link"), how, 0600, &f);
    if (s.ok()) {
      EXPECT_TRUE(f->Write("bad").ok());
      EXPECT_TRUE(f->Close().ok());
    }
    if (!wine) {
      EXPECT_FALSE(s.ok());
      EXPECT_NE(std::string::npos, s.description().find("refusing to write through a link"))
          << s.description();
    }
    EXPECT_EQ("keep", test::ReadFileOrDie(Path("target")));
  }
}

TEST_F(EnvWindowsTest, LockWaitsForTheHolder) {
  const std::string lock_path = Path("pack.lock");
  std::unique_ptr<FileLock> first;
  ASSERT_TRUE(env_->LockFile(lock_path, &first).ok());
  std::atomic<bool> second_held{false};
  std::thread other([&] {
    std::unique_ptr<FileLock> second;
    auto env = NewDefaultEnv();
    if (env->LockFile(lock_path, &second).ok()) second_held = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(second_held);
  first.reset();
  other.join();
  EXPECT_TRUE(second_held);
}

TEST_F(EnvWindowsTest, ProgramFolderClockSpaceAndMessages) {
  const std::string folder = env_->ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_NE('\\', folder.back());
  EXPECT_NE(std::string::npos, folder.find(':')) << folder;
  std::vector<std::string> names;
  ASSERT_TRUE(env_->ListFolder(folder, &names).ok());
  EXPECT_NE(names.end(), std::find(names.begin(), names.end(), "vaultrun_tests.exe"));

  LocalTime t = env_->Now();
  EXPECT_GE(t.year, 2024);
  EXPECT_TRUE(t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31);

  uint64_t space = 0;
  ASSERT_TRUE(env_->FreeSpace(dir_.path(), &space).ok());
  EXPECT_GT(space, 0u);
  EXPECT_FALSE(env_->FreeSpace("Q:\\nowhere", &space).ok());

  // A posted message is handed to the thread's message loop.
  ASSERT_TRUE(::PostThreadMessageW(::GetCurrentThreadId(), WM_USER, 0, 0));
  env_->ProcessPendingMessages();
  MSG msg;
  EXPECT_FALSE(::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
}

}  // namespace
}  // namespace vaultrun
