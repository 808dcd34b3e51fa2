// The disk fills up in the middle of a data file and in the middle of a
// pack: on a real small file system (tmpfs, where the test may mount one)
// and through a fault-injecting Env behind the platform seam, so the cases
// run everywhere. The run drives Main in-process as main() does. Each run
// must write exactly one entry, end failed, leave its archive byte for byte
// as it was before the failing pack, and lose nothing packed before.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>
#include <sstream>

#include "core/failure.h"
#include "core/process.h"
#include "core/report.h"
#include "db/access.h"
#include "fakes.h"
#include "fault_util.h"
#include "platform/settings_store.h"
#include "program_folder.h"
#include "run/backup_run.h"
#include "test_db.h"

namespace vaultrun {
namespace {

namespace fs = std::filesystem;
using test::FaultFigures;
using test::ProgramFolder;
using test::TestServer;

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The fault Env with the program folder of a test. It keeps a copy of the
// archive as it stood before the latest pack began.
class RunEnv : public test::FaultEnv {
 public:
  RunEnv(Env* target, std::string folder) : FaultEnv(target), folder_(std::move(folder)) {}
  std::string ProgramFolder() override { return folder_; }

  // Calls armed() when the big table's data file is opened.
  void OnBigTable(std::function<void()> armed) {
    hook = [this, armed](const std::string& op, const std::string& path) {
      // Each pack saves the archive's tail first: the archive is still as
      // the previous pack left it. The last copy is of the failing pack.
      if (op == "OpenFile" && EndsWith(path, ".zip.tail.tmp")) {
        before_pack = test::SnapshotFiles(fs::path(path).parent_path().string(), ".zip");
      }
      if (op == "OpenFile" && EndsWith(path, "/big.sql") && armed) armed();
      return fault ? fault(op, path) : Status::OK();
    };
  }

  std::map<std::string, std::string> before_pack;
  // Faults of a case, once armed.
  std::function<Status(const std::string& op, const std::string& path)> fault;

 private:
  std::string folder_;
};

class DiskFullTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    TestServer& server = TestServer::Get();
    database_ = server.CreateDatabase("diskfull");
    server.Admin("USE `" + database_ + "`");
    server.Admin("CREATE TABLE a1 (id INT PRIMARY KEY, name VARCHAR(20))");
    server.Admin("INSERT INTO a1 VALUES (1,'first'),(2,'second')");
    server.Admin("CREATE TABLE a2 (id INT PRIMARY KEY, n INT)");
    server.Admin("INSERT INTO a2 SELECT seq, seq * 7 FROM seq_1_to_100");
    // About 5 MB of SQL that deflates only to half: hex of hash bytes.
    server.Admin("CREATE TABLE big (id INT PRIMARY KEY, v VARBINARY(255))");
    server.Admin(
        "INSERT INTO big SELECT seq, UNHEX(CONCAT(SHA2(seq, 512), SHA2(seq + 1000000, 512)))"
        " FROM seq_1_to_20000");
    server.Admin("CREATE TABLE z_after (id INT)");
    server.Admin("INSERT INTO z_after VALUES (1)");
    server.Admin("USE mysql");
  }

  void SetUp() override {
    folder_.WriteConfFor(database_, TestServer::kBackupUser, TestServer::kBackupPassword);
    folder_.WriteSettings(
        "; kept as it is\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n"
        "\"format_sql\"=\"1\"\r\n\"other\"=dword:00000002\r\n");
    settings_before_ = test::SettingsValues(folder_.Settings());
  }

  std::string db_folder() const { return folder_.Sub("backup/" + database_); }

  // One run of Main in this process; true when it failed.
  bool RunMain(Env* env) {
    std::unique_ptr<SettingsStore> settings = NewRegFileSettingsStore(env, folder_.settings_path());
    Process process;
    process.env = env;
    process.settings = settings.get();
    process.event_log = &log_;
    Session session;
    return RunReported(process, [&] { Main(process, session); }) != 0;
  }

