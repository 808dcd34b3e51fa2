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

  // The failure that opening the session raised (number 0: none).
  Failure OpenError() {
    try {
      OpenConnection(process_, session_);
    } catch (const Failure& failure) {
      return failure;
    }
    return Failure(0, "");
  }
  // The description of the failure that sql raised ("" when none).
  std::string QueryError(const std::string& sql, std::unique_ptr<db::Recordset>& rs) {
    try {
      RunQuery(session_, sql, rs);
    } catch (const Failure& failure) {
      return failure.description();
    }
    return "";
  }

  Process process_;
  Session session_;
};

TEST_F(SessionTest, OpensAReadOnlySessionWithServerSideCursors) {
  std::string db = server().CreateDatabase("session");
  server().CreateTable(db, "t", "n INT");
  server().UseWriterAccount(process_, db);
  ASSERT_NO_THROW(OpenConnection(process_, session_));
  ASSERT_NE(session_.connection, nullptr);
  EXPECT_EQ(session_.connection->State(), db::adStateOpen);
  EXPECT_EQ(session_.connection->ConnectionString(),
            "DRIVER={MySQL ODBC 3.51 Driver};SERVER=127.0.0.1;DATABASE=" + db +
                ";UID=writer;PWD=writer-pw;OPTION=3");

  // An account that could write cannot through this session.
  std::unique_ptr<db::Recordset> rs;
  EXPECT_EQ(QueryError("INSERT INTO t VALUES (1)", rs),
            "Cannot execute statement in a READ ONLY transaction");
  EXPECT_EQ(server().AdminQueryOne("SELECT COUNT(*) FROM `" + db + "`.t"), "0");
  ASSERT_NO_THROW(RunQuery(session_, "SELECT @@session.tx_read_only", rs));
  EXPECT_EQ(rs->GetFields().Item(0).GetValue().Text(), "1");
}

TEST_F(SessionTest, AWrongPasswordKeepsTheClosedConnectionWithTheServersMessage) {
  std::string db = server().CreateDatabase("session");
  server().UseBackupAccount(process_, db);
  process_.DbPassword = "not;the}password";
  Failure failure = OpenError();
  EXPECT_EQ(session_.connection, nullptr);
  EXPECT_EQ(failure.number(), 1045);
  EXPECT_EQ(failure.description(),
            "Access denied for user 'backup'@'127.0.0.1' (using password: YES)");

  // A password with ";" and "}" reaches the server intact.
  server().Admin("CREATE USER 'odd'@'127.0.0.1' IDENTIFIED BY 'not;the}password'");
  server().Admin("GRANT SELECT ON *.* TO 'odd'@'127.0.0.1'");
  process_.DbUser = "odd";
  EXPECT_NO_THROW(OpenConnection(process_, session_));
  EXPECT_EQ(session_.connection->State(), db::adStateOpen);
}

TEST_F(SessionTest, AMissingDatabaseOrServerFailsTheOpen) {
  server().UseBackupAccount(process_, "no_such_database");
  Failure failure = OpenError();
  EXPECT_EQ(failure.number(), 1049);
  EXPECT_EQ(failure.description(), "Unknown database 'no_such_database'");

  server().UseBackupAccount(process_, "");
  process_.DbServer = "no-such-host.invalid";
  EXPECT_EQ(OpenError().number(), 2005);  // unknown host
}

