#include "restore/connection.h"

#include <mysql.h>

#include <cstdio>

#include "core/failure.h"
#include "run/export_query.h"

namespace vaultrun::restore {
namespace {

struct ResultCloser {
  void operator()(MYSQL_RES* result) const { mysql_free_result(result); }
};
using Result = std::unique_ptr<MYSQL_RES, ResultCloser>;

// The error code a refused or failed local file reports (CR_UNKNOWN_ERROR).
constexpr int kErrLocalFile = 2000;

// The state of one LOAD DATA LOCAL: the file it may serve and what went
// wrong.
struct LocalRead {
  const LocalFile* file = nullptr;  // nullptr: serve nothing
  std::string error;
};

int LocalInit(void** ptr, const char* name, void* userdata) {
  LocalRead* read = static_cast<LocalRead*>(userdata);
  *ptr = read;
  if (read == nullptr) return 1;
  if (read->file == nullptr || name == nullptr || read->file->name != name) {
    read->error = std::string("the server asked for local file ") + (name ? name : "") +
                  ", which this restore does not serve";
    return 1;
  }
  return 0;
}

int LocalReadBytes(void* ptr, char* buffer, unsigned int size) {
  LocalRead* read = static_cast<LocalRead*>(ptr);
  try {
    return read->file->read(buffer, size, &read->error);
  } catch (const Failure& failure) {
    read->error = failure.description();
  } catch (const std::exception& e) {
    read->error = e.what();
  }
  return -1;
}

void LocalEnd(void*) {}

int LocalError(void* ptr, char* buffer, unsigned int size) {
  LocalRead* read = static_cast<LocalRead*>(ptr);
  std::snprintf(buffer, size, "%s",
                read != nullptr ? read->error.c_str() : "local files are not served");
  return kErrLocalFile;
}

// Local infile off, and a handler that serves nothing in place of the
// library's default one, which would read any file the server names.
void RefuseLocalFiles(MYSQL* mysql) {
  unsigned int off = 0;
  mysql_optionsv(mysql, MYSQL_OPT_LOCAL_INFILE, &off);
  mysql_set_local_infile_handler(mysql, LocalInit, LocalReadBytes, LocalEnd, LocalError, nullptr);
}

}  // namespace

Connection::Connection(db::MysqlHandle mysql) : mysql_(std::move(mysql)) {}
Connection::~Connection() = default;

std::unique_ptr<Connection> Connection::Open(const ConnectOptions& options) {
  ConnectOptions restore = options;
  restore.charset = "binary";
  // Asked for at connect, so that the server allows LOAD DATA LOCAL at all;
  // the client side stays off until the restore's own LOAD DATA.
  restore.local_infile = true;
  restore.max_packet = 1UL << 30;
  db::MysqlHandle mysql;
  try {
    mysql = db::Connect(restore);
  } catch (const Failure& failure) {
    throw Failure(failure.number(), "connect: " + failure.description());
  }
  std::unique_ptr<Connection> connection(new Connection(std::move(mysql)));
  connection->options_ = options;
  MYSQL* raw = connection->mysql_.get();
  RefuseLocalFiles(raw);
  // An option file's default-character-set applies at connect and would
  // override the one set above; the restore needs binary whatever it says.
  if (mysql_set_character_set(raw, "binary") != 0) connection->Raise("set character set binary");
  // Zero and invalid dates (stored under ALLOW_INVALID_DATES) and 0 in
  // auto-increment columns restore as written; tables restore in archive
  // order, so foreign keys are checked by no one order.
  connection->Exec(
      "SET SESSION sql_mode='NO_AUTO_VALUE_ON_ZERO,ALLOW_INVALID_DATES', foreign_key_checks=0, "
      "autocommit=1");
  connection->server_max_packet_ = std::stoull(connection->QueryOne("SELECT @@max_allowed_packet"));
  return connection;
}

void Connection::Raise(std::string_view context) const {
  unsigned number = mysql_errno(mysql_.get());
  throw Failure(number != 0 ? static_cast<int>(number) : kErrDatabase,
                std::string(context) + ": " + mysql_error(mysql_.get()));
}

void Connection::RaiseStatement(std::string_view sql, const std::string& where,
                                const std::string& message) const {
  unsigned number = mysql_errno(mysql_.get());
  int code = number != 0 ? static_cast<int>(number) : kErrDatabase;
  if (!where.empty()) throw Failure(code, where + ": " + message);
  std::string_view head = sql.substr(0, 120);
  throw Failure(code, message + " (in: " + std::string(head) + (sql.size() > 120 ? "...)" : ")"));
}

void Connection::Exec(std::string_view sql, const std::string& where) {
  MYSQL* m = mysql_.get();
  if (mysql_real_query(m, sql.data(), sql.size()) != 0) RaiseStatement(sql, where, mysql_error(m));
  // Drop any result (LOAD DATA and INSERT have none).
  Result result(mysql_store_result(m));
}

std::vector<Connection::Row> Connection::Query(std::string_view sql) {
  MYSQL* m = mysql_.get();
  if (mysql_real_query(m, sql.data(), sql.size()) != 0) Raise(sql.substr(0, 120));
  Result result(mysql_store_result(m));
  std::vector<Row> rows;
  if (!result) {
    if (mysql_field_count(m) != 0) Raise(sql.substr(0, 120));
    return rows;
  }
  unsigned columns = mysql_num_fields(result.get());
  while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
    unsigned long* lengths = mysql_fetch_lengths(result.get());
    Row values(columns);
    for (unsigned i = 0; i < columns; ++i) {
      if (row[i] != nullptr) values[i].emplace(row[i], lengths[i]);
    }
    rows.push_back(std::move(values));
  }
  return rows;
}

std::string Connection::QueryOne(std::string_view sql) {
  std::vector<Row> rows = Query(sql);
  if (rows.empty() || rows[0].empty() || !rows[0][0]) return "";
  return *rows[0][0];
}

void Connection::LoadLocal(std::string_view sql, const LocalFile& file, const std::string& where) {
  MYSQL* m = mysql_.get();
  LocalRead read{&file, ""};
  // Off again on every way out.
  struct Window {
    MYSQL* mysql;
    ~Window() { RefuseLocalFiles(mysql); }
  } window{m};
  unsigned int on = 1;
  mysql_optionsv(m, MYSQL_OPT_LOCAL_INFILE, &on);
  mysql_set_local_infile_handler(m, LocalInit, LocalReadBytes, LocalEnd, LocalError, &read);
  const bool failed = mysql_real_query(m, sql.data(), sql.size()) != 0;
  Result result(failed ? nullptr : mysql_store_result(m));
  if (!read.error.empty()) {
    throw Failure(failed && mysql_errno(m) != 0 ? static_cast<int>(mysql_errno(m)) : kErrLocalFile,
                  where + ": " + read.error);
  }
  if (failed) RaiseStatement(sql, where, mysql_error(m));
}

uint64_t Connection::affected_rows() const { return mysql_affected_rows(mysql_.get()); }

unsigned Connection::warning_count() const { return mysql_warning_count(mysql_.get()); }

std::string Connection::Literal(std::string_view text) const {
  std::string out(text.size() * 2 + 3, '\0');
  out[0] = '\'';
  unsigned long n =
      mysql_real_escape_string(mysql_.get(), out.data() + 1, text.data(), text.size());
  out.resize(n + 1);
  out += '\'';
  return out;
}

std::string QuoteIdentifier(std::string_view name) { return QuoteName(std::string(name)); }

}  // namespace vaultrun::restore
