// A write connection for restores: Connector/C with character set binary
// (bytes pass unchanged), a 1 GB client packet limit and the session
// settings a restore needs. Local infile is enabled only while the
// restore's own LOAD DATA runs, and serves only the stream it names.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/connect.h"

namespace vaultrun::restore {

// How to reach the server (db/connect.h): the command line's values.
using ConnectOptions = db::ConnectOptions;

// Server error codes the restore tells apart.
inline constexpr unsigned kErrNoSuchTable = 1146;
inline constexpr unsigned kErrPacketTooLarge = 1153;
inline constexpr unsigned kErrClientPacketTooLarge = 2020;

// The one file a LOAD DATA LOCAL may read: its name in the statement, and
// where its bytes come from.
struct LocalFile {
  std::string name;
  // Up to size bytes into buffer; 0 at the end, -1 on an error (*error says
  // which).
  std::function<int(char* buffer, unsigned size, std::string* error)> read;
};

class Connection {
 public:
  // Connects and sets the session up; raises a Failure (number: the
  // server's error code) when it cannot.
  static std::unique_ptr<Connection> Open(const ConnectOptions& options);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Runs one statement and drops any result; raises a Failure whose number
  // is the server's error code, and whose description is the server's
  // message after where (when given), else before the statement's start.
  void Exec(std::string_view sql, const std::string& where = "");
  // Every row of a result, NULL as nullopt.
  using Row = std::vector<std::optional<std::string>>;
  std::vector<Row> Query(std::string_view sql);
  // The first column of the first row ("" when there is none or it is NULL).
  std::string QueryOne(std::string_view sql);
  // Runs a LOAD DATA LOCAL statement with local infile enabled for it
  // alone: the server gets file.read's bytes when it asks for file.name,
  // and a refusal for any other file. Raises as Exec does; a file refused or
  // failed gives its own message.
  void LoadLocal(std::string_view sql, const LocalFile& file, const std::string& where);
  uint64_t affected_rows() const;
  unsigned warning_count() const;
  // text as an SQL string literal, apostrophes included.
  std::string Literal(std::string_view text) const;
  // The server's max_allowed_packet, read at connect.
  uint64_t server_max_packet() const { return server_max_packet_; }

  st_mysql* handle() const { return mysql_.get(); }
  // How this connection reached the server, for opening another one alike.
  const ConnectOptions& options() const { return options_; }

 private:
  explicit Connection(db::MysqlHandle mysql);
  [[noreturn]] void Raise(std::string_view context) const;
  // The failure of the statement just run, with where or the statement.
  [[noreturn]] void RaiseStatement(std::string_view sql, const std::string& where,
                                   const std::string& message) const;

  db::MysqlHandle mysql_;
  uint64_t server_max_packet_ = 0;
  ConnectOptions options_;
};

// A name as an SQL identifier in backquotes, backquotes inside doubled.
std::string QuoteIdentifier(std::string_view name);

}  // namespace vaultrun::restore
