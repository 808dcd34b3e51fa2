#include <gtest/gtest.h>
#include <windows.h>
// After windows.h: GetNamedSecurityInfo.
#include <aclapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ostream>
#include <thread>
#include <vector>

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
  // The other thread's lock must come after this one's release, whenever
  // the thread gets to ask: the order is checked, not a time.
  std::atomic<bool> asking{false}, released{false}, held_after_release{false};
  std::thread other([&] {
    std::unique_ptr<FileLock> second;
    auto env = NewDefaultEnv();
    asking = true;
    if (env->LockFile(lock_path, &second).ok()) held_after_release = released.load();
  });
  while (!asking) std::this_thread::yield();
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();  // room to reach LockFile
  released = true;
  first.reset();
  other.join();
  EXPECT_TRUE(held_after_release);
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

// Runs the hold_file helper (built beside this test binary), which holds
// path open without sharing writes or deletion for ms milliseconds, and
// waits until it holds the file. The destructor ends it.
class Holder {
 public:
  Holder(Env* env, const std::string& path, int ms) {
    std::wstring command = L"\"" + Wide(env->ProgramFolder() + "\\hold_file.exe") + L"\" \"" +
                           Wide(path) + L"\" " + std::to_wstring(ms);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    started_ = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                nullptr, &startup, &process_);
    for (int i = 0; started_ && i < 1000 && !env->Exists(path + ".held"); ++i) ::Sleep(10);
    held_ = started_ && env->Exists(path + ".held");
  }
  ~Holder() {
    if (!started_) return;
    ::TerminateProcess(process_.hProcess, 0);
    ::WaitForSingleObject(process_.hProcess, INFINITE);
    ::CloseHandle(process_.hThread);
    ::CloseHandle(process_.hProcess);
  }
  bool held() const { return held_; }

 private:
  PROCESS_INFORMATION process_ = {};
  bool started_ = false;
  bool held_ = false;
};

TEST_F(EnvWindowsTest, AFileAnotherProgramHoldsForAMomentIsTriedAgain) {
  test::WriteFileOrDie(Path("a.sql"), "data");
  {
    Holder holder(env_.get(), Path("a.sql"), 600);
    ASSERT_TRUE(holder.held());
    Status s = env_->RenameFile(Path("a.sql"), Path("b.sql"));
    EXPECT_TRUE(s.ok()) << s.description();
  }
  {
    Holder holder(env_.get(), Path("b.sql"), 600);
    ASSERT_TRUE(holder.held());
    std::unique_ptr<File> f;
    Status s = env_->OpenFile(Path("b.sql"), OpenMode::kWriteNew, 0600, &f);
    ASSERT_TRUE(s.ok()) << s.description();
    EXPECT_TRUE(f->Close().ok());
  }
  {
    Holder holder(env_.get(), Path("b.sql"), 600);
    ASSERT_TRUE(holder.held());
    Status s = env_->DeleteFile(Path("b.sql"));
    EXPECT_TRUE(s.ok()) << s.description();
  }
  // Held for longer than the program waits: the failure names the file.
  test::WriteFileOrDie(Path("kept.sql"), "data");
  Holder holder(env_.get(), Path("kept.sql"), 60000);
  ASSERT_TRUE(holder.held());
  Status s = env_->DeleteFile(Path("kept.sql"));
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(0u, s.description().find("delete " + Path("kept.sql") +
                                     ": still in use by another program after 5 s: "))
      << s.description();
  EXPECT_TRUE(env_->Exists(Path("kept.sql")));
}

TEST_F(EnvWindowsTest, LongPathsAndTableNamesWindowsCannotStore) {
  // A folder path of about 300 characters, far past MAX_PATH.
  std::string folder = dir_.path();
  while (folder.size() < 300) {
    folder += "\\" + std::string(40, 'd');
    ASSERT_TRUE(env_->CreateFolder(folder, 0700).ok()) << folder.size();
  }
  const std::string file = folder + "\\" + std::string(60, 'f') + ".sql";
  std::unique_ptr<File> f;
  ASSERT_TRUE(env_->OpenFile(file, OpenMode::kWriteNew, 0600, &f).ok());
  ASSERT_TRUE(f->Write("long").ok());
  ASSERT_TRUE(f->Close().ok());
  std::string contents;
  ASSERT_TRUE(env_->ReadFile(file, &contents).ok());
  EXPECT_EQ("long", contents);
  std::vector<std::string> names;
  ASSERT_TRUE(env_->ListFolder(folder, &names).ok());
  EXPECT_EQ(1u, names.size());
  uint64_t size = 0;
  EXPECT_TRUE(env_->FileSize(file, &size).ok());
  EXPECT_TRUE(env_->FreeSpace(file, &size).ok());
  ASSERT_TRUE(env_->RenameFile(file, file + ".old").ok());
  EXPECT_TRUE(env_->DeleteFile(file + ".old").ok());

  EXPECT_TRUE(env_->IsUsableFileName("items"));
  EXPECT_FALSE(env_->IsUsableFileName("items:stream"));
  EXPECT_FALSE(env_->IsUsableFileName("CON"));
}

