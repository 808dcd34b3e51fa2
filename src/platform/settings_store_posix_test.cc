#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/archive_key.h"
#include "platform/env.h"
#include "platform/settings_store.h"
#include "test_util.h"

namespace vaultrun {
namespace {

constexpr char kCfg[] = "Software\\Cobaltine\\Vaultrun\\cfg";

int ModeOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(0, ::stat(path.c_str(), &st)) << path;
  return static_cast<int>(st.st_mode & 0777);
}

class SettingsFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<SettingsStore> Store(const std::string& path) {
    return NewRegFileSettingsStore(env_.get(), path);
  }
  std::string Read(SettingsStore& s, const std::string& name) {
    return s.ReadRegString(kHkeyLocalMachine, kCfg, name, "<default>");
  }
  bool Write(SettingsStore& s, const std::string& name, const std::string& text) {
    return s.WriteRegString(kHkeyLocalMachine, kCfg, name, text);
  }

  test::TempDir dir_;
  std::unique_ptr<Env> env_ = NewDefaultEnv();
};

TEST_F(SettingsFileTest, MissingFileKeyOrTypeReadsDefaults) {
  std::string path = dir_.Sub("vaultrun.reg");
  auto store = Store(path);
  EXPECT_EQ("<default>", Read(*store, "config_filename"));
  test::WriteFileOrDie(path,
                       "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\n"
                       "\"format_sql\"=dword:00000001\n\"empty\"=\"\"\n\"Log\"=\"1\"\n");
  EXPECT_EQ("<default>", Read(*store, "config_filename"));
  EXPECT_EQ("<default>", Read(*store, "format_sql"));
  EXPECT_EQ("", Read(*store, "empty"));
  EXPECT_EQ("1", Read(*store, "log"));
  EXPECT_EQ("<default>",
            store->ReadRegString(kHkeyLocalMachine, "Software\\Nothing", "log", "<default>"));
  EXPECT_EQ("<default>", store->ReadRegString(0x12345, kCfg, "log", "<default>"));
}

TEST_F(SettingsFileTest, WriteCreatesFoldersAndFileAndKeepsAnExistingMode) {
  std::string path = dir_.Sub("etc/cobaltine/vaultrun.reg");
  auto store = Store(path);
  ASSERT_TRUE(Write(*store, "config_filename", "conf/x.conf"));
  EXPECT_EQ(0700, ModeOf(dir_.Sub("etc")));
  EXPECT_EQ(0700, ModeOf(dir_.Sub("etc/cobaltine")));
  EXPECT_EQ(0600, ModeOf(path));
  EXPECT_EQ(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\n"
      "\"config_filename\"=\"conf/x.conf\"\n",
      test::ReadFileOrDie(path));
  EXPECT_EQ("conf/x.conf", Read(*store, "CONFIG_FILENAME"));

  ASSERT_EQ(0, ::chmod(path.c_str(), 0644));
  ASSERT_TRUE(Write(*store, "Log", "1"));
  ASSERT_TRUE(Write(*store, "log", "0"));  // one flag, whatever the case
  EXPECT_EQ(0644, ModeOf(path));
  EXPECT_EQ(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\n"
      "\"config_filename\"=\"conf/x.conf\"\n\"Log\"=\"0\"\n",
      test::ReadFileOrDie(path));
  // Only the settings file and its lock file are left beside it.
  std::vector<std::string> names;
  ASSERT_TRUE(env_->ListFolder(dir_.Sub("etc/cobaltine"), &names).ok());
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"vaultrun.reg", "vaultrun.reg.lock"}), names);
}

TEST_F(SettingsFileTest, WriteKeepsTheRestOfAnExistingFile) {
  std::string path = dir_.Sub("vaultrun.reg");
  std::string before =
      "Windows Registry Editor Version 5.00\r\n; comment\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n"
      "\"config_filename\"=\"old\"\r\n!! not a line I know\r\n\"other\"=hex:00\r\n";
  test::WriteFileOrDie(path, before);
  auto store = Store(path);
  ASSERT_TRUE(Write(*store, "config_filename", "new"));
  std::string after = before;
  after.replace(after.find("old"), 3, "new");
  EXPECT_EQ(after, test::ReadFileOrDie(path));
}

