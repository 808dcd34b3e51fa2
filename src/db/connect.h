// The one way this program connects to a database server, for the backup
// run, the restore and the verify alike: Connector/C with the option files'
// [client] group read by one rule (client_options.h), then the values given
// here.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/env.h"

struct st_mysql;

namespace vaultrun::db {

// How to reach the server, as MariaDB's own clients take it: unset values
// come from the option files' [client] group, then Connector/C's defaults.
struct ConnectOptions {
  std::optional<std::string> host;
  std::optional<std::string> user;
  std::optional<std::string> password;
  std::optional<std::string> socket;
  std::optional<std::string> database;
  unsigned port = 0;
  bool read_option_files = true;
  // Read instead of the standard files (it must exist); empty: the
  // platform's choice (ClientOptionFile).
  std::string defaults_file;
  // Reads the option files; needed wherever one is read here (a named file,
  // and on Windows the Windows folder's my.ini).
  Env* env = nullptr;
  // The client character set at connect; empty: the option files' choice.
  std::string charset;
  // Asks the server to allow LOAD DATA LOCAL (the client side stays off
  // until the caller serves a file).
  bool local_infile = false;
  // The client's packet limit in bytes; 0: Connector/C's default.
  unsigned long max_packet = 0;
  // In seconds; 0: Connector/C's default (none for reads and writes).
  unsigned connect_timeout = 0;
  unsigned read_timeout = 0;
  unsigned write_timeout = 0;
};

struct MysqlCloser {
  void operator()(st_mysql* mysql) const;
};
using MysqlHandle = std::unique_ptr<st_mysql, MysqlCloser>;

// Connects; raises a Failure with the server's (or the client library's)
// error number and its message when it cannot.
MysqlHandle Connect(const ConnectOptions& options);

}  // namespace vaultrun::db
