// Rebuilding a database from one archive on a server where it is gone:
// the real program's archives of a game-like database, restored and
// verified with the live database dropped; an account that may not read a
// view; and definitions entries made hostile by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>

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

// A game database with every kind of object and what real schemas hold:
// a foreign key to another database (parents), a view over a view, a view
// calling a function, a view over information_schema, a procedure that
// prepares a statement, objects of a definer other than the restoring
// account, a routine made under the empty sql_mode.
void MakeGameDatabase(const std::string& db, const std::string& parents) {
  TestServer& server = TestServer::Get();
  server.CreateTable(parents, "parents", "id INT PRIMARY KEY");
  server.Admin("CREATE USER IF NOT EXISTS keeper@localhost");
  server.Admin("GRANT SELECT ON `" + db + "`.* TO keeper@localhost");
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
  server.Admin(
      "CREATE TABLE ext (id INT PRIMARY KEY, parent INT, FOREIGN KEY (parent) REFERENCES `" +
      parents + "`.parents (id))");
  server.Admin("CREATE FUNCTION dbl(x INT) RETURNS INT DETERMINISTIC RETURN x * 2");
  server.Admin("CREATE VIEW doubled AS SELECT id, dbl(lvl) AS d FROM chars");
  server.Admin("CREATE VIEW a_top AS SELECT name FROM top_chars");
  server.Admin(
      "CREATE VIEW tables_here AS SELECT table_name FROM information_schema.tables WHERE "
      "table_schema = DATABASE()");
  server.Admin(
      "CREATE DEFINER=keeper@localhost PROCEDURE count_of(IN t VARCHAR(64)) BEGIN SET @q = "
      "CONCAT('SELECT COUNT(*) FROM ', t); PREPARE s FROM @q; EXECUTE s; DEALLOCATE PREPARE s; "
      "END");
  server.Admin(
      "CREATE DEFINER=keeper@localhost SQL SECURITY DEFINER VIEW keeper_view AS SELECT id FROM "
      "guilds");
  server.Admin(
      "CREATE EVENT later ON SCHEDULE AT '2037-12-31 00:00:00' ON COMPLETION PRESERVE DO "
      "DELETE FROM logbook WHERE id < 0");
  server.Admin("INSERT INTO guilds (name) VALUES ('red \xc3\xa9'), ('blue')");
  server.Admin(
      "INSERT INTO chars (guild, name, lvl) VALUES (1, X'00FF0D0A', 3), (2, 'mage', 9), "
      "(NULL, 'none', NULL)");
  server.Admin("SELECT NEXTVAL(ticket)");
  server.Admin("USE mysql");
}