  // The checks after a run that failed in the big table. Returns the one
  // entry's text.
  std::string ExpectFailedCleanly(RunEnv& env, bool failed, FaultFigures* figures) {
    ++figures->trials;
    figures->entries += log_.entries.size();
    EXPECT_TRUE(failed);
    EXPECT_EQ(1u, log_.entries.size());
    std::string entry;
    if (log_.entries.size() == 1) {
      entry = log_.entries[0].text;
      EXPECT_EQ(std::optional<int>(1), log_.entries[0].type);
      EXPECT_NE(std::string::npos, entry.find("No space left on device")) << entry;
    } else {
      ++figures->losses;
    }
    // Byte for byte as it was before the failing pack, and it holds the
    // tables packed before.
    EXPECT_EQ(1u, env.before_pack.size());
    test::ExpectArchivesUnchanged(db_folder(), env.before_pack, figures);
    for (const auto& [name, bytes] : env.before_pack) {
      std::string archive = db_folder() + "/" + name;
      bool clean = ProgramFolder::ArchiveTestsClean(archive);
      EXPECT_TRUE(clean);
      EXPECT_EQ((std::vector<std::string>{database_ + "/a1.sql", database_ + "/a2.sql"}),
                ProgramFolder::EntryNames(archive));
      if (!clean) ++figures->losses;
    }
    EXPECT_EQ(1u, test::SnapshotFiles(db_folder(), ".zip").size());
    EXPECT_TRUE(test::SnapshotFiles(db_folder(), ".tail").empty());
    std::string settings = folder_.Settings();
    test::ExpectSettingsKept(settings_before_, settings, figures);
    EXPECT_NE(std::string::npos, settings.find("\"a1\"=\"0\""));
    EXPECT_NE(std::string::npos, settings.find("\"a2\"=\"0\""));
    EXPECT_EQ(std::string::npos, settings.find("\"big\"")) << settings;
    EXPECT_EQ(std::string::npos, settings.find("\"z_after\"")) << settings;
    return entry;
  }

  static std::string database_;
  ProgramFolder folder_;
  test::RecordingEventLog log_;
  std::map<std::string, std::string> settings_before_;
};

std::string DiskFullTest::database_;

TEST_F(DiskFullTest, FaultEnvFullInDataFilePackAndCommit) {
  std::unique_ptr<Env> real = NewDefaultEnv();
  FaultFigures figures{"disk-full-faultenv"};
  const std::string big = db_folder() + "/big.sql";

  {
    // In the middle of the data file: 2 MB of its 5 MB are written.
    RunEnv env(real.get(), folder_.path());
    env.OnBigTable(nullptr);
    env.FailWritesAfter("/big.sql", 2 << 20);
    std::string entry = ExpectFailedCleanly(env, RunMain(&env), &figures);
    EXPECT_EQ("Vaultrun: write " + big + ": No space left on device", entry);
    // The cut-off data file is gone.
    EXPECT_FALSE(fs::exists(big));
  }
  for (const auto& name : test::SnapshotFiles(db_folder(), ".zip")) {
    fs::remove(db_folder() + "/" + name.first);
  }
  log_.entries.clear();
  {
    // In the middle of the pack: the archive gets 256 KB of the entry. The
    // rollback's truncation frees the space again, as on a real disk.
    RunEnv env(real.get(), folder_.path());
    env.OnBigTable([&env] { env.FailWritesAfter(".zip", 256 << 10); });
    env.fault = [&env](const std::string& op, const std::string&) {
      if (op == "Truncate") env.DisarmWrites();
      return Status::OK();
    };
    std::string entry = ExpectFailedCleanly(env, RunMain(&env), &figures);
    EXPECT_NE(std::string::npos, entry.find(".zip: No space left on device")) << entry;
    // The pack failed, the data file did not: it is written in full and
    // stays for the user to take.
    ASSERT_TRUE(fs::exists(big));
    std::string left = test::ReadFileOrDie(big);
    EXPECT_EQ(20000u / 20, static_cast<size_t>(std::count(left.begin(), left.end(), '\n')));
    fs::remove(big);
  }
  for (const auto& name : test::SnapshotFiles(db_folder(), ".zip")) {
    fs::remove(db_folder() + "/" + name.first);
  }
  log_.entries.clear();
  {
    // At the pack's end: the archive's final sync fails once. The data file
    // is complete, so it stays for the user to take.
    RunEnv env(real.get(), folder_.path());
    bool armed = false;
    int failures = 0;
    env.OnBigTable([&armed] { armed = true; });
    env.fault = [&](const std::string& op, const std::string& path) {
      if (armed && op == "Sync" && EndsWith(path, ".zip") && failures++ == 0) {
        return Status::Error(ENOSPC, "sync " + path + ": No space left on device");
      }
      return Status::OK();
    };
    ExpectFailedCleanly(env, RunMain(&env), &figures);
    ASSERT_TRUE(fs::exists(big));
    std::string left = test::ReadFileOrDie(big);

    // The next run, with space again, succeeds and packs what was left out.
    log_.entries.clear();
    EXPECT_FALSE(RunMain(&env));  // its one fault is spent
    EXPECT_TRUE(log_.entries.empty());
    EXPECT_FALSE(fs::exists(big));
    auto archives = folder_.Archives(database_);
    ASSERT_FALSE(archives.empty());
    std::string packed = ProgramFolder::EntryContent(archives.back(), database_ + "/big.sql");
    figures.bytes += left.size();
    EXPECT_EQ(packed, left) << "the data file left after a failed pack is not complete";
    EXPECT_EQ(20000u / 20, static_cast<size_t>(std::count(left.begin(), left.end(), '\n')));
  }
  figures.Print();
  EXPECT_EQ(0u, figures.losses);
}

