#include "db/client_options.h"

#include <gtest/gtest.h>
#include <mysql.h>

#include <memory>
#include <string>
#include <vector>

#include "core/failure.h"
#include "test_util.h"

namespace vaultrun::db {
namespace {

class ClientOptionsTest : public ::testing::Test {
 protected:
  // Writes through Env, so that a folder name in any characters works.
  void Write(const std::string& path, const std::string& text) {
    std::unique_ptr<File> file;
    ASSERT_TRUE(env_->OpenFile(path, OpenMode::kWriteNew, 0600, &file).ok()) << path;
    ASSERT_TRUE(file->Write(text).ok());
    ASSERT_TRUE(file->Close().ok());
  }
  std::string Path(const std::string& name) const { return dir_.path() + sep_ + name; }

  // "key=value" of each option read, in order.
  std::vector<std::string> Read(const std::string& path, bool named) {
    std::vector<std::string> out;
    for (const ClientOption& option : ReadClientOptions(*env_, path, named)) {
      out.push_back(option.key + "=" + option.value.value_or("<none>"));
    }
    return out;
  }

  // The description of the failure that reading raises ("" when none).
  std::string ReadFailure(const std::string& path, bool named) {
    try {
      ReadClientOptions(*env_, path, named);
    } catch (const Failure& failure) {
      return failure.description();
    }
    return "";
  }

  std::unique_ptr<Env> env_ = NewDefaultEnv();
  char sep_ = env_->Separator();
  test::TempDir dir_;
};

TEST_F(ClientOptionsTest, OnlyAllowedOptionsAndPluginsOnlyFromANamedFile) {
  const std::string folder = Path("J\xC3\xBCrgen \xE6\x97\xA5\xE6\x9C\xAC");  // Jürgen 日本
  ASSERT_TRUE(env_->CreateFolder(folder, 0700).ok());
  ASSERT_TRUE(env_->CreateFolder(folder + sep_ + "conf.d", 0700).ok());
  const std::string my = folder + sep_ + "my.ini";
  Write(my,
        "[client]\n"
        "host=db.example\n"
        "port=3307\n"
        "init-command=DROP DATABASE game\n"
        "local-infile=1\n"
        "plugin-dir=C:/Users/Public/plugins\n"
        "default-auth=planted\n"
        "ssl-verify-server-cert\n"
        "protocol=TCP\n"
        "!include " +
            folder + sep_ +
            "missing.cnf\n"
            "!includedir " +
            folder + sep_ +
            "conf.d\n"
            "user=after-the-includes\n");
  Write(folder + sep_ + "conf.d" + sep_ + "b.cnf", "[client]\nport=3309\n");
  Write(folder + sep_ + "conf.d" + sep_ + "a.ini", "[client-server]\nport=3308\npipe=off\n");
  Write(folder + sep_ + "conf.d" + sep_ + "notes.txt", "[client]\nport=1\n");

  // A file the user did not name (the Windows folder's my.ini): no plugins.
  EXPECT_EQ((std::vector<std::string>{"host=db.example", "port=3307", "ssl-verify-server-cert=1",
                                      "protocol=" + std::to_string(MYSQL_PROTOCOL_TCP), "port=3308",
                                      "pipe=0", "port=3309", "user=after-the-includes"}),
            Read(my, false));
  // A named one may choose the plugin folder and authentication plugin.
  std::vector<std::string> named = Read(my, true);
  EXPECT_EQ(
      (std::vector<std::string>{"host=db.example", "port=3307",
                                "plugin-dir=C:/Users/Public/plugins", "default-auth=planted"}),
      std::vector<std::string>(named.begin(), named.begin() + 4));

  // Missing: nothing when not named, an error when named.
  EXPECT_TRUE(Read(Path("none.ini"), false).empty());
  EXPECT_EQ("option file " + Path("none.ini") + ": not found", ReadFailure(Path("none.ini"), true));

  // What cannot be read or taken is an error that names file and line.
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"port=3306\n", "line 1: an option before the first [group]"},
      {"[client]\nport=70000\n", "line 2: port cannot be \"70000\""},
      {"[client]\nhost\n", "line 2: host cannot be left empty"},
      {"[client]\nssl-enforce=maybe\n", "line 2: ssl-enforce cannot be \"maybe\""},
      {"[client]\nprotocol=carrier-pigeon\n", "line 2: protocol cannot be \"carrier-pigeon\""},
  };
  for (const auto& [text, message] : bad) {
    Write(Path("bad.ini"), text);
    EXPECT_EQ("option file " + Path("bad.ini") + ", " + message,
              ReadFailure(Path("bad.ini"), true));
  }
  // A file that includes itself stops.
  Write(Path("bad.ini"), "!include " + Path("bad.ini") + "\n");
  EXPECT_NE(std::string::npos, ReadFailure(Path("bad.ini"), true).find("levels of !include"));
}

TEST_F(ClientOptionsTest, TheLibraryTakesTheValues) {
  std::unique_ptr<MYSQL, decltype(&mysql_close)> mysql(mysql_init(nullptr), &mysql_close);
  ASSERT_NE(nullptr, mysql);
  ApplyClientOptions(mysql.get(), {{"ssl-ca", "C:/certs/ca.pem"},
                                   {"protocol", std::to_string(MYSQL_PROTOCOL_TCP)},
                                   {"connect-timeout", "12"},
                                   {"ssl-verify-server-cert", "1"}});
  const char* ca = nullptr;
  unsigned int protocol = 0, timeout = 0;
  my_bool verify = 0;
  ASSERT_EQ(0, mysql_get_optionv(mysql.get(), MYSQL_OPT_SSL_CA, &ca));
  ASSERT_EQ(0, mysql_get_optionv(mysql.get(), MYSQL_OPT_PROTOCOL, &protocol));
  ASSERT_EQ(0, mysql_get_optionv(mysql.get(), MYSQL_OPT_CONNECT_TIMEOUT, &timeout));
  ASSERT_EQ(0, mysql_get_optionv(mysql.get(), MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &verify));
  EXPECT_STREQ("C:/certs/ca.pem", ca);
  EXPECT_EQ(static_cast<unsigned>(MYSQL_PROTOCOL_TCP), protocol);
  EXPECT_EQ(12u, timeout);
  EXPECT_EQ(1, verify);
}

}  // namespace
}  // namespace vaultrun::db
