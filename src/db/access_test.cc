#include "db/access.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "db/session.h"
#include "test_db.h"
#include "test_util.h"

namespace vaultrun::db {
namespace {

using test::TestServer;

constexpr int kBigRows = 1000000;

// Sets an environment variable (or removes it) for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value == nullptr) {
      unsetenv(name);
    } else {
      setenv(name, value, 1);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A kB figure of /proc/self/status ("VmHWM", "VmRSS").
long StatusKb(const std::string& key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
  }
  return -1;
}

// The database with table big: kBigRows rows of an id and 100 bytes of text,
// made once for the whole run.
const std::string& BigDatabase() {
  static const std::string name = [] {
    TestServer& server = TestServer::Get();
    std::string db = server.CreateDatabase("big");
    server.CreateTable(db, "big", "id INT PRIMARY KEY, payload VARCHAR(100)");
    server.Admin("INSERT INTO `" + db + "`.big SELECT seq, REPEAT(CHAR(65 + seq % 26), 100) " +
                 "FROM `" + db + "`.seq_1_to_" + std::to_string(kBigRows));
    return db;
  }();
  return name;
}

class AccessTest : public ::testing::Test {
 protected:
  TestServer& server() { return TestServer::Get(); }

  // A connection of the backup account to database, read-only.
  std::unique_ptr<Connection> Open(const std::string& database,
                                   const std::string& host = "127.0.0.1",
                                   const std::string& user = TestServer::kBackupUser,
                                   const std::string& password = TestServer::kBackupPassword,
                                   int mode = adModeRead) {
    auto connection = std::make_unique<Connection>();
    connection->SetConnectionString(BuildConnectionString(host, database, user, password));
    connection->SetMode(mode);
    connection->Open();
    return connection;
  }

  // Every row of rs as text ("NULL" for Null), fields joined by "|".
  static std::vector<std::string> Rows(Recordset& rs) {
    std::vector<std::string> rows;
    for (; !rs.Eof(); rs.MoveNext()) {
      std::string row;
      for (int i = 0; i < rs.GetFields().Count(); ++i) {
        if (i > 0) row += "|";
        Value v = rs.GetFields().Item(i).GetValue();
        row += v.IsNull() ? "NULL" : v.Text();
      }
      rows.push_back(row);
    }
    return rows;
  }
};

// A server older than utf8mb4 and READ ONLY (tests/old_server.py answers
// as MySQL 5.1 did): the session falls back to utf8 and goes without
// READ ONLY instead of refusing every run.
TEST_F(AccessTest, OldServersGetUtf8AndNoReadOnly) {
  test::TempDir dir;
  const std::string port_file = dir.Sub("port");
  const std::string log = dir.Sub("statements");
  ASSERT_EQ(0, test::RunCommand("python3 '" VAULTRUN_SOURCE_DIR "/tests/old_server.py' '" +
                                port_file + "' '" + log + "' >/dev/null 2>&1 &"));
  std::string port;
  for (int i = 0; i < 200 && port.empty(); ++i) {
    std::ifstream(port_file) >> port;
    if (port.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_FALSE(port.empty());
  struct PortOverride {
    std::string saved = getenv("MYSQL_TCP_PORT") ? getenv("MYSQL_TCP_PORT") : "";
    ~PortOverride() { setenv("MYSQL_TCP_PORT", saved.c_str(), 1); }
  } restore_port;
  setenv("MYSQL_TCP_PORT", port.c_str(), 1);
  Connection connection;
  connection.SetConnectionString(BuildConnectionString("127.0.0.1", "game", "backup", "pw"));
  connection.SetMode(adModeRead);
  EXPECT_NO_THROW(connection.Open());
  connection.Close();
  EXPECT_EQ(
      "SET NAMES utf8mb4\nSET NAMES utf8\nSET character_set_results = NULL\n"
      "SET SESSION TRANSACTION READ ONLY\n",
      test::ReadFileOrDie(log));
}

TEST_F(AccessTest, WrongPasswordLeavesTheServersMessageAsTheOnlyError) {
  std::string db = server().CreateDatabase("auth");
  Connection connection;
  connection.SetConnectionString(
      BuildConnectionString("127.0.0.1", db, TestServer::kBackupUser, "wrong-secret"));
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      connection.Open();
      FAIL() << "opened with a wrong password";
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.number(), 1045);
      EXPECT_EQ(failure.description(),
                "Access denied for user 'backup'@'127.0.0.1' (using password: YES)");
    }
    EXPECT_EQ(connection.State(), adStateClosed);
  }
  EXPECT_THROW(connection.Execute("SELECT 1"), Failure);
  EXPECT_THROW(connection.Close(), Failure);
}

