// vaultrun's command line as an operator uses it: the forms that ask the
// program something (exact exit statuses, and nothing written), and where
// a failed run's text goes besides the event log.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

#include "program_folder.h"
#include "test_db.h"
#include "test_util.h"

namespace vaultrun {
namespace {

namespace fs = std::filesystem;
using test::ProgramFolder;
using test::TestServer;

// Every file and folder below root with its bytes ("" for a folder).
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    tree[entry.path().string()] =
        entry.is_regular_file() ? test::ReadFileOrDie(entry.path().string()) : "";
  }
  return tree;
}

struct Output {
  int status = -1;
  std::string out, err;
};

// The folder's vaultrun with args, its settings and event log in the folder;
// env_words go before the program ("NAME=value ..."), redirect after it.
Output RunVaultrun(const ProgramFolder& folder, const std::string& args,
                   const std::string& env_words = "") {
  test::TempDir streams;
  Output output;
  output.status = test::RunCommand(
      "cd '" + folder.path() + "' && VAULTRUN_REGISTRY='" + folder.settings_path() +
      "' VAULTRUN_EVENT_LOG='" + folder.Sub("events.log") + "' " + env_words + " ./vaultrun " +
      args + " >'" + streams.Sub("out") + "' 2>'" + streams.Sub("err") + "'");
  output.out = test::ReadFileOrDie(streams.Sub("out"));
  output.err = test::ReadFileOrDie(streams.Sub("err"));
  return output;
}

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestServer& server = TestServer::Get();
    database_ = server.CreateDatabase("asked");
    server.CreateTable(database_, "accounts", "id INT PRIMARY KEY, name VARCHAR(20)");
    server.Insert(database_, "accounts", "(1,'aria')");
    server.CreateTable(database_, "chat_log", "id INT");
    server.Admin("CREATE VIEW `" + database_ + "`.top AS SELECT id FROM `" + database_ +
                 "`.accounts");
    server.Admin("CREATE TRIGGER `" + database_ + "`.named BEFORE INSERT ON `" + database_ +
                 "`.accounts FOR EACH ROW SET NEW.name = TRIM(NEW.name)");
  }
  std::string database_;
};

