// Off-site copies of whole runs of the real program, to a real SFTP server
// (rclone serve sftp on 127.0.0.1) and a crypt remote over it.
#include "run/offsite.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "archive/completeness_mark.h"
#include "fault_util.h"
#include "program_folder.h"
#include "test_db.h"

namespace vaultrun {
namespace {

namespace fs = std::filesystem;
using test::ProgramChild;
using test::ProgramFolder;
using test::ReadFileOrDie;
using test::RunCommand;
using test::TestServer;

constexpr char kUser[] = "vaultrun";
constexpr char kPassword[] = "sftp-Pa55word";

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

bool Accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

std::string Obscure(const std::string& secret) {
  std::string out;
  EXPECT_EQ(0, RunCommand("rclone obscure '" + secret + "'", &out));
  return out.substr(0, out.find('\n'));
}

// rclone serve sftp on a free port of 127.0.0.1 with a user and password,
// serving a temp folder.
class SftpServer {
 public:
  SftpServer() : port_(FreePort()) { Start(); }
  ~SftpServer() { Stop(); }
  const std::string& root() const { return root_; }
  int port() const { return port_; }

  void Start() {
    const std::string address = "127.0.0.1:" + std::to_string(port_);
    const std::string log = dir_.Sub("server.log");
    const std::string config = dir_.Sub("empty.conf");
    test::WriteFileOrDie(config, "");
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      dup2(fd, 1);
      dup2(fd, 2);
      execlp("rclone", "rclone", "serve", "sftp", "--addr", address.c_str(), "--user", kUser,
             "--pass", kPassword, "--config", config.c_str(), root_.c_str(), nullptr);
      _exit(127);
    }
    ASSERT_TRUE(test::WaitFor([this] { return Accepts(port_); }, std::chrono::seconds(30)))
        << ReadFileOrDie(log);
  }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  test::TempDir dir_;
  std::string root_ = dir_.Sub("root");
  int port_;
  pid_t pid_ = -1;
};

class OffsiteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(server_.root());
    database_ = TestServer::Get().CreateDatabase("offsite");
    TestServer::Get().CreateTable(database_, "accounts", "id INT, name VARCHAR(20)");
    TestServer::Get().Insert(database_, "accounts", "(1,'aria'),(2,'bo')");
    folder_.WriteConfFor(database_, TestServer::kBackupUser, TestServer::kBackupPassword);
    // An SFTP remote, and a crypt remote that stores into it.
    test::WriteFileOrDie(
        Config(), "[nas]\ntype = sftp\nhost = 127.0.0.1\nport = " + std::to_string(server_.port()) +
                      "\nuser = " + kUser + "\npass = " + Obscure(kPassword) +
                      "\n\n[secret]\ntype = crypt\nremote = nas:encrypted\n"
                      "password = " +
                      Obscure("crypt words") + "\n");
  }
  std::string Config() const { return folder_.Sub("rclone.conf"); }
  void Settings(const std::string& remote, const std::string& more = "") {
    folder_.WriteSettings(
        "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n"
        "\"format_sql\"=\"1\"\r\n\"offsite_remote\"=\"" +
        remote + "\"\r\n\"rclone_config\"=\"" + Config() + "\"\r\n" + more);
  }
  int Run(const std::vector<std::pair<std::string, std::string>>& env = {}) {
    fs::remove(folder_.Sub("events.log"));
    return ProgramChild(folder_, "", env).Wait();
  }
  std::vector<std::string> LocalNames() const {
    std::vector<std::string> names;
    for (const std::string& path : folder_.Archives(database_)) {
      names.push_back(fs::path(path).filename().string());
    }
    return names;
  }
  // The files in a folder of the server, sorted.
  std::vector<std::string> RemoteNames(const std::string& sub) const {
    std::vector<std::string> names;
    const std::string path = server_.root() + "/" + sub;
    if (!fs::exists(path)) return names;
    for (const auto& entry : fs::directory_iterator(path)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string Local(const std::string& name) const {
    return ReadFileOrDie(folder_.Sub("backup/" + database_ + "/" + name));
  }
  std::string OnServer(const std::string& name) const {
    return ReadFileOrDie(server_.root() + "/backups/" + database_ + "/" + name);
  }

  // vaultrun-restore --verify of an archive on a remote, with the rclone
  // settings of the program's settings file: the verdict's first word. The
  // fetched copy is gone afterwards.
  std::string RestoreVerdict(const std::string& remote_archive) {
    test::TempDir temp;
    std::string output;
    RunCommand("TMPDIR='" + temp.path() + "' VAULTRUN_REGISTRY='" + folder_.settings_path() + "' " +
                   VAULTRUN_RESTORE_BINARY + " --no-defaults -uroot -S '" +
                   TestServer::Get().socket() + "' --verify '" + remote_archive + "' 2>&1",
               &output);
    EXPECT_TRUE(fs::is_empty(temp.path())) << output;
    return output.substr(0, output.find(':'));
  }

  SftpServer server_;
  ProgramFolder folder_;
  std::string database_;
};

TEST_F(OffsiteTest, ArchiveArrivesByteIdenticalAndThroughCryptUnreadable) {
  Settings("nas:backups");
  ASSERT_EQ(0, Run()) << ::testing::PrintToString(folder_.Entries());
  EXPECT_TRUE(folder_.Entries().empty());
  std::vector<std::string> local = LocalNames();
  ASSERT_EQ(1u, local.size());
  EXPECT_EQ(local, RemoteNames("backups/" + database_));  // nothing .partial left
  EXPECT_EQ(Local(local[0]), OnServer(local[0]));
  // vaultrun-restore reads it straight from the remote.
  EXPECT_EQ("OK", RestoreVerdict("nas:backups/" + database_ + "/" + local[0]));
  EXPECT_EQ("vaultrun-restore", RestoreVerdict("nas:backups/" + database_ + "/none.zip"));

  // Through crypt: the archive the remote lacks comes too, oldest first.
  Settings("secret:");
  ASSERT_EQ(0, Run()) << ::testing::PrintToString(folder_.Entries());
  local = LocalNames();
  ASSERT_EQ(2u, local.size());
  for (const std::string& name : local) {
    std::string decrypted;
    ASSERT_EQ(0, RunCommand("rclone --config '" + Config() + "' cat 'secret:" + database_ + "/" +
                                name + "'",
                            &decrypted));
    EXPECT_EQ(Local(name), decrypted) << name;
  }
  size_t stored = 0;
  for (const auto& entry : fs::recursive_directory_iterator(server_.root() + "/encrypted")) {
    if (!entry.is_regular_file()) continue;
    ++stored;
    EXPECT_NE(".zip", entry.path().extension());
    EXPECT_NE(0, RunCommand("python3 -c 'import sys, zipfile; "
                            "sys.exit(0 if zipfile.is_zipfile(sys.argv[1]) else 1)' '" +
                            entry.path().string() + "'"));
    EXPECT_NE(Local(local[0]).substr(0, 4), ReadFileOrDie(entry.path()).substr(0, 4));
  }
  EXPECT_EQ(2u, stored);
  EXPECT_EQ("OK", RestoreVerdict("secret:" + database_ + "/" + local[1]));
}

TEST_F(OffsiteTest, ServerDownFailsTheRunWithOneEntryAndTheNextRunCatchesUp) {
  // A connection string: its password must never reach an entry.
  const std::string obscured = Obscure(kPassword);
  const std::string remote = ":sftp,host=127.0.0.1,port=" + std::to_string(server_.port()) +
                             ",user=" + kUser + ",pass=" + obscured + ":backups";
  Settings(remote, "\"keep_runs\"=\"1\"\r\n\"offsite_keep_runs\"=\"0\"\r\n");
  server_.Stop();
  // rclone's retries of the connection, a second each by default, kept short.
  const std::vector<std::pair<std::string, std::string>> quick = {
      {"RCLONE_LOW_LEVEL_RETRIES", "1"}};
  for (size_t run = 1; run <= 2; ++run) {
    EXPECT_EQ(1, Run(quick));
    std::vector<std::string> entries = folder_.Entries();
    ASSERT_EQ(1u, entries.size()) << ::testing::PrintToString(entries);
    EXPECT_EQ(0u, entries[0].find("1\tVaultrun: off-site copy to :sftp:backups failed: rclone "))
        << entries[0];
    EXPECT_NE(std::string::npos, entries[0].find("connection refused")) << entries[0];
    EXPECT_EQ(std::string::npos, entries[0].find(obscured)) << entries[0];
    EXPECT_EQ(std::string::npos, entries[0].find("pass=")) << entries[0];
    // The run's archive stays whole and marked; keep_runs deletes nothing
    // that has not reached the remote.
    ASSERT_EQ(run, LocalNames().size());
    const std::string archive = folder_.Sub("backup/" + database_ + "/" + LocalNames().back());
    EXPECT_TRUE(ProgramFolder::ArchiveTestsClean(archive));
    std::string comment;
    RunCommand("unzip -z '" + archive + "'", &comment);
    EXPECT_NE(std::string::npos, comment.find(kMarkLastLine));
  }

  server_.Start();
  std::vector<std::string> before = LocalNames();
  std::vector<std::string> contents;
  for (const std::string& name : before) contents.push_back(Local(name));
  ASSERT_EQ(0, Run()) << ::testing::PrintToString(folder_.Entries());
  EXPECT_TRUE(folder_.Entries().empty());
  std::vector<std::string> after = LocalNames();
  ASSERT_EQ(1u, after.size());  // keep_runs 1, now that all are off-site
  std::vector<std::string> remote_names = before;
  remote_names.push_back(after[0]);
  EXPECT_EQ(remote_names, RemoteNames("backups/" + database_));
  for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(contents[i], OnServer(before[i]));
}

TEST_F(OffsiteTest, RemoteKeepsTheNewestTwoCompleteArchives) {
  Settings("nas:backups", "\"offsite_keep_runs\"=\"2\"\r\n");
  // Neither another file nor an archive that is not whole is ever deleted.
  fs::create_directories(server_.root() + "/backups/" + database_);
  test::WriteFileOrDie(server_.root() + "/backups/" + database_ + "/notes.txt", "mine");
  test::WriteFileOrDie(server_.root() + "/backups/" + database_ + "/20000101000000.zip",
                       "PK\x03\x04 cut off");
  for (int run = 0; run < 5; ++run) {
    ASSERT_EQ(0, Run()) << ::testing::PrintToString(folder_.Entries());
  }
  std::vector<std::string> local = LocalNames();
  ASSERT_EQ(5u, local.size());  // no local keep_runs: all stay here
  EXPECT_EQ((std::vector<std::string>{"20000101000000.zip", local[3], local[4], "notes.txt"}),
            RemoteNames("backups/" + database_));
}

TEST_F(OffsiteTest, KillDuringTheCopyLeavesNoArchiveNameAndTheNextRunCompletesIt) {
  // About 2 MB that does not compress, sent at 256 kB/s: time to kill.
  TestServer::Get().CreateTable(database_, "noise", "id INT, data BLOB");
  TestServer::Get().Admin("USE `" + database_ + "`");
  TestServer::Get().Admin("INSERT INTO noise SELECT seq, RANDOM_BYTES(1024) FROM seq_1_to_2000");
  Settings("nas:backups");
  const std::string remote_folder = server_.root() + "/backups/" + database_;
  {
    ProgramChild child(folder_, "", {{"RCLONE_BWLIMIT", "256k"}});
    ASSERT_TRUE(test::WaitFor(
        [&] {
          for (const std::string& name : RemoteNames("backups/" + database_)) {
            if (name.size() > 8 && name.substr(name.size() - 8) == ".partial" &&
                fs::file_size(remote_folder + "/" + name) > 0) {
              return true;
            }
          }
          return false;
        },
        std::chrono::seconds(60)));
    child.Kill();
  }
  std::vector<std::string> local = LocalNames();
  ASSERT_EQ(1u, local.size());
  EXPECT_EQ(std::vector<std::string>{local[0] + ".partial"}, RemoteNames("backups/" + database_));
  // rclone died with the program: the upload does not go on.
  const auto partial_size = fs::file_size(remote_folder + "/" + local[0] + ".partial");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(partial_size, fs::file_size(remote_folder + "/" + local[0] + ".partial"));
  EXPECT_LT(partial_size, fs::file_size(folder_.Sub("backup/" + database_ + "/" + local[0])));

  ASSERT_EQ(0, Run()) << ::testing::PrintToString(folder_.Entries());
  local = LocalNames();
  ASSERT_EQ(2u, local.size());
  EXPECT_EQ(local, RemoteNames("backups/" + database_));
  for (const std::string& name : local) EXPECT_EQ(Local(name), OnServer(name));
}

}  // namespace
}  // namespace vaultrun