TEST_F(AccessTest, ReachesTheServerByTcpSocketAndOptionFile) {
  std::string db = server().CreateDatabase("reach");
  {
    auto connection = Open(db);
    auto rs = connection->Execute("SELECT CURRENT_USER(), DATABASE(), @@port");
    EXPECT_EQ(Rows(*rs), std::vector<std::string>{"backup@127.0.0.1|" + db + "|" +
                                                  std::to_string(server().port())});
  }
  {
    // localhost means the unix socket, named by MYSQL_UNIX_PORT.
    auto connection = Open(db, "localhost");
    auto rs = connection->Execute("SELECT CURRENT_USER()");
    EXPECT_EQ(Rows(*rs), std::vector<std::string>{"backup@localhost"});
  }
  {
    // The environment wins over everything: a port nobody listens on fails.
    ScopedEnv port("MYSQL_TCP_PORT", "1");
    EXPECT_THROW(Open(db), Failure);
  }
  {
    // Without the variable the [client] group of the option files decides.
    test::TempDir home;
    test::WriteFileOrDie(home.Sub(".my.cnf"),
                         "[client]\nport=" + std::to_string(server().port()) + "\n");
    ScopedEnv home_env("HOME", home.path().c_str());
    ScopedEnv port("MYSQL_TCP_PORT", nullptr);
    auto connection = Open(db);
    auto rs = connection->Execute("SELECT @@port");
    EXPECT_EQ(Rows(*rs), std::vector<std::string>{std::to_string(server().port())});
  }
  {
    test::TempDir home;
    test::WriteFileOrDie(home.Sub(".my.cnf"), "[client]\nport=1\n");
    ScopedEnv home_env("HOME", home.path().c_str());
    ScopedEnv port("MYSQL_TCP_PORT", nullptr);
    EXPECT_THROW(Open(db), Failure);
  }
}

TEST_F(AccessTest, EveryColumnTypeHasItsCode) {
  std::string db = server().CreateDatabase("types");
  const std::vector<std::pair<std::string, int>> columns = {
      {"TINYINT", adTinyInt},
      {"TINYINT UNSIGNED", adUnsignedTinyInt},
      {"SMALLINT", adSmallInt},
      {"SMALLINT UNSIGNED", adUnsignedSmallInt},
      {"YEAR", adSmallInt},
      {"MEDIUMINT", adInteger},
      {"MEDIUMINT UNSIGNED", adUnsignedInt},
      {"INT", adInteger},
      {"INT UNSIGNED", adUnsignedInt},
      {"BIGINT", adBigInt},
      {"BIGINT UNSIGNED", adUnsignedBigInt},
      {"FLOAT", adSingle},
      {"DOUBLE", adDouble},
      {"DECIMAL(10,2)", adNumeric},
      {"DATE", adDBDate},
      {"TIME", adDBTime},
      {"DATETIME", adDBTimeStamp},
      {"DATETIME(6)", adDBTimeStamp},
      {"TIMESTAMP NULL", adDBTimeStamp},
      {"BIT(1)", adBoolean},
      {"BIT(8)", adBinary},
      {"CHAR(3)", adChar},
      {"ENUM('a','b')", adChar},
      {"SET('a','b')", adChar},
      {"VARCHAR(10)", adVarChar},
      {"VARCHAR(10) CHARACTER SET latin1", adVarChar},
      {"TINYTEXT", adLongVarChar},
      {"TEXT", adLongVarChar},
      {"MEDIUMTEXT", adLongVarChar},
      {"LONGTEXT", adLongVarChar},
      {"JSON", adLongVarChar},
      {"BINARY(4)", adBinary},
      {"VARBINARY(4)", adVarBinary},
      {"TINYBLOB", adLongVarBinary},
      {"BLOB", adLongVarBinary},
      {"MEDIUMBLOB", adLongVarBinary},
      {"LONGBLOB", adLongVarBinary},
      {"GEOMETRY", adLongVarBinary},
      {"POINT", adLongVarBinary},
  };
  std::string definition;
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) definition += ", ";
    definition += "c" + std::to_string(i) + " " + columns[i].first;
  }
  server().CreateTable(db, "t", definition);
  auto connection = Open(db);
  auto rs = connection->Execute("SELECT * FROM t");
  EXPECT_TRUE(rs->Eof());
  const Fields& fields = rs->GetFields();
  ASSERT_EQ(fields.Count(), static_cast<int>(columns.size()));
  for (size_t i = 0; i < columns.size(); ++i) {
    EXPECT_EQ(fields.Item(static_cast<int>(i)).Type(), columns[i].second) << columns[i].first;
    EXPECT_EQ(fields.Item(static_cast<int>(i)).Name(), "c" + std::to_string(i));
  }
  EXPECT_THROW(fields.Item(-1), Failure);
  EXPECT_THROW(fields.Item(fields.Count()), Failure);
}

