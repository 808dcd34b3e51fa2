// The line checks of the data forms and the command line, without a server.
#include "restore/data_lines.h"

#include <gtest/gtest.h>

#include "archive/reader.h"
#include "restore/command.h"

namespace vaultrun::restore {
namespace {

std::vector<std::string> SplitAll(const std::vector<std::string>& chunks, bool* whole) {
  LineSplitter splitter;
  std::vector<std::string> lines;
  for (const std::string& chunk : chunks) {
    splitter.Add(chunk);
    std::string_view line;
    while (splitter.Next(&line)) lines.emplace_back(line);
  }
  *whole = splitter.Finish();
  return lines;
}

TEST(LineSplitter, CutsAtCrLfWhereverTheChunksEnd) {
  bool whole = false;
  EXPECT_EQ((std::vector<std::string>{"one", "", "two\nstill two", "three\r"}),
            SplitAll({"on", "e\r", "\n\r\ntwo\nstill", " two\r\nthree\r\r\n"}, &whole));
  EXPECT_TRUE(whole);
  EXPECT_EQ((std::vector<std::string>{"a"}), SplitAll({"a\r\nb"}, &whole));
  EXPECT_FALSE(whole);
  EXPECT_TRUE(SplitAll({}, &whole).empty());
  EXPECT_TRUE(whole);
  // A line far longer than a chunk.
  std::string big(3 << 20, 'x');
  std::vector<std::string> chunks;
  for (size_t at = 0; at < big.size(); at += 1000) chunks.push_back(big.substr(at, 1000));
  chunks.push_back("\r\n");
  auto lines = SplitAll(chunks, &whole);
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(big, lines[0]);
}

TEST(TabSeparatedChecker, PassesWholeSoundLinesOnly) {
  TabSeparatedChecker checker;
  ASSERT_TRUE(checker.Add("id\tname\t\r\n1\tan\nna\t\r\n2\t"));
  EXPECT_EQ((std::vector<std::string>{"id", "name"}), checker.columns());
  EXPECT_EQ("id\tname\t\r\n1\tan\nna\t\r\n", checker.ready());
  EXPECT_EQ(1u, checker.rows());
  checker.ready().clear();
  ASSERT_TRUE(checker.Add("\t\r\n"));
  EXPECT_EQ("2\t\t\r\n", checker.ready());
  EXPECT_TRUE(checker.Finish());
  EXPECT_EQ(2u, checker.rows());

  TabSeparatedChecker extra;
  EXPECT_FALSE(extra.Add("a\tb\t\r\n1\t2\t\r\n3\tx\ty\t\r\n4\t5\t\r\n"));
  EXPECT_EQ(
      "line 3: 3 fields where the header has 2 (a value holding a TAB or CR LF cannot be "
      "restored from the tab-separated form)",
      extra.error());
  EXPECT_EQ("a\tb\t\r\n1\t2\t\r\n", extra.ready());  // the bad line is held back
  EXPECT_FALSE(extra.Add("5\t6\t\r\n"));

  TabSeparatedChecker missing_tab;
  EXPECT_FALSE(missing_tab.Add("a\tb\t\r\n1\t2\r\n"));
  EXPECT_EQ(0u, missing_tab.error().find("line 2: 2 fields where the header has 2"));

  TabSeparatedChecker cut;
  EXPECT_TRUE(cut.Add("a\t\r\n1\t\r\n2\t"));
  EXPECT_FALSE(cut.Finish());
  EXPECT_EQ("line 3 is cut short (the data ends without CR LF)", cut.error());

  TabSeparatedChecker empty;
  EXPECT_FALSE(empty.Finish());
  EXPECT_EQ("no header line", empty.error());
  TabSeparatedChecker no_header;
  EXPECT_FALSE(no_header.Add("insert into `t` values (1);\r\n"));
}

TEST(ParseEntryName, TakesDataEntriesOnly) {
  auto entry = ParseEntryName("game/inventory.v2.sql");
  ASSERT_TRUE(entry);
  EXPECT_EQ("game", entry->database);
  EXPECT_EQ("inventory.v2", entry->table);
  EXPECT_EQ(DataForm::kSql, entry->form);
  entry = ParseEntryName("game/chat log.csv");
  ASSERT_TRUE(entry);
  EXPECT_EQ("chat log", entry->table);
  EXPECT_EQ(DataForm::kTabSeparated, entry->form);
  for (const char* other : {"game/", "inventory.sql", "/x.sql", "game/sub/x.sql", "game/.sql",
                            "game/x.txt", "game/x.SQL"}) {
    EXPECT_FALSE(ParseEntryName(other)) << other;
  }
}

std::optional<CommandLine> Parse(const std::vector<std::string>& args, std::string* error) {
  error->clear();
  return ParseCommandLine(args, error);
}

TEST(ParseCommandLine, TakesTheOptionsOfMariaDbClients) {
  std::string error;
  auto line = Parse({"-h", "db.local", "--port=3307", "-uadmin", "--socket", "/run/s.sock",
                     "backup.zip", "--database=game", "inventory", "--force", "-p", "chars",
                     "--allow-triggers", "--definer='app'@'%'"},
                    &error);
  ASSERT_TRUE(line) << error;
  EXPECT_EQ("db.local", line->connect.host.value_or(""));
  EXPECT_EQ(3307u, line->connect.port);
  EXPECT_EQ("admin", line->connect.user.value_or(""));
  EXPECT_EQ("/run/s.sock", line->connect.socket.value_or(""));
  EXPECT_EQ("backup.zip", line->archive);
  EXPECT_EQ("game", line->database);
  EXPECT_EQ((std::vector<std::string>{"inventory", "chars"}), line->tables);
  EXPECT_TRUE(line->force);
  EXPECT_TRUE(line->allow_triggers);
  EXPECT_EQ((Account{"app", "%"}), line->definer);
  EXPECT_TRUE(line->prompt_password);
  EXPECT_FALSE(line->password_on_command_line);
  EXPECT_FALSE(line->connect.password);
  EXPECT_TRUE(line->connect.read_option_files);

  line = Parse({"-psecret", "-D", "game", "--no-defaults", "--", "-odd.zip"}, &error);
  ASSERT_TRUE(line) << error;
  EXPECT_EQ("secret", line->connect.password.value_or(""));
  EXPECT_TRUE(line->password_on_command_line);
  EXPECT_FALSE(line->connect.read_option_files);
  EXPECT_EQ("-odd.zip", line->archive);
  line = Parse({"--password=", "a.zip", "--database", "g"}, &error);
  ASSERT_TRUE(line) << error;
  EXPECT_EQ("", line->connect.password.value_or("unset"));

  line = Parse({"--verify", "--source-database=live", "--defaults-file=/etc/v.cnf", "a.zip",
                "--definer", "`odd``user`@localhost"},
               &error);
  ASSERT_TRUE(line) << error;
  EXPECT_TRUE(line->verify);
  EXPECT_EQ((Account{"odd`user", "localhost"}), line->definer);
  EXPECT_EQ("live", line->source_database);
  EXPECT_EQ("/etc/v.cnf", line->connect.defaults_file);
  EXPECT_TRUE(Parse({"--help"}, &error)->help);
  EXPECT_TRUE(Parse({"-?"}, &error)->help);
}

TEST(ParseCommandLine, ReportsBadUsage) {
  std::string error;
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "no archive named"},
      {{"a.zip"}, "--database=DB is required: the database to restore into"},
      {{"a.zip", "--port=0", "-Dg"}, "--port needs a number from 1 to 65535, not '0'"},
      {{"a.zip", "-P", "33x", "-Dg"}, "--port needs a number from 1 to 65535, not '33x'"},
      {{"a.zip", "-Dg", "--frobnicate"}, "unknown option --frobnicate"},
      {{"a.zip", "-Dg", "-x"}, "unknown option -x"},
      {{"a.zip", "-Dg", "--force=yes"}, "--force takes no value"},
      {{"a.zip", "--database"}, "--database needs a value"},
      {{"--verify", "a.zip", "-Dg"},
       "--verify restores the whole archive into a scratch database: it takes neither "
       "--database, table names nor --allow-triggers"},
      {{"--verify", "a.zip", "t1"},
       "--verify restores the whole archive into a scratch database: it takes neither "
       "--database, table names nor --allow-triggers"},
      {{"--verify", "a.zip", "--allow-triggers"},
       "--verify restores the whole archive into a scratch database: it takes neither "
       "--database, table names nor --allow-triggers"},
      {{"a.zip", "-Dg", "--definer=kelvane"},
       "--definer needs an account as USER@HOST (kelvane@localhost, 'kelvane'@'%'), not "
       "'kelvane'"},
      {{"a.zip", "-Dg", "--definer='k'@"},
       "--definer needs an account as USER@HOST (kelvane@localhost, 'kelvane'@'%'), not "
       "''k'@'"},
      {{"a.zip", "-Dg", "--source-database=x"}, "--source-database is only used with --verify"},
  };
  for (const auto& [args, expected] : cases) {
    EXPECT_FALSE(Parse(args, &error)) << ::testing::PrintToString(args);
    EXPECT_EQ(expected, error) << ::testing::PrintToString(args);
  }
}

}  // namespace
}  // namespace vaultrun::restore