TEST_F(EnvWindowsTest, OwnerOnlyFoldersGetAProtectedDacl) {
  // Wine keeps no access rules of its own on files: real Windows only.
  if (::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) {
    GTEST_SKIP() << "Wine stores no file access rules";
  }
  const std::string folder = Path("private");
  ASSERT_TRUE(env_->CreateFolder(folder, 0700).ok());
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            ::GetNamedSecurityInfoW(Wide(folder).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, &dacl, nullptr, &sd));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(::GetSecurityDescriptorControl(sd, &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED);
  ASSERT_NE(nullptr, dacl);
  EXPECT_EQ(3u, dacl->AceCount);
  ::LocalFree(sd);
}

TEST(Utf16StreamBufferTest, WholeCharactersReachTheConsole) {
  std::vector<std::wstring> writes;
  Utf16StreamBuffer buffer([&](const wchar_t* text, size_t n) {
    writes.emplace_back(text, n);
    return true;
  });
  std::ostream out(&buffer);
  // A character cut between two flushes arrives whole with the second.
  out << "Schwert \xC3\xA4\xE6\x97" << std::flush;
  out << "\xA5 " << std::string(5000, 'x') << "\xF0\x9F\x98\x80\n" << std::flush;
  std::wstring all;
  for (const std::wstring& w : writes) all += w;
  EXPECT_EQ(L"Schwert \u00E4\u65E5 " + std::wstring(5000, L'x') + L"\U0001F600\n", all);
  EXPECT_EQ(L"Schwert \u00E4", writes.front());
}

// The stand-in rclone.exe (built beside this test binary) as the child.
TEST_F(EnvWindowsTest, ChildGetsArgvUnchangedAndDiesWithItsJobAtTheDeadline) {
  // A program path with a blank and a letter beyond ASCII.
  const std::string folder = Path("Programme \xC3\xB1");
  ASSERT_TRUE(env_->CreateFolder(folder, 0755).ok());
  const std::string program = folder + "\\rclone.exe";
  ASSERT_TRUE(::CopyFileW(Wide(env_->ProgramFolder() + "\\rclone.exe").c_str(),
                          Wide(program).c_str(), FALSE));
  ChildRequest request;
  request.argv = {program,
                  "args",
                  "C:\\Sauvegardes \xC3\xA9t\xC3\xA9\\db\\1.zip",
                  "",
                  "say \"hi\"\\",
                  "trailing\\",
                  "a\\\\\"b",
                  "\xE6\x97\xA5 \xF0\x9F\x98\x80"};
  request.timeout = std::chrono::seconds(30);
  ChildResult result;
  ASSERT_TRUE(env_->RunChild(request, &result).ok());
  EXPECT_EQ(0, result.exit_code);
  std::string expected;
  for (size_t i = 2; i < request.argv.size(); ++i) expected += "[" + request.argv[i] + "]";
  EXPECT_EQ(expected, result.out);

  // At the deadline the job dies, with what the child started.
  const std::string marker = Path("still alive");
  request.argv = {program, "sleep", "1500", marker};
  request.timeout = std::chrono::milliseconds(500);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(env_->RunChild(request, &result).ok());
  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(-1, result.exit_code);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  ::Sleep(2500);
  EXPECT_FALSE(env_->Exists(marker));

  // Output into a new file; the failure of a program that cannot start.
  request.argv = {program, "args", "x"};
  request.timeout = std::chrono::seconds(30);
  request.output_file = Path("out \xC3\xA9");
  ASSERT_TRUE(env_->RunChild(request, &result).ok());
  std::string written;
  ASSERT_TRUE(env_->ReadFile(request.output_file, &written).ok());
  EXPECT_EQ("[x]", written);
  EXPECT_FALSE(env_->RunChild(request, &result).ok());  // the file exists now
  request.output_file.clear();
  request.argv = {Path("missing.exe")};
  EXPECT_FALSE(env_->RunChild(request, &result).ok());
}

}  // namespace
}  // namespace vaultrun