TEST_F(AccessTest, ComputedColumnsTakeTheCodeOfWhatTheyYield) {
  std::string db = server().CreateDatabase("computed");
  server().CreateTable(db, "t", "d DATE, b VARBINARY(4), l VARCHAR(4) CHARACTER SET latin1");
  server().Insert(db, "t", "('2024-05-06', X'0102', 'x')");
  auto connection = Open(db);
  auto rs = connection->Execute(
      "SELECT CONCAT(1,2), CONCAT(YEAR(d),'-',MONTH(d)), 'abc', CONCAT(l,'y'), "
      "CONCAT(b,'x'), CAST('a' AS BINARY), X'41', YEAR(d), 1+1, NOW(), NULL, "
      "DATE_FORMAT(d,'%Y'), HEX(b) FROM t");
  const std::vector<int> expected = {adVarChar,   adVarChar,   adVarChar, adVarChar, adVarBinary,
                                     adVarBinary, adVarBinary, adInteger, adInteger, adDBTimeStamp,
                                     adVarBinary, adVarChar,   adVarChar};
  ASSERT_EQ(rs->GetFields().Count(), static_cast<int>(expected.size()));
  for (size_t i = 0; i < expected.size(); ++i) {
    const Field& field = rs->GetFields().Item(static_cast<int>(i));
    EXPECT_EQ(field.Type(), expected[i]) << field.Name();
  }
  EXPECT_EQ(Rows(*rs)[0].substr(0, 16), "12|2024-5|abc|xy");
}

TEST_F(AccessTest, NumericScaleIsTheColumnsDecimals) {
  std::string db = server().CreateDatabase("scale");
  server().CreateTable(db, "t", "a DATETIME(6), b DATETIME, c DECIMAL(12,3), d TIME(2), e INT");
  server().Insert(db, "t",
                  "('2024-01-02 03:04:05.123456', '2024-01-02 03:04:05', 1.5, "
                  "'01:02:03.45', 7)");
  auto connection = Open(db);
  auto rs = connection->Execute("SELECT * FROM t");
  const Fields& f = rs->GetFields();
  EXPECT_EQ(f.Item(0).NumericScale(), 6);
  EXPECT_EQ(f.Item(1).NumericScale(), 0);
  EXPECT_EQ(f.Item(2).NumericScale(), 3);
  EXPECT_EQ(f.Item(3).NumericScale(), 2);
  EXPECT_EQ(f.Item(4).NumericScale(), 0);
  EXPECT_EQ(Rows(*rs), std::vector<std::string>{
                           "2024-01-02 03:04:05.123456|2024-01-02 03:04:05|1.500|01:02:03.45|7"});
}

