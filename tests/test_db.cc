#include "test_db.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mysql.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "core/process.h"
#include "test_util.h"

namespace vaultrun::test {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(60);
constexpr auto kStopTimeout = std::chrono::seconds(20);

// The server's pid for the signal handler; 0 when none is running.
volatile sig_atomic_t g_server_pid = 0;
// Its socket, removed by the signal handler too.
char g_socket_path[128] = {};

// An interrupted run must not leave a server behind: kill it, then let the
// signal do what it would have done.
extern "C" void KillServerOnSignal(int sig) {
  if (g_server_pid > 0) kill(static_cast<pid_t>(g_server_pid), SIGKILL);
  if (g_socket_path[0] != '\0') unlink(g_socket_path);
  signal(sig, SIG_DFL);
  raise(sig);
}

std::string ReadTail(const std::string& path, size_t bytes) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string text = ss.str();
  return text.size() > bytes ? text.substr(text.size() - bytes) : text;
}

// A free TCP port of 127.0.0.1, found by letting the system pick one.
int FindFreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  int port = 0;
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

// Kills a server that an earlier, killed run left behind on our data folder.
void KillLeftover(const std::string& pid_file) {
  std::ifstream in(pid_file);
  long pid = 0;
  if (!(in >> pid) || pid <= 0) return;
  std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
  std::string text((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
  if (text.find("mariadbd") == std::string::npos) return;
  kill(static_cast<pid_t>(pid), SIGKILL);
  for (int i = 0; i < 100 && kill(static_cast<pid_t>(pid), 0) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// True when root can connect through the socket.
bool CanConnect(const std::string& socket) {
  struct Closer {
    void operator()(MYSQL* mysql) const { mysql_close(mysql); }
  };
  std::unique_ptr<MYSQL, Closer> probe(mysql_init(nullptr));
  return probe != nullptr && mysql_real_connect(probe.get(), "localhost", "root", "", nullptr, 0,
                                                socket.c_str(), 0) != nullptr;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

}  // namespace

void AdminConnection::Closer::operator()(st_mysql* mysql) const { mysql_close(mysql); }

AdminConnection::AdminConnection(const std::string& socket, const std::string& user,
                                 const std::string& password) {
  std::unique_ptr<st_mysql, Closer> mysql(mysql_init(nullptr));
  if (mysql == nullptr) {
    ADD_FAILURE() << "mysql_init failed";
    return;
  }
  mysql_optionsv(mysql.get(), MYSQL_SET_CHARSET_NAME, "utf8mb4");
  if (mysql_real_connect(mysql.get(), "localhost", user.c_str(), password.c_str(), nullptr, 0,
                         socket.c_str(), 0) == nullptr) {
    ADD_FAILURE() << "cannot connect to the test server as " << user << ": "
                  << mysql_error(mysql.get());
    return;
  }
  mysql_ = std::move(mysql);
}

AdminConnection::~AdminConnection() = default;

bool AdminConnection::TryExec(const std::string& sql, std::string* error) {
  if (mysql_ == nullptr) {
    if (error != nullptr) *error = "not connected";
    return false;
  }
  MYSQL* mysql = mysql_.get();
  if (mysql_real_query(mysql, sql.data(), sql.size()) != 0) {
    if (error != nullptr) *error = mysql_error(mysql);
    return false;
  }
  do {
    MYSQL_RES* result = mysql_store_result(mysql);
    if (result != nullptr) mysql_free_result(result);
  } while (mysql_next_result(mysql) == 0);
  if (mysql_errno(mysql) != 0) {
    if (error != nullptr) *error = mysql_error(mysql);
    return false;
  }
  return true;
}

void AdminConnection::Exec(const std::string& sql) {
  std::string error;
  if (!TryExec(sql, &error)) ADD_FAILURE() << "admin SQL failed: " << sql << "\n  " << error;
}

std::vector<std::string> AdminConnection::Column(const std::string& sql, unsigned column) {
  std::vector<std::string> values;
  if (mysql_ == nullptr) {
    ADD_FAILURE() << "not connected: " << sql;
    return values;
  }
  MYSQL* mysql = mysql_.get();
  if (mysql_real_query(mysql, sql.data(), sql.size()) != 0) {
    ADD_FAILURE() << "admin SQL failed: " << sql << "\n  " << mysql_error(mysql);
    return values;
  }
  struct Freer {
    void operator()(MYSQL_RES* r) const { mysql_free_result(r); }
  };
  std::unique_ptr<MYSQL_RES, Freer> result(mysql_store_result(mysql));
  if (result == nullptr) {
    if (mysql_errno(mysql) != 0) ADD_FAILURE() << "admin SQL failed: " << mysql_error(mysql);
    return values;
  }
  if (column >= mysql_num_fields(result.get())) {
    ADD_FAILURE() << "no column " << column << " in: " << sql;
    return values;
  }
  while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
    unsigned long* lengths = mysql_fetch_lengths(result.get());
    values.push_back(row[column] == nullptr ? std::string("NULL")
                                            : std::string(row[column], lengths[column]));
  }
  return values;
}

std::string AdminConnection::QueryOne(const std::string& sql) {
  std::vector<std::string> values = Column(sql);
  if (values.empty()) {
    ADD_FAILURE() << "no row from: " << sql;
    return "";
  }
  return values[0];
}

TestServer& TestServer::Get() {
  static TestServer server;
  static const std::string error = [] {
    const char* shared = std::getenv("VAULTRUN_TEST_SERVER");
    if (shared != nullptr && *shared != '\0') return server.Attach(shared);
    return server.Start(std::string(VAULTRUN_BUILD_DIR) + "/tmp/mariadb", false);
  }();
  if (!error.empty()) {
    ADD_FAILURE() << error;
    throw std::runtime_error(error);
  }
  return server;
}

TestServer::~TestServer() { Stop(); }

std::string TestServer::StartShared(const std::string& dir) {
  TestServer server;
  std::string error = server.Start(dir, true);
  if (!error.empty()) return error;
  std::ofstream out(dir + "/server.txt");
  out << server.port_ << "\n" << server.socket_ << "\n";
  out.close();
  server.pid_ = 0;  // it stays up, its socket too
  server.socket_.clear();
  return out ? "" : "cannot write " + dir + "/server.txt";
}

std::string TestServer::StopShared(const std::string& dir) {
  KillLeftover(dir + "/mariadbd.pid");
  std::ifstream in(dir + "/server.txt");
  int port = 0;
  std::string socket;
  if (in >> port >> socket) unlink(socket.c_str());
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return "";
}

std::string TestServer::Attach(const std::string& dir) {
  std::ifstream in(dir + "/server.txt");
  if (!(in >> port_ >> socket_)) return "no shared test server in " + dir + " (server.txt)";
  shared_ = true;
  admin_ = std::make_unique<AdminConnection>(socket_, "root", "");
  if (!admin_->ok()) return "cannot connect to the shared test server as root";
  setenv("MYSQL_TCP_PORT", std::to_string(port_).c_str(), 1);
  setenv("MYSQL_UNIX_PORT", socket_.c_str(), 1);
  return "";
}

std::string TestServer::Start(const std::string& base_dir, bool detached) {
  namespace fs = std::filesystem;
  base_dir_ = base_dir;
  data_dir_ = base_dir_ + "/data";
  error_log_ = base_dir_ + "/error.log";
  pid_file_ = base_dir_ + "/mariadbd.pid";
  KillLeftover(pid_file_);
  std::error_code ec;
  fs::remove_all(base_dir_, ec);
  fs::create_directories(base_dir_, ec);
  if (ec) return "cannot create " + base_dir_ + ": " + ec.message();

  bool as_root = geteuid() == 0;
  std::string install_log = base_dir_ + "/install.log";
  std::string install = "mariadb-install-db --no-defaults" +
                        std::string(as_root ? " --user=root" : "") + " --datadir='" + data_dir_ +
                        "' --auth-root-authentication-method=normal --skip-test-db >'" +
                        install_log + "' 2>&1";
  if (RunCommand(install) != 0) {
    return "mariadb-install-db failed:\n" + ReadTail(install_log, 4000);
  }

  port_ = FindFreePort();
  if (port_ == 0) return "no free TCP port on 127.0.0.1";
  socket_ = "/tmp/vaultrun-test-" + std::to_string(getpid()) + ".sock";
  unlink(socket_.c_str());
  snprintf(g_socket_path, sizeof g_socket_path, "%s", socket_.c_str());

  std::vector<std::string> args = {
      "/usr/sbin/mariadbd",
      "--no-defaults",
      "--datadir=" + data_dir_,
      "--socket=" + socket_,
      "--port=" + std::to_string(port_),
      "--bind-address=127.0.0.1",
      "--skip-name-resolve",
      "--innodb-buffer-pool-size=256M",
      "--innodb-flush-log-at-trx-commit=2",
      "--max-allowed-packet=256M",
      "--log-error=" + error_log_,
      "--pid-file=" + pid_file_,
  };
  if (as_root) args.insert(args.begin() + 2, "--user=root");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::string server_out = base_dir_ + "/server.out";

  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    if (detached) {
      setsid();
    } else {
      // The server dies with the test process, however that ends.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
    }
    int out = open(server_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
    }
    int in = open("/dev/null", O_RDONLY);
    if (in >= 0) dup2(in, STDIN_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  pid_ = pid;
  if (!detached) {
    g_server_pid = pid;
    signal(SIGINT, KillServerOnSignal);
    signal(SIGTERM, KillServerOnSignal);
  }

  auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  for (;;) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = 0;
      g_server_pid = 0;
      return "the test MariaDB server exited at start; its error log ends:\n" +
             ReadTail(error_log_, 4000) + ReadTail(server_out, 2000);
    }
    if (CanConnect(socket_)) break;
    if (std::chrono::steady_clock::now() > deadline) {
      Stop();
      return "the test MariaDB server did not accept connections within 60 s; its error log "
             "ends:\n" +
             ReadTail(error_log_, 4000);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  admin_ = std::make_unique<AdminConnection>(socket_, "root", "");
  if (!admin_->ok()) return "cannot connect to the test server as root";
  std::string error = CreateAccounts();
  if (!error.empty()) return error;
  // The program under test reaches this server and no other.
  setenv("MYSQL_TCP_PORT", std::to_string(port_).c_str(), 1);
  setenv("MYSQL_UNIX_PORT", socket_.c_str(), 1);
  return "";
}

std::string TestServer::CreateAccounts() {
  for (const char* host : {"localhost", "127.0.0.1"}) {
    std::string backup = Quote(kBackupUser) + "@" + Quote(host);
    std::string writer = Quote(kWriterUser) + "@" + Quote(host);
    std::string error;
    if (!admin_->TryExec("CREATE USER " + backup + " IDENTIFIED BY " + Quote(kBackupPassword),
                         &error) ||
        !admin_->TryExec("GRANT SELECT, SHOW VIEW, TRIGGER, EVENT ON *.* TO " + backup, &error) ||
        !admin_->TryExec("CREATE USER " + writer + " IDENTIFIED BY " + Quote(kWriterPassword),
                         &error) ||
        !admin_->TryExec("GRANT ALL ON *.* TO " + writer, &error)) {
      return "cannot create the test accounts: " + error;
    }
  }
  return "";
}

void TestServer::Stop() {
  admin_.reset();
  if (shared_) return;  // the fixture's server, stopped by the fixture
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) != pid_) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = 0;
    g_server_pid = 0;
  }
  if (!socket_.empty()) unlink(socket_.c_str());
}

void TestServer::Admin(const std::string& sql) { admin_->Exec(sql); }

std::string TestServer::AdminQueryOne(const std::string& sql) { return admin_->QueryOne(sql); }

std::string TestServer::CreateDatabase(const std::string& prefix) {
  // Processes that share a server tell their databases apart by the pid.
  std::string name = prefix + "_" + (shared_ ? std::to_string(getpid()) + "_" : "") +
                     std::to_string(++next_database_);
  Admin("CREATE DATABASE `" + name + "` CHARACTER SET utf8mb4");
  return name;
}

namespace {
// A name as an SQL identifier, each backquote inside doubled.
std::string Quoted(const std::string& name) {
  std::string out = "`";
  for (char c : name) out += c == '`' ? std::string("``") : std::string(1, c);
  return out + "`";
}
}  // namespace

void TestServer::CreateTable(const std::string& database, const std::string& table,
                             const std::string& columns) {
  Admin("CREATE TABLE " + Quoted(database) + "." + Quoted(table) + " (" + columns + ")");
}

void TestServer::Insert(const std::string& database, const std::string& table,
                        const std::string& values) {
  Admin("INSERT INTO " + Quoted(database) + "." + Quoted(table) + " VALUES " + values);
}

void TestServer::UseBackupAccount(Process& process, const std::string& database) const {
  process.DbServer = "127.0.0.1";
  process.DbName = database;
  process.DbUser = kBackupUser;
  process.DbPassword = kBackupPassword;
}

void TestServer::UseWriterAccount(Process& process, const std::string& database) const {
  process.DbServer = "127.0.0.1";
  process.DbName = database;
  process.DbUser = kWriterUser;
  process.DbPassword = kWriterPassword;
}

std::vector<std::string> ObjectsAsShown(const std::string& database) {
  auto quoted = [](std::string name) {
    for (size_t at = name.find('`'); at != std::string::npos; at = name.find('`', at + 2)) {
      name.insert(at, 1, '`');
    }
    return "`" + name + "`";
  };
  AdminConnection& admin = TestServer::Get().admin();
  admin.Exec("USE " + quoted(database));
  admin.Exec("SET SESSION sql_mode = ''");
  const std::string where = " = '" + database + "' ORDER BY 1";
  std::vector<std::string> all;
  auto show = [&](const std::string& what, const std::string& sql,
                  std::initializer_list<unsigned> columns) {
    std::string line = what;
    for (unsigned column : columns) {
      for (const std::string& value : admin.Column(sql, column)) line += " | " + value;
    }
    all.push_back(line);
  };
  for (const std::string& name : admin.Column(
           "SELECT table_name FROM information_schema.tables WHERE table_schema" + where)) {
    show(name, "SHOW CREATE TABLE " + quoted(name), {1});
  }
  for (const std::string kind : {"PROCEDURE", "FUNCTION"}) {
    for (const std::string& name :
         admin.Column("SELECT routine_name FROM information_schema.routines WHERE "
                      "routine_type = '" +
                      kind + "' AND routine_schema" + where)) {
      show(name, "SHOW CREATE " + kind + " " + quoted(name), {1, 2});
    }
  }
  for (const std::string& name : admin.Column(
           "SELECT trigger_name FROM information_schema.triggers WHERE trigger_schema" + where)) {
    show(name, "SHOW CREATE TRIGGER " + quoted(name), {1, 2});
  }
  for (const std::string& name : admin.Column(
           "SELECT event_name FROM information_schema.events WHERE event_schema" + where)) {
    show(name, "SHOW CREATE EVENT " + quoted(name), {1, 2, 3});
  }
  admin.Exec("SET SESSION sql_mode = DEFAULT");
  admin.Exec("USE mysql");
  return all;
}

}  // namespace vaultrun::test
