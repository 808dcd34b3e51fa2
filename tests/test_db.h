// The suite's own MariaDB server: started on first use from the Debian
// server binaries with a fresh data folder in the build tree, reachable on a
// free TCP port of 127.0.0.1 and on a private unix socket, and stopped when
// the test process ends. Under CTest every test case is a process of its
// own, so one server is shared instead: a fixture starts it
// (vaultrun_test_server) and names its folder in VAULTRUN_TEST_SERVER. The
// machine's own server is never used.
#pragma once

#include <memory>
#include <string>
#include <vector>

struct st_mysql;

namespace vaultrun {
struct Process;
}

namespace vaultrun::test {

// A plain Connector/C connection for test set-up (root, no option files).
class AdminConnection {
 public:
  // Connects through the socket as user; a failure fails the current test
  // and leaves ok() false.
  AdminConnection(const std::string& socket, const std::string& user, const std::string& password);
  ~AdminConnection();
  AdminConnection(const AdminConnection&) = delete;
  AdminConnection& operator=(const AdminConnection&) = delete;

  bool ok() const { return mysql_ != nullptr; }
  // Runs sql and drops any result. False (with *error set when not null) on
  // failure; does not fail the test.
  bool TryExec(const std::string& sql, std::string* error = nullptr);
  // Runs sql; a failure fails the current test.
  void Exec(const std::string& sql);
  // One column (the first by default) of each row of sql's result (Null as
  // "NULL").
  std::vector<std::string> Column(const std::string& sql, unsigned column = 0);
  // The first column of the first row, or "" (and a test failure) when
  // there is none.
  std::string QueryOne(const std::string& sql);

 private:
  struct Closer {
    void operator()(st_mysql* mysql) const;
  };
  std::unique_ptr<st_mysql, Closer> mysql_;
};

class TestServer {
 public:
  // The process-wide server, started (or found, see above) on the first
  // call. When it cannot be started every call fails the current test and
  // throws.
  static TestServer& Get();

  // The shared server: started in folder dir, outliving this process, with
  // its port and socket written to dir/server.txt; stopped again. Return
  // what went wrong, or "".
  static std::string StartShared(const std::string& dir);
  static std::string StopShared(const std::string& dir);

  int port() const { return port_; }
  const std::string& socket() const { return socket_; }
  const std::string& data_dir() const { return data_dir_; }

  // The account the backup uses: SELECT on every database and the rights
  // that show definitions (SHOW VIEW, TRIGGER, EVENT), nothing else.
  static constexpr const char* kBackupUser = "backup";
  static constexpr const char* kBackupPassword = "backup-pw";
  // An account with every right, for checks that need one that could write.
  static constexpr const char* kWriterUser = "writer";
  static constexpr const char* kWriterPassword = "writer-pw";

  // Runs SQL as root; a failure fails the current test.
  void Admin(const std::string& sql);
  // The first column of the first row of sql run as root.
  std::string AdminQueryOne(const std::string& sql);
  // The root connection itself, for anything more.
  AdminConnection& admin() { return *admin_; }

  // Creates a new empty database (utf8mb4) and returns its name:
  // prefix + "_" + a number unique in this process.
  std::string CreateDatabase(const std::string& prefix);
  // CREATE TABLE database.table (columns).
  void CreateTable(const std::string& database, const std::string& table,
                   const std::string& columns);
  // INSERT INTO database.table VALUES values, e.g. "(1,'a'),(2,'b')".
  void Insert(const std::string& database, const std::string& table, const std::string& values);

  // Fills the connection parameters of process for database with the backup
  // account, reaching the server over TCP (SERVER=127.0.0.1).
  void UseBackupAccount(Process& process, const std::string& database) const;
  // The same with the writer account.
  void UseWriterAccount(Process& process, const std::string& database) const;

  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

 private:
  TestServer() = default;
  // Empty on success, otherwise what went wrong. A detached server outlives
  // this process.
  std::string Start(const std::string& base_dir, bool detached);
  // Connects to the shared server named in VAULTRUN_TEST_SERVER.
  std::string Attach(const std::string& dir);
  std::string CreateAccounts();
  void Stop();

  int pid_ = 0;
  int port_ = 0;
  std::string socket_;
  std::string base_dir_;
  std::string data_dir_;
  std::string error_log_;
  std::string pid_file_;
  int next_database_ = 0;
  bool shared_ = false;
  std::unique_ptr<AdminConnection> admin_;
};

// Every object of database as SHOW CREATE shows it, one line each: tables,
// views and sequences, then procedures, functions, triggers and events
// (with their definer and sql_mode), views relative to the database.
std::vector<std::string> ObjectsAsShown(const std::string& database);

}  // namespace vaultrun::test