TEST_F(AccessTest, ValuesComeBackByteExact) {
  std::string db = server().CreateDatabase("bytes");
  server().CreateTable(db, "t",
                       "id INT, l VARCHAR(20) CHARACTER SET latin1, u VARCHAR(20) CHARACTER SET "
                       "utf8mb4, b BLOB, t TEXT CHARACTER SET latin1");
  // Latin-1 "é\0ÿ", UTF-8 "é\0😀", every byte value, and Null versus empty.
  std::string all_bytes_hex;
  std::string all_bytes;
  for (int i = 0; i < 256; ++i) {
    const char* digits = "0123456789ABCDEF";
    all_bytes_hex += digits[i / 16];
    all_bytes_hex += digits[i % 16];
    all_bytes += static_cast<char>(i);
  }
  server().Insert(db, "t",
                  "(1, X'E900FF', X'C3A900F09F9880', X'" + all_bytes_hex +
                      "', X'E9'), (2, '', '', '', NULL), (3, NULL, NULL, NULL, '')");
  auto connection = Open(db);
  auto rs = connection->Execute("SELECT l, u, b, t FROM t ORDER BY id");
  auto value = [&](int i) { return rs->GetFields().Item(i).GetValue(); };
  ASSERT_FALSE(rs->Eof());
  EXPECT_EQ(value(0).Bytes(), std::string("\xE9\0\xFF", 3));
  EXPECT_EQ(value(1).Bytes(), std::string("\xC3\xA9\0\xF0\x9F\x98\x80", 7));
  EXPECT_EQ(value(2).Bytes(), all_bytes);
  EXPECT_EQ(value(3).Bytes(), "\xE9");
  rs->MoveNext();
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(value(i).IsNull());
    EXPECT_EQ(value(i).Bytes(), "");
  }
  EXPECT_TRUE(value(3).IsNull());
  rs->MoveNext();
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(value(i).IsNull());
  EXPECT_FALSE(value(3).IsNull());
  rs->MoveNext();
  EXPECT_TRUE(rs->Eof());
  EXPECT_THROW(value(0), Failure);
  EXPECT_THROW(rs->MoveNext(), Failure);

  // The same bytes once the rows are held in memory.
  rs = connection->Execute("SELECT l, u, b FROM t ORDER BY id");
  auto other = connection->Execute("SELECT 1");
  EXPECT_EQ(value(0).Bytes(), std::string("\xE9\0\xFF", 3));
  EXPECT_EQ(value(1).Bytes(), std::string("\xC3\xA9\0\xF0\x9F\x98\x80", 7));
  EXPECT_EQ(value(2).Bytes(), all_bytes);
  EXPECT_THROW(value(3), Failure);
  rs->MoveNext();
  EXPECT_FALSE(value(0).IsNull());
  EXPECT_EQ(value(0).Bytes(), "");
  rs->MoveNext();
  EXPECT_TRUE(value(2).IsNull());
  rs->MoveNext();
  EXPECT_TRUE(rs->Eof());
}

TEST_F(AccessTest, AMillionRowsStreamInBoundedMemory) {
  const std::string& db = BigDatabase();
  auto connection = Open(db);
  {
    // Warm up the allocator and the client library on a small result.
    auto rs = connection->Execute("SELECT * FROM big LIMIT 10");
    Rows(*rs);
  }
  std::ofstream("/proc/self/clear_refs") << "5";  // restart the peak count
  long hwm_before = StatusKb("VmHWM");
  long rss_before = StatusKb("VmRSS");
  auto started = std::chrono::steady_clock::now();
  auto rs = connection->Execute("SELECT id, payload FROM big ORDER BY id");
  const Field& id = rs->GetFields().Item(0);
  const Field& payload = rs->GetFields().Item(1);
  long rows = 0;
  long long id_sum = 0;
  size_t bytes = 0;
  for (; !rs->Eof(); rs->MoveNext()) {
    ++rows;
    id_sum += std::stol(id.GetValue().Text());
    bytes += payload.GetValue().Bytes().size();
  }
  auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
  long hwm_after = StatusKb("VmHWM");
  long rss_after = StatusKb("VmRSS");
  EXPECT_EQ(rows, kBigRows);
  EXPECT_EQ(id_sum, static_cast<long long>(kBigRows) * (kBigRows + 1) / 2);
  EXPECT_EQ(bytes, static_cast<size_t>(kBigRows) * 100);
  long growth_kb = hwm_after - hwm_before;
  std::cout << "[ figure   ] reading " << rows << " rows (" << bytes / 1000000
            << " MB of text): peak RSS " << hwm_before << " kB -> " << hwm_after << " kB (+"
            << growth_kb << " kB), RSS " << rss_before << " kB -> " << rss_after << " kB, "
            << elapsed.count() << " s\n";
  RecordProperty("peak_rss_growth_kb", std::to_string(growth_kb));
  EXPECT_LT(growth_kb, 64 * 1024);
}