// An archive that cannot be opened (a folder or an unwritable file at its
// name) fails the run after the first table's data file is written in full.
TEST_F(DiskFullTest, AnArchiveThatCannotBeOpenedLeavesTheWholeDataFile) {
  std::unique_ptr<Env> real = NewDefaultEnv();
  RunEnv env(real.get(), folder_.path());
  env.OnBigTable(nullptr);
  env.fault = [](const std::string& op, const std::string& path) {
    return op == "OpenFile" && EndsWith(path, ".zip")
               ? Status::Error(EISDIR, "open " + path + ": Is a directory")
               : Status::OK();
  };
  EXPECT_TRUE(RunMain(&env));
  ASSERT_EQ(1u, log_.entries.size());
  EXPECT_NE(std::string::npos, log_.entries[0].text.find(": Is a directory"))
      << log_.entries[0].text;
  EXPECT_TRUE(EndsWith(test::ReadFileOrDie(db_folder() + "/a1.sql"),
                       " values (1,'first'),(2,'second');\r\n"));
  EXPECT_TRUE(test::SnapshotFiles(db_folder(), ".zip").empty());
  EXPECT_FALSE(fs::exists(db_folder() + "/a2.sql"));
}

// A tmpfs over <folder>/backup, unmounted when the object goes.
class SmallDisk {
 public:
  SmallDisk(const std::string& dir, size_t kilobytes) : dir_(dir) {
    fs::create_directories(dir);
    std::string options = "size=" + std::to_string(kilobytes) + "k,mode=0700";
    mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string dir_;
  bool mounted_ = false;
};

TEST_F(DiskFullTest, RealSmallFileSystemFillsUp) {
  {
    SmallDisk probe(folder_.Sub("probe"), 64);
    if (!probe.mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  }
  // The big table's data file and packed sizes, from a run on the real disk.
  uint64_t data_size = 0, packed_size = 0;
  {
    ProgramFolder reference;
    reference.WriteConfFor(database_, TestServer::kBackupUser, TestServer::kBackupPassword);
    reference.WriteSettings(folder_.Settings());
    ASSERT_EQ(0, reference.Run());
    std::string sizes;
    ASSERT_EQ(
        0, test::RunCommand("python3 -c 'import sys, zipfile; i = zipfile.ZipFile(sys.argv[1])"
                            ".getinfo(sys.argv[2]); print(i.file_size, i.compress_size)' '" +
                                reference.Archives(database_)[0] + "' '" + database_ + "/big.sql'",
                            &sizes));
    std::istringstream(sizes) >> data_size >> packed_size;
    ASSERT_GT(packed_size, 1u << 20);
  }
  std::unique_ptr<Env> real = NewDefaultEnv();
  FaultFigures figures{"disk-full-tmpfs"};
  int in_data_file = 0, in_pack = 0;
  // A disk smaller than the data file's first megabyte fills up in the
  // data file. One that holds the data file with room to spare for what its
  // first part deflates to (the pack gets each megabyte only after the data
  // file has it) fills up in the pack. Sizes between may fill up in either.
  const size_t data_kb = data_size >> 10;
  const size_t pack_kb = (data_size + packed_size - (64 << 10)) >> 10;
  for (size_t kilobytes : {size_t{512}, data_kb / 4, data_kb / 2, data_kb * 3 / 4, data_kb - 64,
                           (data_kb + pack_kb) / 2, pack_kb}) {
    SCOPED_TRACE(std::to_string(kilobytes) + " KB");
    fs::remove_all(folder_.Sub("backup"));
    SmallDisk disk(folder_.Sub("backup"), kilobytes);
    ASSERT_TRUE(disk.mounted());
    log_.entries.clear();
    RunEnv env(real.get(), folder_.path());
    env.OnBigTable(nullptr);
    std::string entry = ExpectFailedCleanly(env, RunMain(&env), &figures);
    bool data_file = entry.find("big.sql: No space") != std::string::npos;
    if (data_file) {
      ++in_data_file;
      EXPECT_FALSE(fs::exists(db_folder() + "/big.sql"));
    } else {
      ++in_pack;
    }
    if (kilobytes == 512) {
      EXPECT_TRUE(data_file) << entry;
    } else if (kilobytes == pack_kb) {
      EXPECT_FALSE(data_file) << entry;
    }
    std::printf("tmpfs %zu KB: %s\n", kilobytes, entry.c_str());
  }
  std::printf("tmpfs: %d runs filled up in the data file, %d in the pack\n", in_data_file, in_pack);
  EXPECT_GT(in_data_file, 0);
  EXPECT_GT(in_pack, 0);
  figures.Print();
  EXPECT_EQ(0u, figures.losses);
}

}  // namespace
}  // namespace vaultrun