TEST_F(SessionTest, OpeningAgainReleasesThePreviousConnection) {
  std::string db = server().CreateDatabase("session");
  server().UseBackupAccount(process_, db);
  int before = BackupSessions();
  ASSERT_NO_THROW(OpenConnection(process_, session_));
  EXPECT_EQ(BackupSessions(), before + 1);
  ASSERT_NO_THROW(OpenConnection(process_, session_));
  EXPECT_EQ(session_.connection->State(), db::adStateOpen);
  // The server drops the old session asynchronously; give it a moment.
  for (int i = 0; i < 100 && BackupSessions() != before + 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(BackupSessions(), before + 1);
  CloseConnection(session_);
}

TEST_F(SessionTest, ARejectedQueryLeavesTheResultAndReportsTheServersMessage) {
  std::string db = server().CreateDatabase("session");
  server().CreateTable(db, "t", "n INT");
  server().Insert(db, "t", "(1),(2)");
  server().UseBackupAccount(process_, db);
  ASSERT_NO_THROW(OpenConnection(process_, session_));

  std::unique_ptr<db::Recordset> rs;
  ASSERT_NO_THROW(RunQuery(session_, "SELECT n FROM t ORDER BY n", rs));
  db::Recordset* kept = rs.get();
  EXPECT_EQ(QueryError("SELECT * FROM nope", rs), "Table '" + db + ".nope' doesn't exist");
  ASSERT_EQ(rs.get(), kept);
  // Still readable: the failed statement forced its rows into memory.
  EXPECT_EQ(rs->GetFields().Item(0).GetValue().Text(), "1");
  rs->MoveNext();
  EXPECT_EQ(rs->GetFields().Item(0).GetValue().Text(), "2");

  ASSERT_NO_THROW(RunQuery(session_, "SELECT COUNT(*) FROM t", rs));
  EXPECT_NE(rs.get(), nullptr);
  EXPECT_EQ(rs->GetFields().Item(0).GetValue().Text(), "2");
}

TEST_F(SessionTest, AQueryWithoutAConnectionFails) {
  std::unique_ptr<db::Recordset> rs;
  EXPECT_FALSE(QueryError("SELECT 1", rs).empty());
  EXPECT_EQ(rs, nullptr);

  // Nor on one that is closed.
  session_.connection = std::make_unique<db::Connection>();
  EXPECT_FALSE(QueryError("SELECT 1", rs).empty());
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

  CloseConnection(session_);  // nothing there
  EXPECT_EQ(session_.connection, nullptr);

  // A failed open leaves no connection.
  process_.DbPassword = "wrong";
  EXPECT_NE(OpenError().number(), 0);
  EXPECT_NO_THROW(CloseConnection(session_));
  EXPECT_EQ(session_.connection, nullptr);

  server().UseBackupAccount(process_, db);
  ASSERT_NO_THROW(OpenConnection(process_, session_));
  std::unique_ptr<db::Recordset> open_rs, done_rs;
  ASSERT_NO_THROW(RunQuery(session_, "SELECT 1 UNION SELECT 2", open_rs));
  ASSERT_NO_THROW(RunQuery(session_, "SET @x = 1", done_rs));
  EXPECT_EQ(done_rs->State(), db::adStateClosed);
  CloseRecordset(open_rs);
  CloseRecordset(done_rs);
  EXPECT_EQ(open_rs, nullptr);
  EXPECT_EQ(done_rs, nullptr);
  CloseConnection(session_);
  EXPECT_EQ(session_.connection, nullptr);
}

TEST_F(SessionTest, ClosingEverythingEndsTheServersSession) {
  std::unique_ptr<db::Recordset> first, second;
  CloseConnection(session_);

  std::string db = server().CreateDatabase("session");
  server().UseBackupAccount(process_, db);
  int before = BackupSessions();
  ASSERT_NO_THROW(OpenConnection(process_, session_));
  ASSERT_NO_THROW(RunQuery(session_, "SHOW TABLES", first));
  ASSERT_NO_THROW(RunQuery(session_, "SELECT 1 UNION SELECT 2", second));
  CloseRecordset(first);
  CloseRecordset(second);
  CloseConnection(session_);
  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(session_.connection, nullptr);
  // Sessions of earlier tests may still be ending, so the count may drop
  // below where it was; this session's own must be gone.
  for (int i = 0; i < 100 && BackupSessions() > before; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_LE(BackupSessions(), before);
}

}  // namespace
}  // namespace vaultrun
