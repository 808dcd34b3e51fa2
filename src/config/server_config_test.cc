#include "config/server_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>

#include "config/registry.h"
#include "config/settings.h"
#include "core/failure.h"
#include "core/report.h"
#include "fakes.h"
#include "test_util.h"

namespace vaultrun {
namespace {

const std::array<std::string, 4> kDefaultLists = {
    "mysql_server_ip,login_server_ip", "mysql_char_db,login_server_db",
    "mysql_server_id,login_server_id", "mysql_server_pw,login_server_pw"};

ServerConfigValues Parse(std::string_view text) { return ParseServerConfig(text, kDefaultLists); }

TEST(ParseServerConfig, LaterMatchingLinesWinEvenWhenEmpty) {
  ServerConfigValues v = Parse(
      "login_server_ip: 10.0.0.1\r\n"
      "mysql_server_ip: 10.0.0.2\r\n"
      "mysql_char_db: ragnarok\r\n"
      "mysql_server_id: Ragnarok\r\n"
      "mysql_server_pw: Secret\r\n"
      "login_server_pw:\r\n");
  EXPECT_EQ("10.0.0.2", v.values[kParamServer]);
  EXPECT_EQ("ragnarok", v.values[kParamDatabase]);
  EXPECT_EQ("Ragnarok", v.values[kParamUser]);  // values keep their case
  EXPECT_EQ("", v.values[kParamPassword]);
  EXPECT_TRUE(v.unreadable_lines.empty());
}

TEST(ParseServerConfig, KeysAndValuesAreCutAsTheFileWritesThem) {
  ServerConfigValues v = Parse(
      "  MySQL_Server_IP   :   db.example:3306  \r\n"  // capitals, spaces, a port
      "mysql_server_id\t: tabbed\r\n"                  // a tab is part of the key
      "mysql_char_db:\tTabbed Value\t\r\n"
      "mysql_server_pw: a:b:c\r\n");
  EXPECT_EQ("db.example", v.values[kParamServer]);
  EXPECT_EQ("", v.values[kParamUser]);
  EXPECT_EQ("\tTabbed Value\t", v.values[kParamDatabase]);
  EXPECT_EQ("a", v.values[kParamPassword]);
}

TEST(ParseServerConfig, KeyListsAreCutAtCommasOnly) {
  std::array<std::string, 4> lists = {"mysql_server_ip, login_server_ip", "", "a,", "Upper"};
  ServerConfigValues v =
      ParseServerConfig("login_server_ip: one\r\n:empty key\r\nupper: x\r\nUpper: y\r\n", lists);
  EXPECT_EQ("", v.values[kParamServer]);         // " login_server_ip" never equals a key
  EXPECT_EQ("", v.values[kParamDatabase]);       // an empty list has no elements
  EXPECT_EQ("empty key", v.values[kParamUser]);  // "a," holds an empty element
  EXPECT_EQ("y", v.values[kParamPassword]);      // the last line whose key matches
  v = ParseServerConfig("mysql_server_ip: two\r\n", lists);
  EXPECT_EQ("two", v.values[kParamServer]);
}

// A list key written with capitals matches the file's key in any case:
// both sides are lower-cased alike.
TEST(ParseServerConfig, KeyListsInCapitalsMatch) {
  std::array<std::string, 4> lists = {"mysql_server_ip", "Char_DB,login_server_db", "", ""};
  EXPECT_EQ("game", ParseServerConfig("Char_DB: game\r\n", lists).values[kParamDatabase]);
  EXPECT_EQ("game", ParseServerConfig("CHAR_db: game\r\n", lists).values[kParamDatabase]);
  EXPECT_EQ("", ParseServerConfig("Char DB: game\r\n", lists).values[kParamDatabase]);
}

TEST(ParseServerConfig, LinesCommentsAndUnreadableLines) {
  std::array<std::string, 4> lists = {"//mysql_server_ip", "mysql_char_db", "", ""};
  ServerConfigValues v = ParseServerConfig(
      "//mysql_server_ip: commented\n"  // 1: a comment
      "\n"                              // 2
      "no colon here\r\n"               // 3
      " //mysql_server_ip: live\n"      // 4: not a comment
      "mysql_char_db: a\rb: c\r\n"      // 5: a lone CR is an ordinary character
      "\r\n"                            // 6
      " /x\n"                           // 7
      "last line without end",          // 8
      lists);
  EXPECT_EQ("live", v.values[kParamServer]);
  EXPECT_EQ("a\rb", v.values[kParamDatabase]);
  EXPECT_EQ((std::vector<size_t>{3, 7, 8}), v.unreadable_lines);
}

// Hostile sizes: a 10 MB line (value, key, or neither) is read in one
// linear pass; the figure is printed, not asserted.
TEST(ParseServerConfig, TenMegabyteLines) {
  const std::string huge(10 << 20, 'x');
  auto start = std::chrono::steady_clock::now();
  ServerConfigValues v = Parse("mysql_server_ip: " + huge + "\r\nmysql_char_db: db\r\n");
  EXPECT_EQ(huge, v.values[kParamServer]);
  EXPECT_EQ("db", v.values[kParamDatabase]);
  v = Parse(huge + ": value\n" + huge + "\nmysql_server_pw:" + huge + ":" + huge);
  EXPECT_TRUE(v.values[kParamServer].empty());
  EXPECT_EQ(huge, v.values[kParamPassword]);
  EXPECT_EQ(std::vector<size_t>{2}, v.unreadable_lines);
  std::string colons(10 << 20, ':');
  v = Parse(colons + "\n" + std::string(10 << 20, '\n'));
  EXPECT_TRUE(v.unreadable_lines.empty());
  auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start);
  std::printf("[ figure ] three 10 MB configuration texts parsed in %.0f ms\n", ms.count());
}

TEST(ConfigFilePath, RelativeBelowTheProgramFolderAbsoluteOnlyWithADriveOrShare) {
  const std::string prog = "C:\\Program Files\\Vaultrun";
  const std::array<std::pair<const char*, std::string>, 7> windows = {{
      {"conf\\inter_kelvane.conf", prog + "\\conf\\inter_kelvane.conf"},
      {"..\\..\\Games\\conf\\k.conf", prog + "\\..\\..\\Games\\conf\\k.conf"},
      {"D:\\Games\\Kelvane\\conf\\k.conf", "D:\\Games\\Kelvane\\conf\\k.conf"},
      {"d:/Games/k.conf", "d:/Games/k.conf"},
      {"\\\\files\\games\\conf\\k.conf", "\\\\files\\games\\conf\\k.conf"},
      {"\\\\?\\D:\\conf\\k.conf", "\\\\?\\D:\\conf\\k.conf"},
      {"conf:k.conf", prog + "\\conf:k.conf"},
  }};
  for (const auto& [name, path] : windows) EXPECT_EQ(path, ConfigFilePath(prog, name, '\\'));
  // On POSIX every name is below the program folder, as it always was.
  EXPECT_EQ("/srv/k/C:/conf", ConfigFilePath("/srv/k", "C:/conf", '/'));
  EXPECT_EQ("/srv/k/conf/k.conf", ConfigFilePath("/srv/k", "conf/k.conf", '/'));
}

class LoadServerConfigTest : public ::testing::Test {
 protected:
  LoadServerConfigTest() {
    EXPECT_EQ(0, ::mkdir(program_.c_str(), 0700));
    EXPECT_EQ(0, ::mkdir((program_ + "/conf").c_str(), 0700));
    process_.env = &env_;
    process_.event_log = &log_;
    process_.settings = settings_.get();
  }
  void WriteConfig(const std::string& text, const std::string& name = "conf/inter_kelvane.conf") {
    test::WriteFileOrDie(program_ + "/" + name, text);
  }
  std::string Setting(const std::string& name) {
    return settings_->ReadRegString(kHkeyLocalMachine, kSettingsKey, name, "<none>");
  }
  // Reads the settings and the file under the one failure path; true when
  // it failed.
  bool Load() {
    return RunReported(process_, [&] { LoadServerConfig(process_, ReadRunSettings(process_)); });
  }