TEST_F(SettingsFileTest, WriteFailsQuietlyWhereItCannotWrite) {
  // A file stands where the folder would have to be.
  test::WriteFileOrDie(dir_.Sub("plain"), "x");
  auto store = Store(dir_.Sub("plain/sub/vaultrun.reg"));
  EXPECT_FALSE(Write(*store, "config_filename", "x"));
  EXPECT_EQ("<default>", Read(*store, "config_filename"));

  // A file without a header is not ours to overwrite.
  test::WriteFileOrDie(dir_.Sub("foreign.reg"), "something else\n");
  EXPECT_FALSE(Write(*Store(dir_.Sub("foreign.reg")), "a", "b"));
  EXPECT_EQ("something else\n", test::ReadFileOrDie(dir_.Sub("foreign.reg")));
}

TEST_F(SettingsFileTest, LinkPlantedAtTheFileIsNotWrittenThrough) {
  std::string target = dir_.Sub("target.reg");
  std::string original = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\n";
  test::WriteFileOrDie(target, original);
  std::string path = dir_.Sub("vaultrun.reg");
  ASSERT_EQ(0, ::symlink(target.c_str(), path.c_str()));
  auto store = Store(path);
  EXPECT_FALSE(Write(*store, "config_filename", "evil"));
  EXPECT_EQ(original, test::ReadFileOrDie(target));
  struct stat st;
  ASSERT_EQ(0, ::lstat(path.c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));

  // A dangling link also stops the write.
  std::string dangling = dir_.Sub("dangling.reg");
  ASSERT_EQ(0, ::symlink(dir_.Sub("nowhere.reg").c_str(), dangling.c_str()));
  EXPECT_FALSE(Write(*Store(dangling), "a", "b"));
  EXPECT_FALSE(env_->Exists(dir_.Sub("nowhere.reg")));
}