TEST_F(AccessTest, TheTableListStaysReadableWhileOtherStatementsRun) {
  std::string db = server().CreateDatabase("list");
  for (const char* table : {"alpha", "beta", "gamma", "delta"}) {
    server().CreateTable(db, table, "n INT");
    server().Insert(db, table, "(1),(2),(3)");
  }
  auto connection = Open(db);
  auto tables = connection->Execute("SHOW TABLES");
  std::map<std::string, std::string> counts;
  for (; !tables->Eof(); tables->MoveNext()) {
    std::string name = tables->GetFields().Item(0).GetValue().Text();
    auto rs = connection->Execute("SELECT COUNT(*), SUM(n) FROM `" + name + "`");
    counts[name] = Rows(*rs)[0];
    // A statement without rows in between changes nothing either.
    auto set = connection->Execute("SET @seen = 1");
    EXPECT_EQ(set->State(), adStateClosed);
    EXPECT_THROW(set->Eof(), Failure);
  }
  EXPECT_EQ(counts, (std::map<std::string, std::string>{
                        {"alpha", "3|6"}, {"beta", "3|6"}, {"delta", "3|6"}, {"gamma", "3|6"}}));
}

TEST_F(AccessTest, ResultsAbandonedMidStreamFreeTheConnection) {
  const std::string& db = BigDatabase();
  auto connection = Open(db);
  {
    auto rs = connection->Execute("SELECT id FROM big ORDER BY id");
    rs->MoveNext();
    EXPECT_EQ(rs->GetFields().Item(0).GetValue().Text(), "2");
    rs->Close();
    EXPECT_EQ(rs->State(), adStateClosed);
    EXPECT_THROW(rs->Eof(), Failure);
    EXPECT_THROW(rs->Close(), Failure);
    EXPECT_THROW(rs->GetFields(), Failure);
  }
  {
    auto rs = connection->Execute("SELECT id FROM big ORDER BY id");
    // Destroyed mid-stream without Close.
  }
  auto rs = connection->Execute("SELECT COUNT(*) FROM big");
  EXPECT_EQ(Rows(*rs), std::vector<std::string>{std::to_string(kBigRows)});
}

TEST_F(AccessTest, ConnectionAndResultsMayEndInAnyOrder) {
  std::string db = server().CreateDatabase("order");
  server().CreateTable(db, "t", "n INT");
  server().Insert(db, "t", "(1),(2),(3)");
  {
    // Closed connection: its results are closed, streaming or held.
    auto connection = Open(db);
    auto held = connection->Execute("SELECT n FROM t ORDER BY n");
    auto streaming = connection->Execute("SELECT n FROM t ORDER BY n");
    const Field& field = held->GetFields().Item(0);
    EXPECT_EQ(field.GetValue().Text(), "1");
    connection->Close();
    EXPECT_EQ(connection->State(), adStateClosed);
    EXPECT_EQ(held->State(), adStateClosed);
    EXPECT_EQ(streaming->State(), adStateClosed);
    EXPECT_THROW(held->Eof(), Failure);
    EXPECT_THROW(field.GetValue(), Failure);
    EXPECT_THROW(streaming->MoveNext(), Failure);
    // Reopened, the old results stay closed.
    connection->Open();
    EXPECT_EQ(held->State(), adStateClosed);
    auto rs = connection->Execute("SELECT COUNT(*) FROM t");
    EXPECT_EQ(Rows(*rs), std::vector<std::string>{"3"});
  }
  {
    // Destroyed connection, result still streaming.
    auto connection = Open(db);
    auto rs = connection->Execute("SELECT n FROM t ORDER BY n");
    connection.reset();
    EXPECT_EQ(rs->State(), adStateClosed);
    EXPECT_THROW(rs->MoveNext(), Failure);
  }
  {
    // Results destroyed before the connection.
    auto connection = Open(db);
    auto a = connection->Execute("SELECT n FROM t");
    auto b = connection->Execute("SELECT n FROM t");
    a.reset();
    b.reset();
    EXPECT_EQ(connection->State(), adStateOpen);
  }
}