TEST_F(DefinitionsTest, OneArchiveRebuildsTheDatabaseOnAServerWhereItIsGone) {
  TestServer& server = TestServer::Get();
  MakeGameDatabase(source_, server.CreateDatabase("parents"));
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
    const std::string definer = r.name == "count_of" || r.name == "keeper_view"
                                    ? "DEFINER=`keeper`@`localhost`"
                                    : "DEFINER=`root`@`localhost`";
    if (r.kind == "table") {
      EXPECT_EQ(0u, r.text.find("CREATE TABLE `" + r.name + "`"));
      EXPECT_NE(std::string::npos, r.text.find("ENGINE=InnoDB"));
    } else if (r.kind == "view") {
      EXPECT_NE(std::string::npos, r.text.find(" " + definer + " SQL SECURITY "));
    } else if (r.kind == "procedure" || r.kind == "trigger" || r.kind == "event") {
      EXPECT_EQ(0u, r.text.find("CREATE " + definer + " "));
      EXPECT_EQ(r.name == "log_zero", r.sql_mode.empty());
    }
  }

  std::vector<std::string> objects = Objects(source_);
  std::vector<std::string> shown = test::ObjectsAsShown(source_);
  std::vector<std::string> guilds = HexRows(source_, "guilds");
  std::vector<std::string> chars = HexRows(source_, "chars");
  std::vector<std::string> logbook = HexRows(source_, "logbook");
  ASSERT_EQ(3u, logbook.size());
  server.Admin("DROP DATABASE `" + source_ + "`");

  std::string output;
  // Verify needs no live database now, and builds every object.
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
    EXPECT_NE(std::string::npos, output.find("made with the definers the archive stores: "
                                             "keeper@localhost (2), root@localhost (11)"))
        << output;
    EXPECT_EQ(objects, Objects(target));
    EXPECT_EQ(shown, test::ObjectsAsShown(target));
    EXPECT_EQ(guilds, HexRows(target, "guilds"));
    EXPECT_EQ(chars, HexRows(target, "chars"));
    EXPECT_EQ(logbook, HexRows(target, "logbook"));  // the trigger did not fire
    EXPECT_EQ("0", server.AdminQueryOne("SELECT COUNT(*) FROM `" + target + "`.scratchpad"));
    // As after a restart of the server: the values it had cached are skipped.
    EXPECT_EQ("5100", server.AdminQueryOne("SELECT NEXTVAL(`" + target + "`.ticket)"));
    server.Admin("CALL `" + target + "`.level_up(51)");
    EXPECT_EQ("mage|10", server.AdminQueryOne("SELECT CONCAT_WS('|', name, lvl) FROM `" + target +
                                              "`.top_chars"));
    // Under the empty mode, as it was made: the 0 takes the next key.
    server.Admin("CALL `" + target + "`.log_zero()");
    EXPECT_EQ("4", server.AdminQueryOne("SELECT MAX(id) FROM `" + target + "`.logbook"));
    server.Admin("DELETE FROM `" + target + "`.logbook WHERE id = 4");
    EXPECT_EQ("20", server.AdminQueryOne("SELECT d FROM `" + target + "`.doubled WHERE id = 51"));

    // Into the existing database: a table with an INSERT trigger is refused,
    // naming the trigger, unless --allow-triggers, which says it fired.
    server.Admin("DELETE FROM `" + target + "`.chars");
    EXPECT_EQ(1, RunProgram(key + "'" + archive + "' -D " + target + " chars", &output));
    EXPECT_NE(std::string::npos, output.find("chars_log (on chars)")) << output;
    EXPECT_EQ(
        0, RunProgram(key + "--allow-triggers '" + archive + "' -D " + target + " chars", &output))
        << output;
    EXPECT_NE(std::string::npos,
              output.find("triggers fired on the restored rows (--allow-triggers): chars_log "
                          "(on chars)"))
        << output;
    EXPECT_EQ(chars, HexRows(target, "chars"));
    EXPECT_EQ("6", server.AdminQueryOne("SELECT COUNT(*) FROM `" + target + "`.logbook"));
    // A missing table is made from the archive.
    server.Admin("DROP TRIGGER `" + target + "`.chars_log");
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

  // A copy whose view cannot be made: verify fails as the restore does,
  // which drops the database it made.
  Definitions broken = *stored;
  for (DefinitionRecord& r : broken.objects) {
    if (r.name == "top_chars") r.text.replace(r.text.find("from `chars`"), 12, "from `gone`");
  }
  const std::string trusted = ReplaceDefinitions(sql_archive, BuildDefinitions(broken));
  EXPECT_EQ(1, RunProgram(trusted + "--verify '" + sql_archive + "'", &output));
  EXPECT_NE(std::string::npos, output.find("FAILED: the archive does not restore")) << output;
  EXPECT_NE(std::string::npos, output.find("top_chars")) << output;
  EXPECT_EQ(1, RunProgram(trusted + "'" + sql_archive + "' -D " + source_, &output));
  EXPECT_NE(std::string::npos, output.find("top_chars")) << output;
  EXPECT_FALSE(Exists(source_));
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

