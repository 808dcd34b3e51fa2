// Rebuilding a database from one archive on a server where it is gone:
// the real program's archives of a game-like database, restored and
// verified with the live database dropped; an account that may not read a
// view; and definitions entries made hostile by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "archive/manifest.h"
#include "core/failure.h"
#include "program_folder.h"
#include "restore/command.h"
#include "restore/definitions.h"
#include "restore/restore.h"
#include "restore/trust.h"
#include "test_db.h"

namespace vaultrun::restore {
namespace {

using test::AdminConnection;
using test::ProgramFolder;
using test::TestServer;

constexpr const char kSettings[] =
    "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]\r\n\"format_sql\"=\"%s\"\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun]\r\n\"scratchpad\"=\"1\"\r\n";

std::string Settings(const char* format_sql) {
  char text[512];
  std::snprintf(text, sizeof text, kSettings, format_sql);
  return text;
}

class DefinitionsTest : public ::testing::Test {
 protected:
  void SetUp() override { source_ = TestServer::Get().CreateDatabase("game"); }

  std::string Backup(ProgramFolder& folder, const std::string& settings,
                     const std::string& user = TestServer::kBackupUser,
                     const std::string& password = TestServer::kBackupPassword) {
    folder.WriteConfFor(source_, user, password);
    folder.WriteSettings(settings);
    EXPECT_EQ(0, folder.Run()) << ::testing::PrintToString(folder.Entries());
    auto archives = folder.Archives(source_);
    EXPECT_EQ(1u, archives.size());
    return archives.empty() ? "" : archives.back();
  }
  // The option that gives the restore the key of folder's installation.
  static std::string KeyOf(const ProgramFolder& folder) {
    return "--key-file='" + folder.key_path() + "' ";
  }
  int RunProgram(const std::string& args, std::string* output) {
    return test::RunCommand(std::string(VAULTRUN_RESTORE_BINARY) + " --no-defaults -uroot -S '" +
                                TestServer::Get().socket() + "' " + args + " 2>&1 </dev/null",
                            output);
  }
  // Every row of a table, every column in hex, in key order.
  std::vector<std::string> HexRows(const std::string& database, const std::string& table) {
    AdminConnection& admin = TestServer::Get().admin();
    std::string columns;
    for (const std::string& column :
         admin.Column("SELECT column_name FROM information_schema.columns WHERE table_schema = '" +
                      database + "' AND table_name = '" + table + "' ORDER BY ordinal_position")) {
      columns += (columns.empty() ? "" : ",") + std::string("IFNULL(HEX(`") + column + "`),'N')";
    }
    return admin.Column("SELECT CONCAT_WS('|'," + columns + ") FROM `" + database + "`.`" + table +
                        "` ORDER BY 1");
  }
  // The database's objects as the server describes them, names of the
  // database taken out.
  std::vector<std::string> Objects(const std::string& database) {
    AdminConnection& admin = TestServer::Get().admin();
    std::string where = " = '" + database + "' ORDER BY 1";
    std::vector<std::string> all;
    for (const std::string& sql :
         {"SELECT CONCAT(table_name, ' ', table_type, ' ', IFNULL(auto_increment, '')) FROM "
          "information_schema.tables WHERE table_schema" +
              where,
          "SELECT CONCAT(table_name, ' ', column_name, ' ', column_type, ' ', extra, ' ', "
          "IFNULL(generation_expression, '')) FROM information_schema.columns WHERE table_schema" +
              where,
          "SELECT CONCAT(table_name, ' ', constraint_name, ' ', referenced_table_name) FROM "
          "information_schema.referential_constraints WHERE constraint_schema" +
              where,
          "SELECT CONCAT(table_name, ' ', REPLACE(view_definition, '`" + database +
              "`.', '')) FROM information_schema.views WHERE table_schema" + where,
          "SELECT CONCAT(trigger_name, ' ', action_timing, ' ', event_manipulation, ' ', "
          "event_object_table, ' ', action_statement) FROM information_schema.triggers WHERE "
          "trigger_schema" +
              where,
          "SELECT CONCAT(routine_name, ' ', routine_type, ' ', routine_definition) FROM "
          "information_schema.routines WHERE routine_schema" +
              where,
          "SELECT CONCAT(event_name, ' ', status, ' ', event_definition) FROM "
          "information_schema.events WHERE event_schema" +
              where,
          "SELECT CONCAT(default_character_set_name, ' ', default_collation_name) FROM "
          "information_schema.schemata WHERE schema_name" +
              where}) {
      for (const std::string& line : admin.Column(sql)) all.push_back(line);
    }
    return all;
  }
  bool Exists(const std::string& database) {
    return TestServer::Get().AdminQueryOne(
               "SELECT COUNT(*) FROM information_schema.schemata WHERE schema_name = '" + database +
               "'") == "1";
  }