TEST_F(SettingsFileTest, ConcurrentWritersLoseNothing) {
  std::string path = dir_.Sub("vaultrun.reg");
  constexpr int kWriters = 4;
  constexpr int kEach = 25;
  std::vector<pid_t> children;
  for (int p = 0; p < kWriters; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      auto env = NewDefaultEnv();
      auto store = NewRegFileSettingsStore(env.get(), path);
      bool ok = true;
      for (int i = 0; i < kEach; ++i) {
        std::string name = "p" + std::to_string(p) + "_" + std::to_string(i);
        ok = store->WriteRegString(kHkeyLocalMachine, kCfg, name, name) && ok;
      }
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t) {
    threads.emplace_back([&, t] {
      auto store = Store(path);
      for (int i = 0; i < kEach; ++i) {
        std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
        EXPECT_TRUE(Write(*store, name, name));
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto store = Store(path);
  for (const char* who : {"p", "t"}) {
    for (int w = 0; w < kWriters; ++w) {
      for (int i = 0; i < kEach; ++i) {
        std::string name = who + std::to_string(w) + "_" + std::to_string(i);
        EXPECT_EQ(name, Read(*store, name));
      }
    }
  }
}

// Two first runs at once make one key between them, mode 0600.
TEST_F(SettingsFileTest, TwoProcessesMakingTheArchiveKeyAtOnceAgree) {
  for (int round = 0; round < 5; ++round) {
    const std::string path = dir_.Sub("r" + std::to_string(round) + "/vaultrun.reg");
    const std::string ids = dir_.Sub("ids" + std::to_string(round));
    std::vector<pid_t> children;
    for (int p = 0; p < 2; ++p) {
      pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        auto env = NewDefaultEnv();
        ArchiveKeyResult key = NewRegFileSettingsStore(env.get(), path)->LoadOrCreateArchiveKey();
        std::unique_ptr<File> out;
        bool ok = key.ready() && env->OpenFile(ids, OpenMode::kAppend, 0600, &out).ok() &&
                  out->Write(key.id + "\n").ok() && out->Close().ok();
        ::_exit(ok ? 0 : 1);
      }
      children.push_back(pid);
    }
    for (pid_t pid : children) {
      int status = 0;
      ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ArchiveKeyResult key = Store(path)->ReadArchiveKey();
    ASSERT_TRUE(key.ready()) << key.problem;
    EXPECT_EQ(key.id + "\n" + key.id + "\n", test::ReadFileOrDie(ids));
    EXPECT_EQ(0600, ModeOf(dir_.Sub("r" + std::to_string(round) + "/vaultrun.key")));
  }
}

// A key that others may read or change is refused, and so is anything
// but a plain file in its place; none of them is replaced by a new key.
TEST_F(SettingsFileTest, AnArchiveKeyOthersCanReachIsRefused) {
  const std::string path = dir_.Sub("vaultrun.reg");
  const std::string key_path = dir_.Sub("vaultrun.key");
  auto store = Store(path);
  const ArchiveKeyResult made = store->LoadOrCreateArchiveKey();
  ASSERT_TRUE(made.ready()) << made.problem;
  const std::string text = test::ReadFileOrDie(key_path);
  for (int mode : {0640, 0604, 0620, 0602}) {
    ASSERT_EQ(0, ::chmod(key_path.c_str(), static_cast<mode_t>(mode)));
    ArchiveKeyResult key = store->LoadOrCreateArchiveKey();
    EXPECT_EQ(KeyOutcome::kRefused, key.outcome) << mode;
    EXPECT_TRUE(key.key.empty());
    EXPECT_NE(
        std::string::npos,
        key.problem.find(key_path + ": refused, as others may read or change it (its mode is 0"))
        << key.problem;
  }
  ASSERT_EQ(0, ::chmod(key_path.c_str(), 0600));
  if (::geteuid() == 0) {
    // Root's key in the hands of another user.
    ASSERT_EQ(0, ::chown(key_path.c_str(), 4242, 4242));
    ArchiveKeyResult key = store->ReadArchiveKey();
    EXPECT_EQ(KeyOutcome::kRefused, key.outcome);
    EXPECT_NE(std::string::npos, key.problem.find("it belongs to user 4242")) << key.problem;
    ASSERT_EQ(0, ::chown(key_path.c_str(), 0, 0));
  }
  EXPECT_EQ(made.key, store->ReadArchiveKey().key);

  // A link planted in the key's place is not followed, nor replaced.
  ASSERT_EQ(0, ::rename(key_path.c_str(), dir_.Sub("elsewhere.key").c_str()));
  ASSERT_EQ(0, ::symlink(dir_.Sub("elsewhere.key").c_str(), key_path.c_str()));
  ArchiveKeyResult linked = store->LoadOrCreateArchiveKey();
  EXPECT_EQ(KeyOutcome::kRefused, linked.outcome) << linked.problem;
  struct stat st;
  ASSERT_EQ(0, ::lstat(key_path.c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(text, test::ReadFileOrDie(dir_.Sub("elsewhere.key")));

  // Where the key cannot be stored, the run learns that there is none.
  test::WriteFileOrDie(dir_.Sub("plain"), "x");
  ArchiveKeyResult none = Store(dir_.Sub("plain/sub/vaultrun.reg"))->LoadOrCreateArchiveKey();
  EXPECT_EQ(KeyOutcome::kNone, none.outcome);
  EXPECT_FALSE(none.problem.empty());
}

TEST_F(SettingsFileTest, LargeFileReadsAndWrites) {
  std::string path = dir_.Sub("vaultrun.reg");
  std::string big = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\n";
  for (int i = 0; i < 100000; ++i) big += "\"v" + std::to_string(i) + "\"=\"x\"\n";
  test::WriteFileOrDie(path, big);
  auto store = Store(path);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ("x", Read(*store, "v77777"));
  auto read = std::chrono::steady_clock::now();
  ASSERT_TRUE(Write(*store, "v77777", "y"));
  auto written = std::chrono::steady_clock::now();
  ASSERT_TRUE(Write(*store, "added", "z"));
  auto ms = [](auto d) { return std::chrono::duration<double, std::milli>(d).count(); };
  std::printf(
      "[ figure ] settings file of 100,000 values (%zu bytes): read %.1f ms, write %.1f ms\n",
      big.size(), ms(read - start), ms(written - read));
  EXPECT_EQ("y", Read(*store, "v77777"));
  EXPECT_EQ("z", Read(*store, "added"));
  EXPECT_EQ(big.size() + std::string("\"added\"=\"z\"\n").size(), test::ReadFileOrDie(path).size());
}

}  // namespace
}  // namespace vaultrun
