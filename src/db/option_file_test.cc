#include "db/option_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vaultrun::db {
namespace {

// "key=value" (or "key" for a bare one, "!include path") per parsed line.
std::vector<std::string> Lines(const ParsedOptionFile& parsed) {
  std::vector<std::string> out;
  for (const OptionLine& line : parsed.lines) {
    std::string text = line.kind == OptionLine::Kind::kOption    ? line.key
                       : line.kind == OptionLine::Kind::kInclude ? "!include"
                                                                 : "!includedir";
    if (line.value) text += (line.kind == OptionLine::Kind::kOption ? "=" : " ") + *line.value;
    out.push_back(text + "@" + std::to_string(line.line));
  }
  return out;
}

TEST(OptionFile, ReadsTheClientGroupsAsMariaDbClientsDo) {
  const ParsedOptionFile parsed = ParseOptionFile(
      "\xEF\xBB\xBF# my.ini\r\n"
      "[mysqld]\r\n"
      "port = 3307\r\n"
      "  [ Client ]  # the clients' group\r\n"
      "host = db.example  \r\n"
      "port=3306 # a comment after the value\r\n"
      "ssl_verify_server_cert\r\n"
      "loose-ssl-ca = \"C:/certs/ca file.pem\"\r\n"
      "password = 'pa#ss\\sword \\\\ \\x'\r\n"
      "; another comment\r\n"
      "user = \"\"\r\n"
      "!include C:\\ProgramData\\more.ini\r\n"
      "!includedir   /etc/mysql/conf.d/  \n"
      "[mysql]\n"
      "default-auth = elsewhere\n"
      "[client-mariadb]\n"
      "socket=/run/mysqld/mysqld.sock\n",
      {"client", "client-mariadb"});
  EXPECT_TRUE(parsed.unreadable.empty());
  EXPECT_EQ((std::vector<std::string>{
                "host=db.example@5", "port=3306@6", "ssl-verify-server-cert@7",
                "ssl-ca=C:/certs/ca file.pem@8", "password=pa#ss word \\ \\x@9", "user=@11",
                "!include C:\\ProgramData\\more.ini@12", "!includedir /etc/mysql/conf.d/@13",
                "socket=/run/mysqld/mysqld.sock@17"}),
            Lines(parsed));
}

TEST(OptionFile, ReportsTheLinesItCannotRead) {
  const ParsedOptionFile parsed = ParseOptionFile(
      "host=before-any-group\n"
      "[client\n"
      "[client]\n"
      "= value\n"
      "!include\n"
      "!exec calc.exe\n"
      "port=3306\n",
      {"client"});
  EXPECT_EQ((std::vector<std::string>{"line 1: an option before the first [group]",
                                      "line 2: a group name without ]",
                                      "line 4: a value without an option name",
                                      "line 5: not !include FILE or !includedir FOLDER",
                                      "line 6: not !include FILE or !includedir FOLDER"}),
            parsed.unreadable);
  EXPECT_EQ((std::vector<std::string>{"port=3306@7"}), Lines(parsed));
  EXPECT_TRUE(ParseOptionFile("", {"client"}).lines.empty());
}

}  // namespace
}  // namespace vaultrun::db
