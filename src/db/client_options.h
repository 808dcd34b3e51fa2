// One rule for the option files of every database connection of both
// programs (the backup's, the restore's and the verify's), for the
// connection options that the caller does not give itself:
//
// - A file the user named (vaultrun-restore's --defaults-file) is read on
//   every platform, and must exist.
// - Otherwise, on Windows, the [client] group of <Windows folder>\my.ini
//   when it exists, which only administrators can change: never the
//   program's folder, C:\ or %MARIADB_HOME%, where the client library would
//   also look and where others may be able to place a file.
// - Otherwise (POSIX) the client library reads its standard option files,
//   as MariaDB's own clients do.
//
// Files read here are read through Env (a path in any characters: the
// library opens its files with the ANSI fopen on Windows), and only the
// options of the allow-list in client_options.cc reach the library:
// where the server is, the account, TLS and the connect timeout; the plugin
// folder and the default authentication plugin only from a file the user
// named, since they load a DLL into the process. The library itself is
// then told to read no option file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/env.h"

struct st_mysql;

namespace vaultrun::db {

struct ClientOption {
  std::string key;  // as the allow-list names it ("host", "ssl-ca", ...)
  std::optional<std::string> value;
};

// The allowed options of the [client], [client-server] and [client-mariadb]
// groups of the option file at path and of the files it includes, in the
// order they apply (a later one replaces an earlier one). named: the user
// named the file. Raises a Failure that names the file (and line) when the
// file is named and missing, cannot be read, holds a line that cannot be
// read, or gives an allowed option a value it cannot take. Options outside
// the allow-list are left out.
std::vector<ClientOption> ReadClientOptions(Env& env, const std::string& path, bool named);

// Hands the options to a handle from mysql_init, before it connects.
void ApplyClientOptions(st_mysql* mysql, const std::vector<ClientOption>& options);

// The rule above, for a handle from mysql_init before it connects;
// named_file is empty when the user named none. A file is read through env
// (only the POSIX standard files need none). Raises a Failure.
void UseClientOptionFiles(Env* env, st_mysql* mysql, const std::string& named_file);

}  // namespace vaultrun::db
