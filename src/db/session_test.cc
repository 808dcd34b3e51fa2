#include "db/session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "test_db.h"

namespace vaultrun {
namespace {

using test::TestServer;

TEST(BuildConnectionStringTest, JoinsPlainPiecesExactly) {
  EXPECT_EQ(BuildConnectionString("db.example", "game", "backup", "pw"),
            "DRIVER={MySQL ODBC 3.51 Driver};SERVER=db.example;DATABASE=game;UID=backup;"
            "PWD=pw;OPTION=3");
  EXPECT_EQ(BuildConnectionString("", "", "", ""),
            "DRIVER={MySQL ODBC 3.51 Driver};SERVER=;DATABASE=;UID=;PWD=;OPTION=3");
  // Braces and "=" that need no quoting stay as they are.
  EXPECT_EQ(BuildConnectionString("h", "d", "u", "a}b{c=d"),
            "DRIVER={MySQL ODBC 3.51 Driver};SERVER=h;DATABASE=d;UID=u;PWD=a}b{c=d;OPTION=3");
}

TEST(BuildConnectionStringTest, BracesValuesThatWouldBreakTheString) {
  EXPECT_EQ(BuildConnectionString("h", "d", "u", "se;cret"),
            "DRIVER={MySQL ODBC 3.51 Driver};SERVER=h;DATABASE=d;UID=u;PWD={se;cret};OPTION=3");
  EXPECT_EQ(BuildConnectionString("h", "d", "u", "{x}"),
            "DRIVER={MySQL ODBC 3.51 Driver};SERVER=h;DATABASE=d;UID=u;PWD={{x}}};OPTION=3");
  EXPECT_EQ(BuildConnectionString("h;1", "d}", "{u", "p;}"),
            "DRIVER={MySQL ODBC 3.51 Driver};SERVER={h;1};DATABASE=d};UID={{u};PWD={p;}}};"
            "OPTION=3");
}

class SessionTest : public ::testing::Test {
 protected:
  TestServer& server() { return TestServer::Get(); }

  int BackupSessions() {
    return std::stoi(server().AdminQueryOne(
        "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE USER = 'backup'"));
  }