  std::string source_;
};

void MakeGameDatabase(const std::string& db) {
  TestServer& server = TestServer::Get();
  server.Admin("ALTER DATABASE `" + db + "` CHARACTER SET latin1 COLLATE latin1_swedish_ci");
  server.Admin("USE `" + db + "`");
  server.Admin("CREATE SEQUENCE ticket START WITH 100 INCREMENT BY 5");
  server.Admin(
      "CREATE TABLE guilds (id INT AUTO_INCREMENT PRIMARY KEY, name VARCHAR(30) CHARACTER SET "
      "utf8mb4, ticket INT DEFAULT NEXTVAL(ticket))");
  server.Admin(
      "CREATE TABLE chars (id INT AUTO_INCREMENT PRIMARY KEY, guild INT, name VARBINARY(20), "
      "lvl INT, power INT AS (lvl * 10) VIRTUAL, tag VARCHAR(40) AS (CONCAT('L', lvl)) STORED, "
      "FOREIGN KEY (guild) REFERENCES guilds (id)) AUTO_INCREMENT = 50");
  server.Admin("CREATE TABLE logbook (id INT AUTO_INCREMENT PRIMARY KEY, msg VARCHAR(60))");
  server.Admin("CREATE TABLE scratchpad (id INT)");
  server.Admin("INSERT INTO scratchpad VALUES (1), (2)");
  server.Admin(
      "CREATE TRIGGER chars_log AFTER INSERT ON chars FOR EACH ROW "
      "INSERT INTO logbook (msg) VALUES (CONCAT('joined ', NEW.id))");
  server.Admin("CREATE VIEW top_chars AS SELECT name, lvl FROM chars WHERE lvl > 5");
  server.Admin(
      "CREATE PROCEDURE level_up(IN who INT) BEGIN UPDATE chars SET lvl = lvl + 1 "
      "WHERE id = who; END");
  server.Admin(
      "CREATE EVENT tidy ON SCHEDULE EVERY 1 DAY DISABLE DO DELETE FROM logbook "
      "WHERE id < 0");
  // Made under the empty sql_mode: a 0 goes into the AUTO_INCREMENT key.
  server.admin().Exec("SET SESSION sql_mode = ''");
  server.Admin("CREATE PROCEDURE log_zero() INSERT INTO logbook (id, msg) VALUES (0, 'zero')");
  server.admin().Exec("SET SESSION sql_mode = DEFAULT");
  server.Admin("CREATE SQL SECURITY INVOKER VIEW guild_names AS SELECT name FROM guilds");
  server.Admin("INSERT INTO guilds (name) VALUES ('red \xc3\xa9'), ('blue')");
  server.Admin(
      "INSERT INTO chars (guild, name, lvl) VALUES (1, X'00FF0D0A', 3), (2, 'mage', 9), "
      "(NULL, 'none', NULL)");
  server.Admin("SELECT NEXTVAL(ticket)");
  server.Admin("USE mysql");
}

TEST_F(DefinitionsTest, OneArchiveRebuildsTheDatabaseOnAServerWhereItIsGone) {
  TestServer& server = TestServer::Get();
  MakeGameDatabase(source_);
  ProgramFolder sql_folder, csv_folder, off_folder;
  // A server whose global sql_mode changes how it prints definitions: they
  // are read under the empty mode all the same.
  const std::string global_mode = server.AdminQueryOne("SELECT @@GLOBAL.sql_mode");
  server.Admin("SET GLOBAL sql_mode = 'ANSI_QUOTES,NO_TABLE_OPTIONS,STRICT_TRANS_TABLES'");
  std::string sql_archive = Backup(sql_folder, Settings("1"));
  std::string csv_archive = Backup(csv_folder, Settings("0"));
  std::string off_archive =
      Backup(off_folder, Settings("1") +
                             "[HKEY_LOCAL_MACHINE\\Software\\Cobaltine\\Vaultrun\\cfg]"
                             "\r\n\"store_definitions\"=\"0\"\r\n");
  server.Admin("SET GLOBAL sql_mode = '" + global_mode + "'");
  EXPECT_TRUE(sql_folder.Entries().empty()) << ::testing::PrintToString(sql_folder.Entries());
  std::vector<std::string> names = ProgramFolder::EntryNames(sql_archive);
  EXPECT_EQ(1, std::count(names.begin(), names.end(), kDefinitionsEntry));
  // The setting off: exactly the data entries of before, and the manifest.
  for (const std::string& name : ProgramFolder::EntryNames(off_archive)) {
    EXPECT_TRUE(name == kManifestEntry || name.find(source_ + "/") == 0) << name;
  }
  std::string definitions = ProgramFolder::EntryContent(sql_archive, kDefinitionsEntry);
  EXPECT_NE(std::string::npos, definitions.find("scratchpad")) << definitions;
  // Each object as the server shows it, definer and SQL SECURITY included,
  // with the exact sql_mode it runs under.
  std::optional<Definitions> stored = ParseDefinitions(definitions);
  ASSERT_TRUE(stored);
  EXPECT_EQ(2, stored->version);
  for (const DefinitionRecord& r : stored->objects) {
    SCOPED_TRACE(r.text);
    if (r.kind == "table") {
      EXPECT_EQ(0u, r.text.find("CREATE TABLE `" + r.name + "`"));
      EXPECT_NE(std::string::npos, r.text.find("ENGINE=InnoDB"));
    } else if (r.kind == "view") {
      EXPECT_NE(std::string::npos, r.text.find(" DEFINER=`root`@`localhost` SQL SECURITY "));
    } else if (r.kind == "procedure" || r.kind == "trigger" || r.kind == "event") {
      EXPECT_EQ(0u, r.text.find("CREATE DEFINER=`root`@`localhost` "));
      EXPECT_EQ(r.name == "log_zero", r.sql_mode.empty());
    }
  }

  std::vector<std::string> objects = Objects(source_);
  std::vector<std::string> guilds = HexRows(source_, "guilds");
  std::vector<std::string> chars = HexRows(source_, "chars");
  std::vector<std::string> logbook = HexRows(source_, "logbook");
  ASSERT_EQ(3u, logbook.size());
  server.Admin("DROP DATABASE `" + source_ + "`");

  std::string output;
  // Verify needs no live database now.
  EXPECT_EQ(0, RunProgram(KeyOf(sql_folder) + "--verify '" + sql_archive + "'", &output)) << output;
  EXPECT_EQ(0, RunProgram(KeyOf(csv_folder) + "--verify '" + csv_archive + "'", &output)) << output;
  EXPECT_NE(0, RunProgram(KeyOf(off_folder) + "--verify '" + off_archive + "'", &output)) << output;

  // An archive without definitions says the schema is needed.
  EXPECT_EQ(1, RunProgram(KeyOf(off_folder) + "'" + off_archive + "' -D " + source_, &output));
  EXPECT_NE(std::string::npos, output.find(" does not exist, and the archive holds no definitions "
                                           "to make it from (it was made without them)"))
      << output;
  EXPECT_FALSE(Exists(source_));

  for (const auto& [archive, key] :
       {std::pair{sql_archive, KeyOf(sql_folder)}, std::pair{csv_archive, KeyOf(csv_folder)}}) {
    std::string target = source_;
    EXPECT_EQ(0, RunProgram(key + "'" + archive + "' -D " + target, &output)) << output;
    EXPECT_NE(std::string::npos, output.find("creating it from the archive's definitions"))
        << output;
    EXPECT_EQ(objects, Objects(target));
    EXPECT_EQ(guilds, HexRows(target, "guilds"));
    EXPECT_EQ(chars, HexRows(target, "chars"));
    EXPECT_EQ(logbook, HexRows(target, "logbook"));  // the trigger did not fire
    EXPECT_EQ("0", server.AdminQueryOne("SELECT COUNT(*) FROM `" + target + "`.scratchpad"));
    // As after a restart of the server: the values it had cached are skipped.
    EXPECT_EQ("5100", server.AdminQueryOne("SELECT NEXTVAL(`" + target + "`.ticket)"));
    server.Admin("CALL `" + target + "`.level_up(51)");
    EXPECT_EQ("mage|10", server.AdminQueryOne("SELECT CONCAT_WS('|', name, lvl) FROM `" + target +
                                              "`.top_chars"));
    // Into the existing database a missing table is made from the archive.
    server.Admin("DROP TABLE `" + target + "`.scratchpad");
    server.Admin("DELETE FROM `" + target + "`.chars");
    server.Admin("DELETE FROM `" + target + "`.logbook");
    server.Admin("DELETE FROM `" + target + "`.guilds");
    EXPECT_EQ(0, RunProgram(key + "'" + archive + "' -D " + target, &output)) << output;
    EXPECT_NE(std::string::npos, output.find("table scratchpad: not in database " + target +
                                             ", created from the archive's definition"))
        << output;
    server.Admin("DROP DATABASE `" + target + "`");
  }
}

TEST_F(DefinitionsTest, AViewTheAccountMayNotReadIsNamedAndTheArchiveStillRestores) {
  TestServer& server = TestServer::Get();
  server.Admin("CREATE USER IF NOT EXISTS noview@'127.0.0.1' IDENTIFIED BY 'pw'");
  server.Admin("GRANT SELECT, TRIGGER, EVENT ON *.* TO noview@'127.0.0.1'");
  server.CreateTable(source_, "pets", "id INT PRIMARY KEY");
  server.Insert(source_, "pets", "(1),(2)");
  server.Admin("CREATE VIEW `" + source_ + "`.pet_ids AS SELECT id FROM `" + source_ + "`.pets");
  ProgramFolder folder;
  std::string archive = Backup(folder, Settings("1"), "noview", "pw");
  EXPECT_EQ((std::vector<std::string>{"2\tVaultrun: definitions of " + source_ +
                                      " left out of the archive: view `pet_ids` (needs SHOW "
                                      "VIEW); grant these privileges to the backup account to "
                                      "store them"}),
            folder.Entries());
  std::string output;
  std::string target = source_ + "_again";
  EXPECT_EQ(0, RunProgram(KeyOf(folder) + "'" + archive + "' -D " + target, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("view `pet_ids`")) << output;
  EXPECT_EQ("2", server.AdminQueryOne("SELECT COUNT(*) FROM `" + target + "`.pets"));
  server.Admin("DROP DATABASE `" + target + "`");
}

// Where the server shows a 4-byte character as '?' (column defaults, ENUM
// and SET members), the run names the tables in one warning; a '?' that is
// one stays quiet, and view texts and bodies come whole in utf8mb4.
TEST_F(DefinitionsTest, FourByteCharactersShownAsQuestionMarksAreNamed) {
  TestServer& server = TestServer::Get();
  const std::string emoji = "\xf0\x9f\x98\x80";
  server.CreateTable(source_, "badges", "id INT, kind ENUM('" + emoji + "','b') DEFAULT 'b'");
  server.CreateTable(source_, "titles", "id INT, t VARCHAR(10) DEFAULT 'x" + emoji + "y'");
  server.CreateTable(source_, "quiet",
                     "id INT, q VARCHAR(10) DEFAULT 'why?', l VARCHAR(5) CHARACTER SET latin1 "
                     "DEFAULT '?', k ENUM('a','b?') CHARACTER SET utf8mb3, n INT DEFAULT (1)");
  server.Admin("CREATE VIEW `" + source_ + "`.smile AS SELECT '" + emoji + "' AS s");
  server.Admin("CREATE TRIGGER `" + source_ + "`.stamp BEFORE INSERT ON `" + source_ +
               "`.titles FOR EACH ROW SET NEW.t = '" + emoji + "'");
  ProgramFolder folder;
  std::string archive = Backup(folder, Settings("1"));
  EXPECT_EQ((std::vector<std::string>{
                "2\tVaultrun: definitions of " + source_ +
                ": the server shows characters beyond U+FFFF (emoji and the like) as '?' in "
                "column defaults and ENUM or SET members, so the stored definitions hold '?' in "
                "their place in the tables badges, titles (their rows keep every character); "
                "after a restore that creates these tables, give those columns their characters "
                "back by hand"}),
            folder.Entries());
  std::string definitions = ProgramFolder::EntryContent(archive, kDefinitionsEntry);
  EXPECT_NE(std::string::npos, definitions.find("'" + emoji + "' AS `s`")) << definitions;
  EXPECT_NE(std::string::npos, definitions.find("SET NEW.t = '" + emoji + "'")) << definitions;
}

// Puts text in the place of the archive's definitions entry and takes its
// manifest out (an archive as it was before archives were authenticated);
// returns the option that trusts exactly these definitions.
std::string ReplaceDefinitions(const std::string& archive, const std::string& text) {
  test::TempDir dir;
  test::WriteFileOrDie(dir.Sub("definitions"), text);
  ProgramFolder::EditArchive(archive, "contents['" + std::string(kDefinitionsEntry) +
                                          "'] = open('" + dir.Sub("definitions") +
                                          "', 'rb').read()\n"
                                          "names = [n for n in names if n != '" +
                                          kManifestEntry + "']");
  return "--trust-definitions=" + DefinitionsDigest(text) + " ";
}

TEST_F(DefinitionsTest, HostileDefinitionsAreRefusedBeforeAnythingIsWritten) {
  TestServer& server = TestServer::Get();
  server.CreateTable(source_, "pets", "id INT PRIMARY KEY");
  server.Insert(source_, "pets", "(1)");
  ProgramFolder folder;
  std::string archive = Backup(folder, Settings("1"));
  std::optional<Definitions> good =
      ParseDefinitions(ProgramFolder::EntryContent(archive, kDefinitionsEntry));
  ASSERT_TRUE(good);
  ASSERT_EQ(1u, good->objects.size());
  const std::string target = source_ + "_new";
  auto refused = [&](const std::string& kind, const std::string& name, const std::string& text,
                     const std::string& sql_mode = "") {
    Definitions bad = *good;
    bad.objects.push_back({kind, name, sql_mode, text});
    const std::string trusted = ReplaceDefinitions(archive, BuildDefinitions(bad));
    std::string output;
    EXPECT_EQ(1, RunProgram(trusted + "'" + archive + "' -D " + target, &output));
    EXPECT_FALSE(Exists(target)) << text;
    return output;
  };
  auto expect = [](const std::string& output, const std::string& part) {
    EXPECT_NE(std::string::npos, output.find(part)) << output;
    EXPECT_NE(std::string::npos, output.find("refused")) << output;
  };
  expect(refused("table", "t", "CREATE TABLE `t` (id INT); DROP DATABASE mysql"),
         "more than one statement");
  expect(refused("table", "t", "CREATE TABLE `t` (id INT) SELECT * FROM mysql.user"), "SELECT");
  expect(refused("table", "t", "CREATE TABLE `t` (id INT) ENGINE=CONNECT"), "engine");
  expect(refused("table", "t", "CREATE TABLE `u` (id INT)"), "not a CREATE TABLE of that name");
  expect(refused("table", "t", "DROP TABLE `t`"), "not a CREATE statement");
  expect(refused("view", "v", "CREATE VIEW `v` AS SELECT User FROM mysql.user"),
         "another database (mysql)");
  expect(refused("view", "v", "CREATE VIEW `v` AS SELECT 1 /*!99999 , x */"), "executable comment");
  expect(refused("trigger", "g",
                 "CREATE TRIGGER `g` AFTER INSERT ON `pets` FOR EACH ROW INSERT INTO `" + source_ +
                     "`.pets VALUES (NEW.id + 1)"),
         "another database");
  expect(refused("procedure", "p",
                 "CREATE PROCEDURE `p`() BEGIN PREPARE s FROM 'DROP DATABASE mysql'; EXECUTE s; "
                 "END"),
         "PREPARE");
  expect(refused("procedure", "p", "CREATE PROCEDURE `p`() SET GLOBAL general_log = 1"), "GLOBAL");
  expect(refused("procedure", "p", "CREATE PROCEDURE `p`() SELECT 'a\\' , mysql.user, \\''",
                 "NO_BACKSLASH_ESCAPES"),
         "another database (mysql)");
  expect(refused("event", "e",
                 "CREATE EVENT `e` ON SCHEDULE EVERY 1 DAY DO GRANT ALL ON *.* "
                 "TO x"),
         "GRANT");
  expect(refused("procedure", "p", "CREATE PROCEDURE `p`() CREATE USER x"), "USER");
  ReplaceDefinitions(archive, "vaultrun definitions 1\nnonsense\n");
  std::string output;
  EXPECT_EQ(1, RunProgram("'" + archive + "' -D " + target, &output));
  expect(output, "not in the definitions format");

  // A statement of the right kind that fails late: the database the restore
  // made is dropped; one it did not make never is.
  Definitions failing = *good;
  failing.objects.push_back({"view", "v", "", "CREATE VIEW `v` AS SELECT * FROM `nowhere`"});
  const std::string trusted = ReplaceDefinitions(archive, BuildDefinitions(failing));
  EXPECT_EQ(1, RunProgram(trusted + "'" + archive + "' -D " + target, &output));
  EXPECT_NE(std::string::npos, output.find("creating view v")) << output;
  EXPECT_FALSE(Exists(target));
}

// A crafted archive: definitions that would make an account and a table
// the target lacks, rows, and a mark whose tag was not made with this
// installation's key, over a manifest that lists every entry as it is
// stored. Nothing of it reaches the server, into a new database, an
// existing one or verify's scratch copy, until the user names its exact
// definitions by the digest that --show-definitions printed beside them
// (escaped); a wrong digest is refused too.
TEST_F(DefinitionsTest, ForgedArchivesAreRefusedBeforeAnythingIsWritten) {
  TestServer& server = TestServer::Get();
  server.CreateTable(source_, "pets", "id INT PRIMARY KEY");
  ProgramFolder folder;
  Backup(folder, Settings("1"));  // the installation and its key
  auto env = NewDefaultEnv();
  ArchiveKeyResult key;
  ASSERT_TRUE(ReadKeyFile(env.get(), folder.key_path(), &key).ok());

  Definitions forged;
  forged.database = source_;
  forged.charset = "utf8mb4";
  forged.collation = "utf8mb4_general_ci";
  forged.objects = {
      {"table", "pets", "", "CREATE TABLE `pets` (id INT PRIMARY KEY)"},
      {"table", "loot", "", "CREATE TABLE `loot` (id INT) COMMENT='\x1b]0;owned\x07'"},
      {"procedure", "p", "", "CREATE PROCEDURE `p`() CREATE OR REPLACE USER evil@'%'"}};
  const std::string text = BuildDefinitions(forged);
  test::TempDir dir;
  const std::string archive = dir.Sub("20261207043000.zip");
  ProgramFolder::MakeArchive(
      archive,
      {{source_ + "/pets.sql", "insert into `pets` values (1);\r\n"}, {kDefinitionsEntry, text}});
  ProgramFolder::EditArchive(
      archive, "forge_manifest = True\nrows = {'" + source_ + "/pets.sql': 1}\ncomment = b'" +
                   "Vaultrun\\n0.1.0\\n20261207043000\\n" + source_ + "\\npets\\t1\\ntag " +
                   key.id + " " + std::string(64, 'c') + " " + std::string(64, 'a') + "\\nVaultrun: run complete\\n'");
  const std::string accounts = server.AdminQueryOne("SELECT COUNT(*) FROM mysql.global_priv");
  const std::vector<std::string> objects = Objects(source_);
  const std::string target = source_ + "_new";
  std::string output;
  auto refused = [&](const std::string& args, const std::string& why) {
    EXPECT_EQ(1, RunProgram(KeyOf(folder) + args, &output)) << args;
    EXPECT_NE(std::string::npos, output.find(why)) << output;
    EXPECT_NE(std::string::npos, output.find("nothing was written")) << output;
    EXPECT_FALSE(Exists(target));
    EXPECT_EQ(objects, Objects(source_));
    EXPECT_EQ("0", server.AdminQueryOne("SELECT COUNT(*) FROM `" + source_ + "`.pets"));
    EXPECT_EQ(accounts, server.AdminQueryOne("SELECT COUNT(*) FROM mysql.global_priv"));
    EXPECT_EQ("0", server.AdminQueryOne("SELECT COUNT(*) FROM information_schema.schemata WHERE "
                                        "schema_name LIKE 'vaultrun\\_verify\\_%'"));
  };
  const std::string forged_tag =
      "as the archive is not authenticated: its tag does not verify with archive key " + key.id;
  refused("'" + archive + "' -D " + target, "definitions are refused, " + forged_tag);
  refused("--verify '" + archive + "'", "definitions are refused, " + forged_tag);
  refused("'" + archive + "' -D " + source_, "rows are refused for database " + source_);

  EXPECT_EQ(0, RunProgram(KeyOf(folder) + "--show-definitions '" + archive + "'", &output));
  EXPECT_EQ(std::string::npos, output.find('\x1b')) << output;
  EXPECT_NE(std::string::npos, output.find("COMMENT='\\x1B]0;owned\\x07'")) << output;
  EXPECT_NE(std::string::npos, output.find("The archive is NOT authenticated")) << output;
  EXPECT_NE(std::string::npos,
            output.find("Digest of these definitions: " + DefinitionsDigest(text) + "\n"))
      << output;
  refused("--trust-definitions=" + std::string(64, 'b') + " '" + archive + "' -D " + target,
          "they are not the ones that --trust-definitions names");

  // Taken as they are, its rows go into the tables that exist, and the
  // output says so; its definitions still do not run.
  EXPECT_EQ(
      0, RunProgram(KeyOf(folder) + "--unauthenticated '" + archive + "' -D " + source_, &output))
      << output;
  EXPECT_NE(std::string::npos, output.find("from an archive that is not authenticated")) << output;
  EXPECT_EQ(objects, Objects(source_));
  EXPECT_EQ("1", server.AdminQueryOne("SELECT COUNT(*) FROM `" + source_ + "`.pets"));
  EXPECT_EQ(accounts, server.AdminQueryOne("SELECT COUNT(*) FROM mysql.global_priv"));
}

}  // namespace
}  // namespace vaultrun::restore