TEST_F(AccessTest, RejectedStatementsRaiseTheServersError) {
  std::string db = server().CreateDatabase("reject");
  auto connection = Open(db);
  try {
    connection->Execute("SELECT * FROM missing_table");
    FAIL() << "no failure";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), 1146);
    EXPECT_EQ(failure.description(), "Table '" + db + ".missing_table' doesn't exist");
  }
  try {
    connection->Execute("SELEC 1");
    FAIL() << "no failure";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), 1064);
  }
  // Read-only mode refuses writes before the rights are even checked.
  try {
    connection->Execute("CREATE TABLE t (n INT)");
    FAIL() << "no failure";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), 1792);  // ER_CANT_EXECUTE_IN_READ_ONLY_TRANSACTION
  }
  // Without it, the backup account still may only read.
  auto writable = Open(db, "127.0.0.1", TestServer::kBackupUser, TestServer::kBackupPassword, 0);
  try {
    writable->Execute("CREATE TABLE t (n INT)");
    FAIL() << "no failure";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), 1142);  // ER_TABLEACCESS_DENIED_ERROR
  }
  auto rs = connection->Execute("SELECT 1");
  EXPECT_EQ(Rows(*rs), std::vector<std::string>{"1"});
}

TEST_F(AccessTest, ExtraResultsOfAProcedureAreSkipped) {
  std::string db = server().CreateDatabase("proc");
  server().Admin("CREATE PROCEDURE `" + db + "`.two() BEGIN SELECT 1; SELECT 2; END");
  auto connection = Open(db, "127.0.0.1", TestServer::kWriterUser, TestServer::kWriterPassword);
  auto rs = connection->Execute("CALL two()");
  EXPECT_EQ(Rows(*rs), std::vector<std::string>{"1"});
  auto next = connection->Execute("SELECT 3");
  EXPECT_EQ(Rows(*next), std::vector<std::string>{"3"});
}

// Kills the connection from the root session while a big result streams:
// the reader must see a failure, never a short result.
TEST_F(AccessTest, AReadErrorMidStreamIsRaised) {
  const std::string& db = BigDatabase();
  for (bool buffered : {false, true}) {
    SCOPED_TRACE(buffered ? "held in memory" : "streaming");
    auto connection = Open(db);
    auto id_rs = connection->Execute("SELECT CONNECTION_ID()");
    std::string id = Rows(*id_rs)[0];
    auto rs = connection->Execute("SELECT id, payload FROM big ORDER BY id");
    for (int i = 0; i < 10; ++i) rs->MoveNext();
    server().Admin("KILL CONNECTION " + id);
    if (buffered) {
      // The next statement reads the rest first and then fails itself.
      EXPECT_THROW(connection->Execute("SELECT 1"), Failure);
    }
    long rows = 10;
    bool failed = false;
    try {
      for (; !rs->Eof(); rs->MoveNext()) ++rows;
    } catch (const Failure& failure) {
      failed = true;
      EXPECT_NE(failure.number(), 0);
      EXPECT_FALSE(failure.description().empty());
    }
    EXPECT_TRUE(failed) << "read " << rows << " rows without a failure";
    EXPECT_LT(rows, kBigRows);
  }
}

}  // namespace
}  // namespace vaultrun::db
