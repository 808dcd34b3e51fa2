#include "restore/connection.h"

#include <mysql.h>

#include <cstdio>

#include "db/client_options.h"
#include "platform/failure.h"
#include "run/export_query.h"

namespace vaultrun::restore {
namespace {

const char* OrNull(const std::optional<std::string>& value) {
  return value ? value->c_str() : nullptr;
}

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

void Connection::Closer::operator()(st_mysql* mysql) const { mysql_close(mysql); }

Connection::Connection(st_mysql* mysql) : mysql_(mysql) {}
Connection::~Connection() = default;

std::unique_ptr<Connection> Connection::Open(const ConnectOptions& options) {
  MYSQL* raw = mysql_init(nullptr);
  if (raw == nullptr) throw Failure(kErrDatabase, "connect: out of memory");
  std::unique_ptr<Connection> connection(new Connection(raw));
  connection->options_ = options;
  if (options.read_option_files) db::UseClientOptionFiles(raw, options.defaults_file);
  mysql_optionsv(raw, MYSQL_SET_CHARSET_NAME, "binary");
  unsigned int on = 1;
  mysql_optionsv(raw, MYSQL_OPT_LOCAL_INFILE, &on);
  unsigned long packet = 1UL << 30;
  mysql_optionsv(raw, MYSQL_OPT_MAX_ALLOWED_PACKET, &packet);
  // Asked for at connect, so that the server allows LOAD DATA LOCAL at all;
  // the client side stays off until the restore's own LOAD DATA.
  if (mysql_real_connect(raw, OrNull(options.host), OrNull(options.user), OrNull(options.password),
                         nullptr, options.port, OrNull(options.socket), 0) == nullptr) {
    connection->Raise("connect");
  }
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

unsigned Connection::TryExec(std::string_view sql, std::string* message) {
  MYSQL* m = mysql_.get();
  if (mysql_real_query(m, sql.data(), sql.size()) != 0) {
    if (message != nullptr) *message = mysql_error(m);
    unsigned number = mysql_errno(m);
    return number != 0 ? number : kErrDatabase;
  }
  // Drop any result (LOAD DATA and INSERT have none).
  Result result(mysql_store_result(m));
  return 0;
}

void Connection::Exec(std::string_view sql) {
  std::string message;
  unsigned number = TryExec(sql, &message);
  if (number != 0) {
    std::string_view head = sql.substr(0, 120);
    throw Failure(static_cast<int>(number),
                  message + " (in: " + std::string(head) + (sql.size() > 120 ? "...)" : ")"));
  }
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

unsigned Connection::LoadLocal(std::string_view sql, const LocalFile& file, std::string* message) {
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
  unsigned code = TryExec(sql, message);
  if (!read.error.empty() && message != nullptr) *message = read.error;
  if (!read.error.empty() && code == 0) code = kErrLocalFile;
  return code;
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
