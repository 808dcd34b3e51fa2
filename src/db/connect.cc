#include "db/connect.h"

#include <mysql.h>

#include <algorithm>

#include "core/failure.h"
#include "db/client_options.h"

namespace vaultrun::db {
namespace {

const char* OrNull(const std::optional<std::string>& value) {
  return value ? value->c_str() : nullptr;
}

void SetSeconds(MYSQL* mysql, mysql_option option, unsigned seconds) {
  if (seconds > 0) mysql_optionsv(mysql, option, &seconds);
}

// True when a call that started at `started` lasted as long as a timeout of
// that many seconds (the client library waits whole seconds).
bool LastedFor(Clock::time_point started, unsigned seconds) {
  return seconds > 0 &&
         Clock::now() - started + std::chrono::milliseconds(250) >= std::chrono::seconds(seconds);
}

// "did not answer" text for a timeout that ran out.
std::string NoAnswer(const std::string& server, unsigned seconds, const char* setting) {
  return "the database server " + server + " did not answer within " + std::to_string(seconds) +
         " seconds (" + setting + "): ";
}

// The server as the user named it: host, and the port of a TCP connection.
std::string ServerName(const ConnectOptions& options) {
  std::string host = options.host.value_or("localhost");
  if (options.port != 0 && host != "localhost") host += ":" + std::to_string(options.port);
  return host;
}

// A client-side error (2000-2999): the connection itself failed.
bool IsClientError(unsigned number) { return number >= 2000 && number < 3000; }

}  // namespace

void MysqlCloser::operator()(st_mysql* mysql) const { mysql_close(mysql); }

MysqlHandle Connect(const ConnectOptions& options) {
  MysqlHandle mysql(mysql_init(nullptr));
  if (mysql == nullptr) throw Failure(kErrDatabase, "Out of memory");
  MYSQL* raw = mysql.get();
  if (options.read_option_files) UseClientOptionFiles(options.env, raw, options.defaults_file);
  if (!options.charset.empty()) {
    mysql_optionsv(raw, MYSQL_SET_CHARSET_NAME, options.charset.c_str());
  }
  if (options.local_infile) {
    unsigned int on = 1;
    mysql_optionsv(raw, MYSQL_OPT_LOCAL_INFILE, &on);
  }
  if (options.max_packet > 0) {
    mysql_optionsv(raw, MYSQL_OPT_MAX_ALLOWED_PACKET, &options.max_packet);
  }
  unsigned connect_timeout = options.connect_timeout;
  if (connect_timeout == 0) mysql_get_optionv(raw, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
  if (connect_timeout == 0) connect_timeout = kDefaultConnectTimeout;
  SetSeconds(raw, MYSQL_OPT_CONNECT_TIMEOUT, connect_timeout);
  SetSeconds(raw, MYSQL_OPT_READ_TIMEOUT,
             options.read_timeout != 0 ? options.read_timeout : kDefaultNetTimeout);
  SetSeconds(raw, MYSQL_OPT_WRITE_TIMEOUT,
             options.write_timeout != 0 ? options.write_timeout : kDefaultNetTimeout);
  const Clock::time_point started = Clock::now();
  if (mysql_real_connect(raw, OrNull(options.host), OrNull(options.user), OrNull(options.password),
                         OrNull(options.database), options.port, OrNull(options.socket),
                         0) == nullptr) {
    unsigned number = mysql_errno(raw);
    std::string message = mysql_error(raw);
    if (IsClientError(number) && LastedFor(started, connect_timeout)) {
      message = NoAnswer(ServerName(options), connect_timeout, "connect_timeout") + message;
    }
    throw Failure(number == 0 ? kErrDatabase : static_cast<int>(number), message);
  }
  return mysql;
}

int FailureNumber(st_mysql* mysql) {
  unsigned number = mysql_errno(mysql);
  return number == 0 ? kErrDatabase : static_cast<int>(number);
}

std::string FailureMessage(st_mysql* mysql, Clock::time_point started) {
  std::string message = mysql_error(mysql);
  if (!IsClientError(mysql_errno(mysql))) return message;
  unsigned read_timeout = 0, write_timeout = 0;
  mysql_get_optionv(mysql, MYSQL_OPT_READ_TIMEOUT, &read_timeout);
  mysql_get_optionv(mysql, MYSQL_OPT_WRITE_TIMEOUT, &write_timeout);
  const unsigned seconds = std::min(read_timeout == 0 ? write_timeout : read_timeout,
                                    write_timeout == 0 ? read_timeout : write_timeout);
  if (!LastedFor(started, seconds)) return message;
  const char* host = nullptr;
  unsigned port = 0;
  const char* socket = nullptr;
  mariadb_get_infov(mysql, MARIADB_CONNECTION_HOST, &host);
  mariadb_get_infov(mysql, MARIADB_CONNECTION_PORT, &port);
  mariadb_get_infov(mysql, MARIADB_CONNECTION_UNIX_SOCKET, &socket);
  std::string server = host != nullptr ? host : "localhost";
  if (socket == nullptr && port != 0) server += ":" + std::to_string(port);
  return NoAnswer(server, seconds, "net_timeout") + message;
}

}  // namespace vaultrun::db