  test::TempDir dir_;
  std::string program_ = dir_.Sub("prog");
  std::unique_ptr<Env> real_ = NewDefaultEnv();
  test::FaultEnv env_{real_.get(), program_};
  test::RecordingEventLog log_;
  std::unique_ptr<SettingsStore> settings_ =
      NewRegFileSettingsStore(&env_, dir_.Sub("etc/vaultrun.reg"));
  Process process_;
};

const char kFullConfig[] =
    "// inter server\r\n"
    "login_server_ip: 127.0.0.1\r\n"
    "login_server_db: Ragnarok\r\n"
    "login_server_id: ragnarok\r\n"
    "login_server_pw: pw\r\n";

TEST_F(LoadServerConfigTest, ReadsTheFileAndSeedsTheSettings) {
  WriteConfig(kFullConfig);
  EXPECT_FALSE(Load());
  EXPECT_TRUE(log_.entries.empty());
  EXPECT_FALSE(process_.Failed);
  EXPECT_EQ("127.0.0.1", process_.DbServer);
  EXPECT_EQ("Ragnarok", process_.DbName);
  EXPECT_EQ("ragnarok", process_.DbUser);
  EXPECT_EQ("pw", process_.DbPassword);
  EXPECT_EQ("conf/inter_kelvane.conf", process_.ConfigFileName);
  EXPECT_EQ(kDefaultLists, process_.KeyLists);
  EXPECT_EQ("conf/inter_kelvane.conf", Setting("config_filename"));
  EXPECT_EQ("mysql_server_ip,login_server_ip", Setting("field_ip"));
  EXPECT_EQ("mysql_char_db,login_server_db", Setting("field_database"));
  EXPECT_EQ("mysql_server_id,login_server_id", Setting("field_username"));
  EXPECT_EQ("mysql_server_pw,login_server_pw", Setting("field_password"));
  EXPECT_EQ(program_ + "/backup/", process_.BackupFolder);
  EXPECT_EQ(program_ + "/backup/", Setting("ragnarok_path"));
  EXPECT_TRUE(env_.FolderExists(program_ + "/backup"));
}

TEST_F(LoadServerConfigTest, UsesTheConfiguredFileAndKeyLists) {
  ASSERT_TRUE(WriteRegString(process_, kSettingsKey, "config_filename", "  /other.conf "));
  ASSERT_TRUE(WriteRegString(process_, kSettingsKey, "field_ip", " host "));
  ASSERT_TRUE(WriteRegString(process_, kSettingsKey, "field_database", "db"));
  ASSERT_TRUE(WriteRegString(process_, kSettingsKey, "field_username", "user"));
  ASSERT_TRUE(WriteRegString(process_, kSettingsKey, "field_password", "   "));
  WriteConfig("HOST: h\nDB: d\nuser: u\nmysql_server_pw: p\n", "other.conf");
  EXPECT_FALSE(Load());
  EXPECT_TRUE(log_.entries.empty());
  EXPECT_EQ("other.conf", process_.ConfigFileName);
  EXPECT_EQ("  /other.conf ", Setting("config_filename"));  // present text is not rewritten
  EXPECT_EQ("mysql_server_pw,login_server_pw", Setting("field_password"));
  EXPECT_EQ((std::array<std::string, 4>{"host", "db", "user", "mysql_server_pw,login_server_pw"}),
            process_.KeyLists);
  EXPECT_EQ("h", process_.DbServer);
  EXPECT_EQ("d", process_.DbName);
  EXPECT_EQ("u", process_.DbUser);
  EXPECT_EQ("p", process_.DbPassword);
}

TEST_F(LoadServerConfigTest, AMissingFileEndsTheProcess) {
  EXPECT_TRUE(Load());
  ASSERT_EQ(1u, log_.entries.size());
  EXPECT_EQ("Error: Can't open " + program_ + "/conf/inter_kelvane.conf", log_.entries[0].text);
  EXPECT_EQ(kEventError, log_.entries[0].type);
  EXPECT_TRUE(process_.Failed);
  // The settings were seeded before the file was looked for.
  EXPECT_EQ("conf/inter_kelvane.conf", Setting("config_filename"));
}

TEST_F(LoadServerConfigTest, AFolderAtThePathIsReportedOnce) {
  // A folder is no file: like a missing file, one entry.
  std::string path = program_ + "/conf/inter_kelvane.conf";
  ASSERT_EQ(0, ::mkdir(path.c_str(), 0700));
  EXPECT_TRUE(Load());
  ASSERT_EQ(1u, log_.entries.size());
  EXPECT_EQ("Error: Can't open " + path, log_.entries[0].text);
  EXPECT_EQ(kEventError, log_.entries[0].type);
}

TEST_F(LoadServerConfigTest, EachMissingParameterHasItsMessage) {
  const std::array<std::pair<const char*, const char*>, 4> cases = {{
      {"login_server_ip",
       "Can't find MySql IP (mysql_server_ip or login_server_ip) in inter_kelvane.conf"},
      {"login_server_id",
       "Can't find MySql user (mysql_server_id or login_server_id) in inter_kelvane.conf"},
      {"login_server_pw",
       "Can't find MySql pwd (mysql_server_pw or login_server_pw) in inter_kelvane.conf"},
      {"login_server_db",
       "Can't find MySql database name (mysql_char_db or login_server_db) in "
       "inter_kelvane.conf"},
  }};
  for (const auto& [key, message] : cases) {
    std::string text = kFullConfig;
    text.replace(text.find(key), 1, "x");
    WriteConfig(text);
    log_.entries.clear();
    EXPECT_TRUE(Load()) << key;
    ASSERT_EQ(1u, log_.entries.size()) << key;
    EXPECT_EQ(message, log_.entries[0].text);
    EXPECT_EQ(kEventError, log_.entries[0].type);
  }
  EXPECT_FALSE(env_.Exists(program_ + "/backup"));

  // With all four missing, only the first check reports.
  WriteConfig("// nothing here\r\n");
  log_.entries.clear();
  EXPECT_TRUE(Load());
  ASSERT_EQ(1u, log_.entries.size());
  EXPECT_EQ(cases[0].second, log_.entries[0].text);
}

}  // namespace
}  // namespace vaultrun
