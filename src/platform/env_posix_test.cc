#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>

#include "platform/env.h"
#include "test_util.h"

namespace vaultrun {
namespace {

TEST(EnvPosix, FilesAndFolders) {
  test::TempDir dir;
  auto env = NewDefaultEnv();
  std::string folder = dir.Sub("a");
  EXPECT_FALSE(env->Exists(folder));
  ASSERT_TRUE(env->CreateFolder(folder, 0700).ok());
  EXPECT_TRUE(env->FolderExists(folder));
  EXPECT_FALSE(env->CreateFolder(folder, 0700).ok());
  struct stat st;
  ASSERT_EQ(0, ::stat(folder.c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);

  std::string path = folder + "/f";
  std::unique_ptr<File> f;
  ASSERT_TRUE(env->OpenFile(path, OpenMode::kWriteNew, 0600, &f).ok());
  ASSERT_TRUE(f->Write(std::string("hello\0world", 11)).ok());
  EXPECT_EQ(11u, f->Tell());
  ASSERT_TRUE(f->Close().ok());
  ASSERT_EQ(0, ::stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  EXPECT_FALSE(env->FolderExists(path));
  EXPECT_TRUE(env->Exists(path));

  std::string contents;
  ASSERT_TRUE(env->ReadFile(path, &contents).ok());
  EXPECT_EQ(std::string("hello\0world", 11), contents);
  ASSERT_TRUE(env->TruncateFile(path, 5).ok());
  ASSERT_TRUE(env->ReadFile(path, &contents).ok());
  EXPECT_EQ("hello", contents);

  ASSERT_TRUE(env->RenameFile(path, folder + "/g").ok());
  std::vector<std::string> names;
  ASSERT_TRUE(env->ListFolder(folder, &names).ok());
  EXPECT_EQ(std::vector<std::string>{"g"}, names);
  ASSERT_TRUE(env->DeleteFile(folder + "/g").ok());
  Status missing = env->ReadFile(folder + "/g", &contents);
  EXPECT_FALSE(missing.ok());
  EXPECT_TRUE(env->IsNotFound(missing));
  EXPECT_NE(std::string::npos, missing.description().find(folder + "/g"));
  uint64_t free_bytes = 0;
  EXPECT_TRUE(env->FreeSpace(folder, &free_bytes).ok());
  EXPECT_GT(free_bytes, 0u);
}

TEST(EnvPosix, WritesNeverFollowASymbolicLink) {
  test::TempDir dir;
  auto env = NewDefaultEnv();
  std::string victim = dir.Sub("victim");
  test::WriteFileOrDie(victim, "precious");
  std::string link = dir.Sub("link");
  ASSERT_EQ(0, ::symlink(victim.c_str(), link.c_str()));
  for (OpenMode how :
       {OpenMode::kWriteNew, OpenMode::kReadWrite, OpenMode::kCreateRW, OpenMode::kAppend}) {
    std::unique_ptr<File> f;
    Status s = env->OpenFile(link, how, 0600, &f);
    EXPECT_FALSE(s.ok());
    EXPECT_NE(std::string::npos, s.description().find("symbolic link")) << s.description();
  }
  EXPECT_EQ("precious", test::ReadFileOrDie(victim));
  // A dangling link also counts as something being there.
  std::string dangling = dir.Sub("dangling");
  ASSERT_EQ(0, ::symlink(dir.Sub("nowhere").c_str(), dangling.c_str()));
  EXPECT_TRUE(env->Exists(dangling));
}

TEST(EnvPosix, OwnFilesAreReadNeverThroughALinkAndFifosDoNotStall) {
  test::TempDir dir;
  auto env = NewDefaultEnv();
  std::string victim = dir.Sub("victim");
  test::WriteFileOrDie(victim, "precious");
  std::string link = dir.Sub("link");
  ASSERT_EQ(0, ::symlink(victim.c_str(), link.c_str()));
  std::unique_ptr<File> f;
  Status s = env->OpenFile(link, OpenMode::kReadOwn, 0, &f);
  EXPECT_FALSE(s.ok());
  EXPECT_NE(std::string::npos, s.description().find("symbolic link")) << s.description();
  // Plain reads (the configuration file may be a link) still follow it.
  EXPECT_TRUE(env->OpenFile(link, OpenMode::kRead, 0, &f).ok());
  ASSERT_TRUE(env->OpenFile(victim, OpenMode::kReadOwn, 0, &f).ok());
  char buf[16];
  size_t n = 0;
  ASSERT_TRUE(f->Read(buf, sizeof buf, &n).ok());
  EXPECT_EQ("precious", std::string(buf, n));

  // A FIFO without its other end is refused at once, by every mode that
  // writes and by kReadOwn, instead of waiting forever.
  std::string fifo = dir.Sub("fifo");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  for (OpenMode how : {OpenMode::kReadOwn, OpenMode::kWriteNew, OpenMode::kReadWrite,
                       OpenMode::kCreateRW, OpenMode::kAppend}) {
    std::unique_ptr<File> g;
    EXPECT_FALSE(env->OpenFile(fifo, how, 0600, &g).ok()) << static_cast<int>(how);
  }
  // Files opened so still block as usual (no O_NONBLOCK left behind).
  ASSERT_TRUE(env->OpenFile(dir.Sub("new"), OpenMode::kAppend, 0600, &f).ok());
  EXPECT_TRUE(f->Write("x").ok());
  EXPECT_TRUE(f->Close().ok());
}

TEST(EnvPosix, ClockAndProgramFolder) {
  auto env = NewDefaultEnv();
  LocalTime t = env->Now();
  EXPECT_GE(t.year, 2020);
  EXPECT_TRUE(t.month >= 1 && t.month <= 12);
  EXPECT_TRUE(t.hour >= 0 && t.hour <= 23);
  std::string folder = env->ProgramFolder();
  EXPECT_TRUE(env->FolderExists(folder));
  EXPECT_NE('/', folder.back());
}

// Only the calling thread is lowered: the one reading from the server keeps
// its priority.
TEST(EnvPosix, LowerThreadPriorityLowersOnlyTheCallingThread) {
  auto env = NewDefaultEnv();
  const int before = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  int lowered = before;
  std::thread([&] {
    env->LowerThreadPriority();
    lowered = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  }).join();
  EXPECT_GT(lowered, std::min(before, 18));
  EXPECT_EQ(before, getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())));
}

// True once the process is gone (or a zombie that nobody waits for).
bool Gone(pid_t pid) {
  for (int i = 0; i < 200; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pid_field, name, state;
    if (!(stat >> pid_field >> name >> state) || state == "Z") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(EnvPosix, ChildProcessesGetArgvAsItIsBoundedOutputAndADeadline) {
  test::TempDir dir;
  auto env = NewDefaultEnv();
  auto run = [&env](std::vector<std::string> argv, ChildResult* result, int timeout_ms = 10000,
                    size_t limit = 64 * 1024, const std::string& file = "") {
    ChildRequest request;
    request.argv = std::move(argv);
    request.timeout = std::chrono::milliseconds(timeout_ms);
    request.output_limit = limit;
    request.output_file = file;
    return env->RunChild(request, result);
  };
  ChildResult result;
  // Arguments reach the program unchanged, with no shell between.
  ASSERT_TRUE(run({"printf", "[%s]", "a b", "$HOME", "\xC3\xA9'\"", ""}, &result).ok());
  EXPECT_EQ("[a b][$HOME][\xC3\xA9'\"][]", result.out);
  EXPECT_EQ(0, result.exit_code);
  EXPECT_FALSE(result.timed_out);

  // Of each stream only the tail is kept; the exit status comes back.
  ASSERT_TRUE(
      run({"sh", "-c", "seq 100000; echo last words >&2; exit 7"}, &result, 10000, 10).ok());
  EXPECT_EQ("99\n100000\n", result.out);
  EXPECT_EQ(588895u, result.out_bytes);
  EXPECT_EQ("ast words\n", result.err);
  EXPECT_EQ(7, result.exit_code);

  // At the deadline the child and what it started are killed.
  const std::string pid_file = dir.Sub("pid");
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(
      run({"sh", "-c", "sleep 60 & echo $! > " + pid_file + "; sleep 60"}, &result, 300).ok());
  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(-1, result.exit_code);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(Gone(std::stoi(test::ReadFileOrDie(pid_file))));

  // A child that ends leaves nothing behind, even what holds its output.
  ASSERT_TRUE(run({"sh", "-c", "sleep 60 & echo $! > " + pid_file}, &result, 5000).ok());
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(0, result.exit_code);
  EXPECT_TRUE(Gone(std::stoi(test::ReadFileOrDie(pid_file))));

  // Output into a new file of the owner's only; an existing one is refused.
  const std::string out_file = dir.Sub("out");
  ASSERT_TRUE(run({"echo", "archive"}, &result, 5000, 16, out_file).ok());
  EXPECT_EQ("archive\n", test::ReadFileOrDie(out_file));
  struct stat st;
  ASSERT_EQ(0, ::stat(out_file.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  EXPECT_FALSE(run({"echo", "again"}, &result, 5000, 16, out_file).ok());

  Status missing = run({"no-such-program-vaultrun"}, &result);
  EXPECT_FALSE(missing.ok());
  EXPECT_TRUE(env->IsNotFound(missing)) << missing.description();
  EXPECT_FALSE(run({dir.Sub("nothing here")}, &result).ok());
}

}  // namespace
}  // namespace vaultrun
