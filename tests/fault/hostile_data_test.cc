// Hostile input at the program level: a 10 MB line in the game server's
// configuration file, table and column names of every odd kind that
// MariaDB accepts, and a 64 MB row, each exported by a whole run and (the
// names and the row) restored exactly with the command that README gives.
#include <gtest/gtest.h>

#include "archive/manifest.h"
#include "fault_util.h"
#include "program_folder.h"
#include "run/definitions.h"
#include "test_db.h"

namespace vaultrun {
namespace {

using test::FaultFigures;
using test::ProgramFolder;
using test::ShellQuote;
using test::TestServer;

std::string Quoted(const std::string& name) {
  std::string out = "`";
  for (char c : name) out += c == '`' ? std::string("``") : std::string(1, c);
  return out + "`";
}

const char kSqlFormat[] =
    "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n\"format_sql\"=\"1\"\r\n";

// Restores table from the archive into target (created LIKE the source)
// with README's command, and checks rows and CHECKSUM TABLE against the
// source. Entries are read with Python's zipfile, which takes any name.
void ExpectRestoresExactly(const std::string& archive, const std::string& source,
                           const std::string& target, const std::string& table,
                           FaultFigures* figures) {
  SCOPED_TRACE("table " + table);
  TestServer& server = TestServer::Get();
  server.Admin("CREATE TABLE " + Quoted(target) + "." + Quoted(table) + " LIKE " + Quoted(source) +
               "." + Quoted(table));
  std::string command =
      "python3 -c 'import sys, zipfile; sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1])"
      ".read(sys.argv[2]))' " +
      ShellQuote(archive) + " " + ShellQuote(source + "/" + table + ".sql") +
      " | mariadb --no-defaults -uroot --socket=" + ShellQuote(server.socket()) +
      " --default-character-set=binary --max-allowed-packet=256M"
      " --init-command=\"SET sql_mode='NO_AUTO_VALUE_ON_ZERO'\" " +
      ShellQuote(target) + " 2>&1";
  std::string output;
  EXPECT_EQ(0, test::RunCommand(command, &output)) << output.substr(0, 2000);
  auto checksum = [&](const std::string& db) {
    std::vector<std::string> sums;
    std::string out;
    test::RunCommand("mariadb --no-defaults -uroot -N --socket=" + ShellQuote(server.socket()) +
                         " -e " +
                         ShellQuote("CHECKSUM TABLE " + Quoted(db) + "." + Quoted(table) +
                                    "; SELECT COUNT(*) FROM " + Quoted(db) + "." + Quoted(table)) +
                         " | cut -f2",
                     &out);
    return out;
  };
  std::string expected = checksum(source);
  std::string restored = checksum(target);
  EXPECT_GT(expected.size(), 3u);
  EXPECT_EQ(expected, restored);
  ++figures->trials;
  if (expected != restored || expected.size() <= 3) ++figures->losses;
}

TEST(HostileInput, TenMegabyteConfigurationLines) {
  TestServer& server = TestServer::Get();
  std::string database = server.CreateDatabase("longline");
  server.CreateTable(database, "t", "id INT");
  server.Insert(database, "t", "(1)");
  const std::string huge(10 << 20, 'x');
  const std::string good = "mysql_server_ip: 127.0.0.1\r\nmysql_char_db: " + database +
                           "\r\nmysql_server_id: " + TestServer::kBackupUser +
                           "\r\nmysql_server_pw: " + TestServer::kBackupPassword + "\r\n";
  struct Case {
    const char* what;
    std::string conf;
    int status;
    std::string entry_start;  // of the one entry, or "" for none
  } cases[] = {
      {"comment", "/" + huge + "\r\n" + good, 0, ""},
      {"other key", "some_key: " + huge + "\r\n" + good, 0, ""},
      {"line without a colon", huge + "\r\n" + good, 0, ""},
      {"password", good + "mysql_server_pw: " + huge + "\r\n", 1,
       "1\tVaultrun: Access denied for user"},
      {"database", good + "mysql_char_db: " + huge + "\r\n", 1, "1\tVaultrun: "},
      {"user", good + "mysql_server_id: " + huge + "\r\n", 1, "1\tVaultrun: "},
      {"no line end", good + "mysql_server_ip: " + huge, 1, "1\tVaultrun: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProgramFolder folder;
    folder.WriteConf(c.conf);
    EXPECT_EQ(c.status, folder.Run());
    auto entries = folder.Entries();
    if (c.entry_start.empty()) {
      EXPECT_TRUE(entries.empty()) << ::testing::PrintToString(entries);
      ASSERT_EQ(1u, folder.Archives(database).size());
      EXPECT_EQ((std::vector<std::string>{database + "/t.csv", kDefinitionsEntry, kManifestEntry}),
                ProgramFolder::EntryNames(folder.Archives(database)[0]));
    } else {
      ASSERT_EQ(1u, entries.size());
      EXPECT_EQ(0u, entries[0].rfind(c.entry_start, 0)) << entries[0].substr(0, 300);
      std::printf("10 MB %s: %zu-byte entry: %s\n", c.what, entries[0].size(),
                  entries[0].substr(0, 120).c_str());
      EXPECT_TRUE(folder.Archives(database).empty());
    }
  }
}

TEST(HostileInput, OddTableAndColumnNamesRestoreExactly) {
  TestServer& server = TestServer::Get();
  FaultFigures figures{"odd-names"};
  const std::string source = server.CreateDatabase("odd names");
  const std::vector<std::string> tables = {
      "it's",
      "say \"hi\"",
      "back`quote",
      "two  blanks",
      " leading blank",
      "caf\xc3\xa9 \xe4\xb8\xad\xe6\x96\x87 \xce\xa3",  // café 中文 Σ
      std::string(64, 'L'),
      std::string(21, 'x') + std::string("\xe4\xb8\xad") + std::string(42, 'y'),  // 64 characters
      "semi;colon -- dash",
      "per%cent $dollar #hash",
      "a.b,c(d)",
      "star*question?[brackets]",
      "tab\there",
      "new\nline",
      "carriage\rreturn",
      "Upper",
  };
  // Columns of the same kinds, and one with the alias suffix of converted
  // long binary columns.
  const std::string columns =
      "`it's` INT, `say \"hi\"` VARCHAR(20), `back``quote` BLOB, `two  blanks` TEXT,"
      " `caf\xc3\xa9 \xe4\xb8\xad` VARCHAR(10), `" +
      std::string(64, 'c') + "` INT, `data___` LONGBLOB, `tab\there` DOUBLE";
  for (const std::string& table : tables) {
    server.CreateTable(source, table, columns);
    server.Insert(source, table,
                  "(1, 'o''brien', X'00275C60', 'line\\nbreak', '\xe4\xb8\xad', 64, X'FF00', 1.5),"
                  "(NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)");
  }
  ProgramFolder folder;
  folder.WriteConfFor(source, TestServer::kBackupUser, TestServer::kBackupPassword);
  folder.WriteSettings(kSqlFormat);
  ASSERT_EQ(0, folder.Run()) << ::testing::PrintToString(folder.Entries());
  auto archives = folder.Archives(source);
  ASSERT_EQ(1u, archives.size());
  ASSERT_TRUE(ProgramFolder::ArchiveTestsClean(archives[0]));
  EXPECT_EQ(tables.size() + 2,
            ProgramFolder::EntryNames(archives[0]).size());  // + definitions, manifest

  // Every table was flagged under its own name, except the names with a
  // line break, which the settings format cannot hold: the file stays
  // readable.
  size_t unreadable = 0;
  auto values = test::SettingsValues(folder.Settings(), &unreadable);
  EXPECT_EQ(0u, unreadable);
  for (const std::string& table : tables) {
    std::string lower = table;
    for (char& c : lower) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
    bool storable = table.find_first_of("\r\n") == std::string::npos;
    EXPECT_EQ(storable ? "s:0" : "",
              values["hkey_local_machine\\software\\cobaltine\\vaultrun|" + lower])
        << table;
  }

  const std::string target = server.CreateDatabase("restored odd");
  for (const std::string& table : tables) {
    ExpectRestoresExactly(archives[0], source, target, table, &figures);
  }
  ++figures.archives;
  figures.Print();
  EXPECT_EQ(0u, figures.losses);
}

TEST(HostileInput, SixtyFourMegabyteRowRestoresExactly) {
  TestServer& server = TestServer::Get();
  FaultFigures figures{"big-row"};
  const std::string source = server.CreateDatabase("bigrow");
  server.CreateTable(source, "huge", "id INT PRIMARY KEY, data LONGBLOB, note VARCHAR(10)");
  // 64 MB holding every byte value, between two small rows.
  server.Admin("INSERT INTO `" + source +
               "`.huge SELECT 2, REPEAT(UNHEX(GROUP_CONCAT(LPAD(HEX(seq),2,'0') ORDER BY seq"
               " SEPARATOR '')), 262144), 'big' FROM `" +
               source + "`.seq_0_to_255");
  server.Insert(source, "huge", "(1, X'00', 'small'), (3, NULL, 'after')");
  EXPECT_EQ("67108864",
            server.AdminQueryOne("SELECT LENGTH(data) FROM `" + source + "`.huge WHERE id = 2"));

  ProgramFolder folder;
  folder.WriteConfFor(source, TestServer::kBackupUser, TestServer::kBackupPassword);
  folder.WriteSettings(kSqlFormat);
  ASSERT_EQ(0, folder.Run()) << ::testing::PrintToString(folder.Entries());
  auto archives = folder.Archives(source);
  ASSERT_EQ(1u, archives.size());
  ASSERT_TRUE(ProgramFolder::ArchiveTestsClean(archives[0]));
  ++figures.archives;

  const std::string target = server.CreateDatabase("bigrow_restored");
  ExpectRestoresExactly(archives[0], source, target, "huge", &figures);
  // The big value itself, compared by the server byte for byte.
  std::string same =
      server.AdminQueryOne("SELECT COUNT(*) FROM `" + source + "`.huge a JOIN `" + target +
                           "`.huge b USING (id) WHERE a.id = 2 AND" + " a.data = b.data");
  EXPECT_EQ("1", same);
  if (same == "1") {
    figures.bytes += 64 << 20;
  } else {
    ++figures.losses;
  }
  figures.Print();
  EXPECT_EQ(0u, figures.losses);
}

}  // namespace
}  // namespace vaultrun