// Each form with its exact exit status; none of them backs up or writes a
// file (no archive, no settings, no flag, no entry).
TEST_F(CommandLineTest, EachFormExitsAsDocumentedAndWritesNothing) {
  TestServer& server = TestServer::Get();
  // An account that may read the tables and nothing more.
  const std::string limited = "lim_" + database_;
  server.Admin("CREATE USER '" + limited + "'@'127.0.0.1' IDENTIFIED BY 'pw'");
  server.Admin("GRANT SELECT ON `" + database_ + "`.* TO '" + limited + "'@'127.0.0.1'");
  // Not even root can create a file in /sys; an ordinary user cannot in
  // a folder without write permission.
  test::TempDir locked;
  const std::string unwritable = geteuid() == 0 ? "/sys/vaultrun-check/" : locked.path() + "/";
  if (geteuid() != 0) fs::permissions(locked.path(), fs::perms::owner_read | fs::perms::owner_exec);
  const std::string flags =
      "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun]\r\n\"chat_log\"=\"1\"\r\n";

  struct Case {
    const char* what;
    std::string args;
    std::string user, password, settings;
    int status;
    std::vector<std::string> out;  // texts the standard output holds
    std::string err;               // a text the standard error holds
  } cases[] = {
      {"help", "--help", "", "", "", 0, {"Usage: vaultrun\n", "--check\n", "--version\n"}, ""},
      {"version", "--version", "", "", "", 0, {"vaultrun 0.1.0\n"}, ""},
      {"unknown option", "--frobnicate", "", "", "", 2, {}, "vaultrun: unknown arguments"},
      {"an argument too many", "--check now", "", "", "", 2, {}, "Try 'vaultrun --help'"},
      {"good setup",
       "--check",
       TestServer::kBackupUser,
       TestServer::kBackupPassword,
       flags,
       0,
       {"ok       connected to 127.0.0.1", "ok       SELECT on every table to back up (1)",
        "  accounts  backed up (no flag yet: the next run sets 0)\n",
        "  chat_log  excluded (flag 1)\n", "  top       view: not backed up", "result: OK\n"},
       ""},
      {"wrong password",
       "--check",
       TestServer::kBackupUser,
       "wrong",
       flags,
       1,
       {"PROBLEM  cannot connect: Access denied for user 'backup'@'127.0.0.1'",
        "result: 1 problem"},
       ""},
      {"missing privileges",
       "--check",
       limited,
       "pw",
       flags + "\r\n[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n"
               "\"lock_tables\"=\"1\"\r\n",
       1,
       {"PROBLEM  LOCK TABLES, which lock_tables needs: Access denied",
        "PROBLEM  the definitions would leave out view `top`: grant SHOW VIEW",
        "PROBLEM  the definitions would leave out triggers of the tables `accounts`, `chat_log`: "
        "grant TRIGGER",
        "PROBLEM  the definitions would leave out events: grant EVENT", "result: 5 problems"},
       ""},
      {"unwritable folder",
       "--check",
       TestServer::kBackupUser,
       TestServer::kBackupPassword,
       "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n\"" + database_ + "_path\"=\"" +
           unwritable + "\"\r\n",
       1,
       {"PROBLEM  backup folder " + unwritable + database_ + "/ cannot be written: ",
        "result: 1 problem"},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProgramFolder folder;
    if (!c.user.empty()) folder.WriteConfFor(database_, c.user, c.password);
    if (!c.settings.empty()) folder.WriteSettings(c.settings);
    const std::map<std::string, std::string> before = Tree(folder.path());
    Output output = RunVaultrun(folder, c.args);
    EXPECT_EQ(c.status, output.status) << output.out << output.err;
    for (const std::string& text : c.out) {
      EXPECT_NE(std::string::npos, output.out.find(text)) << text << "\n---\n" << output.out;
    }
    if (c.err.empty()) {
      EXPECT_EQ("", output.err);
    } else {
      EXPECT_NE(std::string::npos, output.err.find(c.err)) << output.err;
    }
    EXPECT_EQ(before, Tree(folder.path()));
  }
  server.Admin("DROP USER '" + limited + "'@'127.0.0.1'");
}

// A failed run writes its entry's text to standard error too (cron mails
// it), unless standard error is the journal, which has the entry already;
// a successful run stays silent.
TEST_F(CommandLineTest, FailureTextOnStandardErrorUnlessItIsTheJournal) {
  ProgramFolder folder;
  folder.WriteConfFor(database_, TestServer::kBackupUser, "wrong");
  const std::string entry =
      "Vaultrun: Access denied for user 'backup'@'127.0.0.1' (using password: YES)";

  // Under a pipe, as cron runs it.
  std::string piped;
  test::RunCommand("cd '" + folder.path() + "' && { VAULTRUN_REGISTRY='" + folder.settings_path() +
                       "' VAULTRUN_EVENT_LOG='" + folder.Sub("events.log") +
                       "' ./vaultrun 2>&1 >/dev/null; echo \"exit $?\"; } | cat",
                   &piped);
  EXPECT_EQ(entry + "\nexit 1\n", piped);
  EXPECT_EQ((std::vector<std::string>{"1\t" + entry}), folder.Entries());

  // Standard error into a file that JOURNAL_STREAM names: the journal.
  test::TempDir streams;
  const std::string journal = streams.Sub("journal");
  test::WriteFileOrDie(journal, "");
  struct stat st {};
  ASSERT_EQ(0, stat(journal.c_str(), &st));
  const std::string journal_stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  EXPECT_EQ(1, test::RunCommand("cd '" + folder.path() + "' && VAULTRUN_REGISTRY='" +
                                folder.settings_path() + "' VAULTRUN_EVENT_LOG='" +
                                folder.Sub("events.log") + "' JOURNAL_STREAM=" + journal_stream +
                                " ./vaultrun 2>>'" + journal + "'"));
  EXPECT_EQ("", test::ReadFileOrDie(journal));
  EXPECT_EQ(2u, folder.Entries().size());
  // Another stream named there is not this one.
  Output other = RunVaultrun(folder, "", "JOURNAL_STREAM=1:1");
  EXPECT_EQ(1, other.status);
  EXPECT_EQ(entry + "\n", other.err);

  folder.WriteConfFor(database_, TestServer::kBackupUser, TestServer::kBackupPassword);
  Output success = RunVaultrun(folder, "");
  EXPECT_EQ(0, success.status) << success.err;
  EXPECT_EQ("", success.out);
  EXPECT_EQ("", success.err);
}

}  // namespace
}  // namespace vaultrun