// An account that may not grant (so cannot make the limited account) still
// restores rows into an existing database, using none of the definitions
// and saying that they were not checked; a table it would have to make
// from them stops the restore before anything is written.
TEST_F(DefinitionsTest, AnAccountThatMayNotGrantMakesNothingFromTheDefinitions) {
  TestServer& server = TestServer::Get();
  server.CreateTable(source_, "pets", "id INT PRIMARY KEY");
  server.Insert(source_, "pets", "(1),(2)");
  server.CreateTable(source_, "toys", "id INT");
  ProgramFolder folder;
  std::string archive = Backup(folder, Settings("1"));
  server.Admin("DELETE FROM `" + source_ + "`.pets");
  const std::string as_writer = std::string(VAULTRUN_RESTORE_BINARY) + " " + KeyOf(folder) +
                                "--no-defaults -u" + TestServer::kWriterUser + " -p" +
                                TestServer::kWriterPassword + " -S '" + server.socket() + "' '" +
                                archive + "' -D " + source_ + " 2>&1 </dev/null";
  std::string output;
  EXPECT_EQ(0, test::RunCommand(as_writer, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("warning: the archive's definitions are not checked"))
      << output;
  server.Admin("DROP TABLE `" + source_ + "`.toys");
  server.Admin("DELETE FROM `" + source_ + "`.pets");
  EXPECT_EQ(1, test::RunCommand(as_writer, &output));
  EXPECT_NE(std::string::npos, output.find("cannot make the temporary account")) << output;
  EXPECT_EQ("0", server.AdminQueryOne("SELECT COUNT(*) FROM `" + source_ + "`.pets"));
  EXPECT_EQ("0", server.AdminQueryOne("SELECT COUNT(*) FROM mysql.global_priv WHERE User LIKE "
                                      "'vaultrun\\_restore\\_%'"));
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

// Definitions entries made hostile by hand (the attacks a restore must not
// carry out), appended with Python's zipfile to a real archive's entry.
// They run as the trusted path runs them (the user vouched for the
// archive): into a new and into an existing database, and by --verify,
// each fails before it makes anything, and leaves every database, account,
// privilege and global variable of the server as it was.
class HostileDefinitionsTest : public DefinitionsTest {
 protected:
  static ConnectOptions RootOptions() {
    ConnectOptions options;
    options.socket = TestServer::Get().socket();
    options.user = "root";
    options.read_option_files = false;
    return options;
  }
  // What an attack would change: databases, accounts and their rights,
  // events, global variables.
  static std::string ServerState() {
    AdminConnection& admin = TestServer::Get().admin();
    std::string state;
    for (const char* sql :
         {"SELECT schema_name FROM information_schema.schemata",
          "SELECT CONCAT(User, '@', Host, ' ', Priv) FROM mysql.global_priv",
          "SELECT CONCAT_WS(' ', Host, Db, User) FROM mysql.db",
          "SELECT CONCAT_WS(' ', Host, Db, User, Table_name, Table_priv) FROM mysql.tables_priv",
          "SELECT CONCAT_WS(' ', Host, Db, User, Routine_name) FROM mysql.procs_priv",
          "SELECT CONCAT(event_schema, '.', event_name) FROM information_schema.events",
          "SELECT CONCAT(variable_name, '=', variable_value) FROM "
          "information_schema.global_variables WHERE variable_name NOT LIKE 'GTID%'"}) {
      for (const std::string& line : admin.Column(std::string(sql) + " ORDER BY 1")) {
        state += line + "\n";
      }
    }
    return state;
  }
  // The user vouches for the archive: its definitions by their digest, its
  // rows as they are.
  TrustOptions Vouched() const {
    TrustOptions trust;
    trust.trust_definitions = digest_;
    trust.unauthenticated = true;
    return trust;
  }
  // The failure of a restore into target through the trusted path, or "".
  std::string RestoreTrusted(const std::string& archive, const std::string& target) {
    std::unique_ptr<Connection> connection = Connection::Open(RootOptions());
    RestoreRequest request;
    request.archive = archive;
    request.database = target;
    request.trust = Vouched();
    std::ostringstream out, err;
    try {
      Restore(request, *connection, Console{&out, &err});
    } catch (const Failure& failure) {
      return failure.description();
    }
    return "";
  }
  std::string VerifyTrusted(const std::string& archive) {
    std::unique_ptr<Connection> connection = Connection::Open(RootOptions());
    VerifyRequest request;
    request.archive = archive;
    request.scratch_database = source_ + "_verify";
    request.trust = Vouched();
    std::ostringstream out, err;
    VerifyResult result = Verify(request, *connection, Console{&out, &err});
    EXPECT_FALSE(result.ok);
    return result.verdict;
  }

  // The crafted records in an archive of the database pets: each way of
  // running them fails, naming reason.
  void ExpectRefusedEverywhere(const std::vector<DefinitionRecord>& records,
                               const std::string& reason) {
    TestServer& server = TestServer::Get();
    server.CreateTable(source_, "pets", "id INT PRIMARY KEY");
    server.Insert(source_, "pets", "(1)");
    ProgramFolder folder;
    std::string archive = Backup(folder, Settings("1"));
    server.Admin("DROP TABLE `" + source_ + "`.pets");
    std::optional<Definitions> definitions =
        ParseDefinitions(ProgramFolder::EntryContent(archive, kDefinitionsEntry));
    ASSERT_TRUE(definitions);
    for (const DefinitionRecord& record : records) definitions->objects.push_back(record);
    const std::string text = BuildDefinitions(*definitions);
    ReplaceDefinitions(archive, text);
    digest_ = DefinitionsDigest(text);
    const std::string existing = server.CreateDatabase("existing");
    server.CreateTable(existing, "pets", "id INT PRIMARY KEY");
    const std::vector<std::string> existing_objects = test::ObjectsAsShown(existing);
    // Events would run at once.
    server.Admin("SET GLOBAL event_scheduler = ON");
    const std::string before = ServerState();
    for (const std::string& target : {source_ + "_new", existing}) {
      SCOPED_TRACE(target);
      std::string failure = RestoreTrusted(archive, target);
      EXPECT_NE(std::string::npos, failure.find(reason)) << failure;
    }
    std::string verdict = VerifyTrusted(archive);
    EXPECT_NE(std::string::npos, verdict.find(reason)) << verdict;
    EXPECT_EQ(before, ServerState());
    server.Admin("SET GLOBAL event_scheduler = OFF");
    EXPECT_FALSE(Exists(source_ + "_new"));
    EXPECT_EQ(existing_objects, test::ObjectsAsShown(existing));
    EXPECT_EQ("0", server.AdminQueryOne("SELECT COUNT(*) FROM `" + existing + "`.pets"));
  }

  std::string digest_;  // of the crafted definitions
};

// The server reads a statement by its stored sql_mode, whatever its case:
// quoting tricks that hid a SELECT of mysql.global_priv from a check of
// the text reach the server, which refuses the limited account.
TEST_F(HostileDefinitionsTest, QuotingBySqlMode) {
  ExpectRefusedEverywhere(
      {{"table", "t2", "no_backslash_escapes",
        "CREATE TABLE `t2` COMMENT='x\\' AS SELECT User, Priv FROM mysql.global_priv -- '"},
       {"view", "v2", "ANSI",
        "CREATE ALGORITHM=UNDEFINED DEFINER=`root`@`localhost` SQL SECURITY DEFINER VIEW `v2` "
        "AS SELECT 1 AS \"a\\\", (SELECT Priv FROM mysql.global_priv LIMIT 1) AS \"b\" -- \""}},
      "denied to user 'vaultrun_restore_");
}

// CREATE OR REPLACE of an account or a database at the top level is the
// server's to refuse; in a procedure's body it is code, which runs as its
// definer: a record that names none is refused (archives of older runs
// need --definer).
TEST_F(HostileDefinitionsTest, OrReplace) {
  ExpectRefusedEverywhere({{"table", "t3", "", "CREATE OR REPLACE USER evil@'%'"},
                           {"table", "t4", "", "CREATE OR REPLACE DATABASE secretdb"}},
                          "denied");
  ExpectRefusedEverywhere({{"procedure", "p", "",
                            "CREATE PROCEDURE `p`() BEGIN CREATE OR REPLACE USER evil@'%'; "
                            "CREATE OR REPLACE DATABASE secretdb; END"}},
                          "name no definer for procedure `p`");
}

// A table made from a query would hold rows of the server (accounts, its
// data folder, a file), or sleep: the limited account may insert nothing.
TEST_F(HostileDefinitionsTest, AsValuesAndAsSelect) {
  ExpectRefusedEverywhere(
      {{"table", "t5", "", "CREATE TABLE `t5` AS VALUES (sleep(4), current_user(), @@datadir)"},
       {"table", "t6", "", "CREATE TABLE `t6` AS SELECT LOAD_FILE('/etc/hostname') AS f"}},
      "INSERT command denied");
}

// Events that grant and set globals once the scheduler runs them, one
// hidden by the quoting trick: code without a definer is refused.
TEST_F(HostileDefinitionsTest, EventThatGrants) {
  ExpectRefusedEverywhere(
      {{"event", "e", "",
        "CREATE EVENT `e` ON SCHEDULE EVERY 1 SECOND DO GRANT ALL ON *.* TO evil@'%' WITH GRANT "
        "OPTION"},
       {"event", "e2", "no_backslash_escapes",
        "CREATE EVENT `e2` ON SCHEDULE EVERY 1 SECOND DO BEGIN SELECT 'x\\'; GRANT ALL ON *.* TO "
        "evil@'%' WITH GRANT OPTION; SET GLOBAL general_log = 1; END -- '"}},
      "name no definer for event `e`, event `e2`");
}

// A view of the accounts' password hashes, as root with SQL SECURITY
// DEFINER, or a table whose files go to a folder of their own.
TEST_F(HostileDefinitionsTest, ViewOfGlobalPrivAndTablesOutsideTheDataFolder) {
  ExpectRefusedEverywhere(
      {{"view", "v", "",
        "CREATE ALGORITHM=UNDEFINED DEFINER=`root`@`localhost` SQL SECURITY DEFINER VIEW `v` AS "
        "SELECT User, Priv FROM mysql.global_priv"}},
      "command denied to user 'vaultrun_restore_");
  const std::string folder = test::MakeTempFolder("/tmp/vaultrun-dd-");
  ExpectRefusedEverywhere(
      {{"table", "t7", "", "CREATE TABLE `t7` (id INT) DATA DIRECTORY='" + folder + "'"}},
      "keeps its files in a folder of its own");
  EXPECT_TRUE(std::filesystem::is_empty(folder));
  std::filesystem::remove_all(folder);
}

// An entry that is not in the format is refused as a whole.
TEST_F(HostileDefinitionsTest, AnEntryNotInTheFormat) {
  TestServer::Get().CreateTable(source_, "pets", "id INT PRIMARY KEY");
  ProgramFolder folder;
  std::string archive = Backup(folder, Settings("1"));
  ReplaceDefinitions(archive, "vaultrun definitions 1\nnonsense\n");
  std::string output;
  EXPECT_EQ(1, RunProgram("'" + archive + "' -D " + source_ + "_new", &output));
  EXPECT_NE(std::string::npos, output.find("not in the definitions format")) << output;
  EXPECT_FALSE(Exists(source_ + "_new"));
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
                   key.id + " " + std::string(64, 'c') + " " + std::string(64, 'a') +
                   "\\nVaultrun: run complete\\n'");
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