  Process process_;
};

TEST_F(SessionTest, OpensAReadOnlySessionWithServerSideCursors) {
  std::string db = server().CreateDatabase("session");
  server().CreateTable(db, "t", "n INT");
  server().UseWriterAccount(process_, db);
  ASSERT_TRUE(OpenConnection(process_));
  ASSERT_NE(process_.SessionConnection, nullptr);
  EXPECT_EQ(process_.SessionConnection->State(), db::adStateOpen);
  EXPECT_EQ(process_.SessionConnection->ConnectionString(),
            "DRIVER={MySQL ODBC 3.51 Driver};SERVER=127.0.0.1;DATABASE=" + db +
                ";UID=writer;PWD=writer-pw;OPTION=3");

  // An account that could write cannot through this session.
  std::unique_ptr<db::Recordset> rs;
  EXPECT_FALSE(RunQuery(process_, "INSERT INTO t VALUES (1)", rs));
  EXPECT_EQ(process_.LastErrorDescription, "Cannot execute statement in a READ ONLY transaction");
  EXPECT_EQ(server().AdminQueryOne("SELECT COUNT(*) FROM `" + db + "`.t"), "0");
  ASSERT_TRUE(RunQuery(process_, "SELECT @@session.tx_read_only", rs));
  EXPECT_EQ(rs->GetFields().Item(0).GetValue().Text(), "1");
}

TEST_F(SessionTest, AWrongPasswordKeepsTheClosedConnectionWithTheServersMessage) {
  std::string db = server().CreateDatabase("session");
  server().UseBackupAccount(process_, db);
  process_.DbPassword = "not;the}password";
  EXPECT_FALSE(OpenConnection(process_));
  ASSERT_NE(process_.SessionConnection, nullptr);
  EXPECT_EQ(process_.SessionConnection->State(), db::adStateClosed);
  const db::Errors& errors = process_.SessionConnection->GetErrors();
  ASSERT_EQ(errors.Count(), 1);
  EXPECT_EQ(errors.Item(0).Number, 1045);
  EXPECT_EQ(errors.Item(0).Description,
            "Access denied for user 'backup'@'127.0.0.1' (using password: YES)");
  // The password reaches only the connection string.
  EXPECT_EQ(process_.LastErrorDescription, "");

  // A password with ";" and "}" reaches the server intact.
  server().Admin("CREATE USER 'odd'@'127.0.0.1' IDENTIFIED BY 'not;the}password'");
  server().Admin("GRANT SELECT ON *.* TO 'odd'@'127.0.0.1'");
  process_.DbUser = "odd";
  EXPECT_TRUE(OpenConnection(process_));
  EXPECT_EQ(process_.SessionConnection->State(), db::adStateOpen);
}

TEST_F(SessionTest, AMissingDatabaseOrServerFailsTheOpen) {
  server().UseBackupAccount(process_, "no_such_database");
  EXPECT_FALSE(OpenConnection(process_));
  ASSERT_NE(process_.SessionConnection, nullptr);
  EXPECT_EQ(process_.SessionConnection->GetErrors().Item(0).Number, 1049);
  EXPECT_EQ(process_.SessionConnection->GetErrors().Item(0).Description,
            "Unknown database 'no_such_database'");

  server().UseBackupAccount(process_, "");
  process_.DbServer = "no-such-host.invalid";
  EXPECT_FALSE(OpenConnection(process_));
  EXPECT_EQ(process_.SessionConnection->GetErrors().Item(0).Number, 2005);  // unknown host
}

TEST_F(SessionTest, OpeningAgainReleasesThePreviousConnection) {
  std::string db = server().CreateDatabase("session");
  server().UseBackupAccount(process_, db);
  int before = BackupSessions();
  ASSERT_TRUE(OpenConnection(process_));
  EXPECT_EQ(BackupSessions(), before + 1);
  ASSERT_TRUE(OpenConnection(process_));
  EXPECT_EQ(process_.SessionConnection->State(), db::adStateOpen);
  // The server drops the old session asynchronously; give it a moment.
  for (int i = 0; i < 100 && BackupSessions() != before + 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(BackupSessions(), before + 1);
  CloseConnection(process_);
}

TEST_F(SessionTest, ARejectedQueryLeavesTheResultAndReportsTheServersMessage) {
  std::string db = server().CreateDatabase("session");
  server().CreateTable(db, "t", "n INT");
  server().Insert(db, "t", "(1),(2)");
  server().UseBackupAccount(process_, db);
  ASSERT_TRUE(OpenConnection(process_));

  std::unique_ptr<db::Recordset> rs;
  ASSERT_TRUE(RunQuery(process_, "SELECT n FROM t ORDER BY n", rs));
  db::Recordset* kept = rs.get();
  EXPECT_FALSE(RunQuery(process_, "SELECT * FROM nope", rs));
  EXPECT_EQ(process_.LastErrorDescription, "Table '" + db + ".nope' doesn't exist");
  ASSERT_EQ(rs.get(), kept);
  // Still readable: the failed statement forced its rows into memory.
  EXPECT_EQ(rs->GetFields().Item(0).GetValue().Text(), "1");
  rs->MoveNext();
  EXPECT_EQ(rs->GetFields().Item(0).GetValue().Text(), "2");

  ASSERT_TRUE(RunQuery(process_, "SELECT COUNT(*) FROM t", rs));
  EXPECT_NE(rs.get(), nullptr);
  EXPECT_EQ(rs->GetFields().Item(0).GetValue().Text(), "2");
}

TEST_F(SessionTest, AQueryWithoutAConnectionFails) {
  std::unique_ptr<db::Recordset> rs;
  EXPECT_FALSE(RunQuery(process_, "SELECT 1", rs));
  EXPECT_FALSE(process_.LastErrorDescription.empty());
  EXPECT_EQ(rs, nullptr);

  // Nor on one that is closed.
  process_.SessionConnection = std::make_unique<db::Connection>();
  process_.LastErrorDescription.clear();
  EXPECT_FALSE(RunQuery(process_, "SELECT 1", rs));
  EXPECT_FALSE(process_.LastErrorDescription.empty());
  EXPECT_EQ(rs, nullptr);
}

// A result set that counts the calls made on it; closing may be set to fail.
class CountingRecordset : public db::Recordset {
 public:
  CountingRecordset(int state, bool close_fails, int* closes)
      : state_(state), close_fails_(close_fails), closes_(closes) {}
  bool Eof() const override { return true; }
  void MoveNext() override {}
  const db::Fields& GetFields() const override { return fields_; }
  int State() const override { return state_; }
  void Close() override {
    ++*closes_;
    if (close_fails_) throw Failure(kErrDatabase, "close failed");
    state_ = db::adStateClosed;
  }
  db::Value ValueAt(int) const override { return db::Value(); }
  db::RowData CurrentRow() const override { return {}; }

 private:
  int state_;
  bool close_fails_;
  int* closes_;
  db::Fields fields_;
};

TEST(CloseRecordsetTest, ClosesOnlyWhatIsOpenAndAlwaysEmpties) {
  int closes = 0;
  std::unique_ptr<db::Recordset> rs;
  CloseRecordset(rs);
  EXPECT_EQ(rs, nullptr);

  rs = std::make_unique<CountingRecordset>(db::adStateOpen, false, &closes);
  CloseRecordset(rs);
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(rs, nullptr);

  rs = std::make_unique<CountingRecordset>(db::adStateClosed, false, &closes);
  CloseRecordset(rs);
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(rs, nullptr);

  rs = std::make_unique<CountingRecordset>(db::adStateOpen, true, &closes);
  EXPECT_NO_THROW(CloseRecordset(rs));
  EXPECT_EQ(closes, 2);
  EXPECT_EQ(rs, nullptr);
}

TEST_F(SessionTest, ClosingRealResultsAndConnections) {
  std::string db = server().CreateDatabase("session");
  server().UseBackupAccount(process_, db);

  CloseConnection(process_);  // nothing there
  EXPECT_EQ(process_.SessionConnection, nullptr);

  // A failed open leaves a closed connection: released without Close.
  process_.DbPassword = "wrong";
  EXPECT_FALSE(OpenConnection(process_));
  EXPECT_NO_THROW(CloseConnection(process_));
  EXPECT_EQ(process_.SessionConnection, nullptr);

  server().UseBackupAccount(process_, db);
  ASSERT_TRUE(OpenConnection(process_));
  std::unique_ptr<db::Recordset> open_rs, done_rs;
  ASSERT_TRUE(RunQuery(process_, "SELECT 1 UNION SELECT 2", open_rs));
  ASSERT_TRUE(RunQuery(process_, "SET @x = 1", done_rs));
  EXPECT_EQ(done_rs->State(), db::adStateClosed);
  CloseRecordset(open_rs);
  CloseRecordset(done_rs);
  EXPECT_EQ(open_rs, nullptr);
  EXPECT_EQ(done_rs, nullptr);
  CloseConnection(process_);
  EXPECT_EQ(process_.SessionConnection, nullptr);
}

TEST_F(SessionTest, ShutDownClosesEverythingAndEndsTheProcess) {
  std::unique_ptr<db::Recordset> first, second;
  EXPECT_THROW(ShutDown(process_, first, second), ProcessEnd);

  std::string db = server().CreateDatabase("session");
  server().UseBackupAccount(process_, db);
  int before = BackupSessions();
  ASSERT_TRUE(OpenConnection(process_));
  ASSERT_TRUE(RunQuery(process_, "SHOW TABLES", first));
  ASSERT_TRUE(RunQuery(process_, "SELECT 1 UNION SELECT 2", second));
  EXPECT_THROW(ShutDown(process_, first, second), ProcessEnd);
  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(process_.SessionConnection, nullptr);
  // Sessions of earlier tests may still be ending, so the count may drop
  // below where it was; this session's own must be gone.
  for (int i = 0; i < 100 && BackupSessions() > before; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_LE(BackupSessions(), before);
}

}  // namespace
}  // namespace vaultrun
