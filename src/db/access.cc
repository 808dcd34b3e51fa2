#include "db/access.h"

#include <mysql.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "db/connect.h"
#include "db/connection_string.h"

namespace vaultrun::db {
namespace {

constexpr unsigned kBinaryCharset = 63;
// Server errors of servers too old for a statement of the session's set-up.
constexpr unsigned kUnknownCharacterSet = 1115;  // ER_UNKNOWN_CHARACTER_SET
constexpr unsigned kParseError = 1064;           // ER_PARSE_ERROR

const char kClosedMessage[] = "Operation is not allowed when the object is closed.";
const char kOpenMessage[] = "Operation is not allowed when the object is open.";
const char kNoRowMessage[] =
    "Either BOF or EOF is True, or the current record has been deleted. Requested operation "
    "requires a current record.";
const char kBadIndexMessage[] =
    "Item cannot be found in the collection corresponding to the requested name or ordinal.";

struct ResultFreer {
  void operator()(MYSQL_RES* result) const { mysql_free_result(result); }
};
using ResultHandle = std::unique_ptr<MYSQL_RES, ResultFreer>;

Failure ClientFailure(MYSQL* mysql) {
  unsigned number = mysql_errno(mysql);
  return Failure(number == 0 ? kErrDatabase : static_cast<int>(number), mysql_error(mysql));
}

// The type code of a result column. TEXT and BLOB, CHAR and BINARY differ
// only in the character set, so that decides between the text and the
// binary codes (BINARY_FLAG alone is not enough: JSON carries it too).
int32_t TypeCodeOf(const MYSQL_FIELD& field) {
  bool is_unsigned = (field.flags & UNSIGNED_FLAG) != 0;
  bool is_binary = field.charsetnr == kBinaryCharset;
  switch (field.type) {
    case MYSQL_TYPE_TINY:
      return is_unsigned ? adUnsignedTinyInt : adTinyInt;
    case MYSQL_TYPE_SHORT:
      return is_unsigned ? adUnsignedSmallInt : adSmallInt;
    case MYSQL_TYPE_YEAR:
      // The server flags every YEAR column unsigned.
      return adSmallInt;
    case MYSQL_TYPE_INT24:
    case MYSQL_TYPE_LONG:
      return is_unsigned ? adUnsignedInt : adInteger;
    case MYSQL_TYPE_LONGLONG:
      return is_unsigned ? adUnsignedBigInt : adBigInt;
    case MYSQL_TYPE_FLOAT:
      return adSingle;
    case MYSQL_TYPE_DOUBLE:
      return adDouble;
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL:
      return adNumeric;
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE:
      return adDBDate;
    case MYSQL_TYPE_TIME:
    case MYSQL_TYPE_TIME2:
      return adDBTime;
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_DATETIME2:
    case MYSQL_TYPE_TIMESTAMP:
    case MYSQL_TYPE_TIMESTAMP2:
      return adDBTimeStamp;
    case MYSQL_TYPE_BIT:
      return field.length == 1 ? adBoolean : adBinary;
    case MYSQL_TYPE_ENUM:
    case MYSQL_TYPE_SET:
      return adChar;
    case MYSQL_TYPE_STRING:
      if ((field.flags & (ENUM_FLAG | SET_FLAG)) != 0) return adChar;
      return is_binary ? adBinary : adChar;
    case MYSQL_TYPE_TINY_BLOB:
    case MYSQL_TYPE_MEDIUM_BLOB:
    case MYSQL_TYPE_LONG_BLOB:
    case MYSQL_TYPE_BLOB:
      return is_binary ? adLongVarBinary : adLongVarChar;
    case MYSQL_TYPE_GEOMETRY:
      return adLongVarBinary;
    default:
      // VARCHAR, computed strings, NULL and anything newer.
      return is_binary ? adVarBinary : adVarChar;
  }
}

}  // namespace

class RecordsetImpl;

// The state that a connection shares with its result sets, so that either
// may be destroyed first.
struct Connection::Impl {
  MysqlHandle mysql;
  // The result that is streaming from the server, if any. Not owned: the
  // result set clears it when it stops streaming.
  RecordsetImpl* streaming = nullptr;
  // Counts the closes of the connection; a result set made in an earlier
  // one is closed.
  uint64_t generation = 0;

  ~Impl();
  void CloseHandle();
  void SkipPendingResults();
};

// A forward-only result set. While it is the connection's newest result the
// rows come one by one from the server (mysql_use_result); once another
// statement runs on the connection, the rows not read yet are held here.
class RecordsetImpl : public Recordset {
 public:
  // A result set that is closed from the start (a statement without rows).
  RecordsetImpl() = default;

  RecordsetImpl(std::shared_ptr<Connection::Impl> connection, ResultHandle result)
      : connection_(std::move(connection)),
        generation_(connection_->generation),
        result_(std::move(result)),
        open_(true) {
    unsigned count = mysql_num_fields(result_.get());
    const MYSQL_FIELD* fields = mysql_fetch_fields(result_.get());
    fields_.items_.resize(count);
    for (unsigned i = 0; i < count; ++i) {
      Field& field = fields_.items_[i];
      field.owner_ = this;
      field.index_ = static_cast<int>(i);
      field.name_.assign(fields[i].name, fields[i].name_length);
      field.type_ = TypeCodeOf(fields[i]);
      field.scale_ = static_cast<int32_t>(fields[i].decimals);
      MARIADB_CONST_STRING type_name{nullptr, 0};
      if (mariadb_field_attr(&type_name, &fields[i], MARIADB_FIELD_ATTR_DATA_TYPE_NAME) == 0 &&
          type_name.str != nullptr) {
        field.data_type_name_.assign(type_name.str, type_name.length);
      }
    }
    connection_->streaming = this;
  }

  ~RecordsetImpl() override { Release(); }

  bool Eof() const override {
    CheckOpen();
    return !has_row_;
  }

  void MoveNext() override {
    CheckOpen();
    if (!has_row_) throw Failure(kErrDatabase, kNoRowMessage);
    if (result_ != nullptr) {
      FetchStreamed();
    } else {
      ++buffered_row_;
      has_row_ = buffered_row_ < buffered_row_count_;
      if (!has_row_ && pending_failure_) {
        Failure failure = *pending_failure_;
        pending_failure_.reset();
        throw failure;
      }
    }
  }

  const Fields& GetFields() const override {
    CheckOpen();
    return fields_;
  }

  int State() const override { return IsOpen() ? adStateOpen : adStateClosed; }

  void Close() override {
    CheckOpen();
    Release();
  }

  Value ValueAt(int index) const override {
    if (!has_row_ || !IsOpen()) throw Failure(kErrDatabase, kNoRowMessage);
    if (index < 0 || static_cast<size_t>(index) >= fields_.items_.size()) {
      throw Failure(kErrDatabase, kBadIndexMessage);
    }
    if (result_ != nullptr) {
      const char* data = row_[index];
      return data == nullptr ? Value() : Value(data, lengths_[index]);
    }
    const Cell& cell = cells_[buffered_row_ * fields_.items_.size() + index];
    return cell.size < 0 ? Value() : Value(buffer_.data() + cell.offset, cell.size);
  }

  RowData CurrentRow() const override {
    if (!has_row_ || !IsOpen()) throw Failure(kErrDatabase, kNoRowMessage);
    if (result_ != nullptr) return {row_, lengths_};
    // A buffered row is laid out as the client library lays out its rows.
    const size_t count = fields_.items_.size();
    const Cell* cells = &cells_[buffered_row_ * count];
    buffered_values_.resize(count);
    buffered_lengths_.resize(count);
    for (size_t j = 0; j < count; ++j) {
      buffered_values_[j] = cells[j].size < 0 ? nullptr : buffer_.data() + cells[j].offset;
      buffered_lengths_[j] = cells[j].size < 0 ? 0 : static_cast<unsigned long>(cells[j].size);
    }
    return {buffered_values_.data(), buffered_lengths_.data()};
  }

  // Reads the first row; called once, right after the statement ran.
  void Start() { FetchStreamed(); }

  // Reads the current row and every row not read yet into memory, so that
  // the connection is free for the next statement. A read error is kept and
  // raised when the rows read before it have been passed.
  void Buffer() {
    if (result_ == nullptr) return;
    size_t count = fields_.items_.size();
    if (has_row_) {
      AppendRow(count);
      for (;;) {
        row_ = mysql_fetch_row(result_.get());
        if (row_ == nullptr) break;
        lengths_ = mysql_fetch_lengths(result_.get());
        AppendRow(count);
      }
      MYSQL* mysql = connection_->mysql.get();
      if (mysql_errno(mysql) != 0) pending_failure_ = ClientFailure(mysql);
    }
    StopStreaming();
    buffered_row_ = 0;
    has_row_ = buffered_row_count_ > 0;
  }

  // Called by the connection when it closes: the result set is closed.
  void Detach() {
    StopStreaming();
    has_row_ = false;
  }

 private:
  struct Cell {
    size_t offset;
    int64_t size;  // -1 for Null
  };

  bool IsOpen() const {
    return open_ && connection_ != nullptr && connection_->generation == generation_ &&
           connection_->mysql != nullptr;
  }

  void CheckOpen() const {
    if (!IsOpen()) throw Failure(kErrDatabase, kClosedMessage);
  }

  void FetchStreamed() {
    row_ = mysql_fetch_row(result_.get());
    if (row_ != nullptr) {
      lengths_ = mysql_fetch_lengths(result_.get());
      has_row_ = true;
      return;
    }
    has_row_ = false;
    MYSQL* mysql = connection_->mysql.get();
    if (mysql_errno(mysql) != 0) {
      Failure failure = ClientFailure(mysql);
      StopStreaming();
      throw failure;
    }
    StopStreaming();
  }

  void AppendRow(size_t count) {
    for (size_t i = 0; i < count; ++i) {
      if (row_[i] == nullptr) {
        cells_.push_back({buffer_.size(), -1});
      } else {
        cells_.push_back({buffer_.size(), static_cast<int64_t>(lengths_[i])});
        buffer_.append(row_[i], lengths_[i]);
      }
    }
    ++buffered_row_count_;
  }

  // Frees the server result (any rows left are skipped) and lets the
  // connection run its next statement.
  void StopStreaming() {
    if (result_ == nullptr) return;
    result_.reset();
    row_ = nullptr;
    lengths_ = nullptr;
    if (connection_->streaming == this) connection_->streaming = nullptr;
    connection_->SkipPendingResults();
  }

  void Release() {
    if (connection_ != nullptr && connection_->generation == generation_) StopStreaming();
    open_ = false;
    has_row_ = false;
    std::string().swap(buffer_);
    std::vector<Cell>().swap(cells_);
  }

  std::shared_ptr<Connection::Impl> connection_;
  uint64_t generation_ = 0;
  ResultHandle result_;
  bool open_ = false;
  Fields fields_;
  bool has_row_ = false;

  // The current row while streaming.
  MYSQL_ROW row_ = nullptr;
  unsigned long* lengths_ = nullptr;

  // The rows held in memory after the connection moved on.
  std::string buffer_;
  std::vector<Cell> cells_;
  size_t buffered_row_count_ = 0;
  size_t buffered_row_ = 0;
  std::optional<Failure> pending_failure_;
  // The current buffered row as CurrentRow lays it out.
  mutable std::vector<const char*> buffered_values_;
  mutable std::vector<unsigned long> buffered_lengths_;
};

Connection::Impl::~Impl() { CloseHandle(); }

void Connection::Impl::CloseHandle() {
  if (streaming != nullptr) streaming->Detach();
  streaming = nullptr;
  mysql.reset();
  ++generation;
}

// Results of a multi-result statement (a procedure call) that nobody asked
// for are read and dropped, so the next statement can run.
void Connection::Impl::SkipPendingResults() {
  MYSQL* handle = mysql.get();
  if (handle == nullptr) return;
  while (mysql_more_results(handle) && mysql_next_result(handle) == 0) {
    ResultHandle extra(mysql_use_result(handle));
  }
}

Value Field::GetValue() const {
  if (owner_ == nullptr) throw Failure(kErrDatabase, kNoRowMessage);
  return owner_->ValueAt(index_);
}

const Field& Fields::Item(int index) const {
  if (index < 0 || index >= Count()) throw Failure(kErrDatabase, kBadIndexMessage);
  return items_[index];
}

void Fields::Add(const Recordset* owner, std::string name, int32_t type) {
  Field field;
  field.owner_ = owner;
  field.index_ = Count();
  field.name_ = std::move(name);
  field.type_ = type;
  items_.push_back(std::move(field));
}

Connection::Connection() : impl_(std::make_shared<Impl>()) {}

Connection::~Connection() { impl_->CloseHandle(); }

int Connection::State() const { return impl_->mysql != nullptr ? adStateOpen : adStateClosed; }

void Connection::Close() {
  if (impl_->mysql == nullptr) throw Failure(kErrDatabase, kClosedMessage);
  impl_->CloseHandle();
}

namespace {

// The environment variable's value, or an empty text when not set.
std::string EnvText(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

void Connection::Open(const std::string& connection_string, const std::string& user_id,
                      const std::string& password, int /*options*/) {
  if (impl_->mysql != nullptr) throw Failure(kErrDatabase, kOpenMessage);
  if (!connection_string.empty()) connection_string_ = connection_string;
  ParsedConnectionString parsed = ParseConnectionString(connection_string_);
  ConnectOptions options;
  std::string host = parsed.Find("SERVER").value_or("");
  std::string database = parsed.Find("DATABASE").value_or("");
  if (!host.empty()) options.host = host;
  if (!database.empty()) options.database = database;
  options.user = user_id.empty() ? parsed.Find("UID").value_or("") : user_id;
  options.password = password.empty() ? parsed.Find("PWD").value_or("") : password;
  // The environment points runs and tests at a server without editing the
  // option files; otherwise the option files' [client] group decides.
  std::string port_text = EnvText("MYSQL_TCP_PORT");
  if (!port_text.empty()) {
    options.port = static_cast<unsigned>(std::strtoul(port_text.c_str(), nullptr, 10));
  }
  std::string socket = EnvText("MYSQL_UNIX_PORT");
  if (!socket.empty()) options.socket = socket;
  options.charset = "utf8mb4";
  options.env = env_;
  Adopt(Connect(options).release());
}

void Connection::Adopt(st_mysql* connected) {
  MysqlHandle mysql(connected);
  if (impl_->mysql != nullptr) throw Failure(kErrDatabase, kOpenMessage);
  auto fail = [&]() { throw ClientFailure(mysql.get()); };
  // Statements go in utf8mb4 whatever the option files say; results come
  // back in each column's own character set, byte for byte. A server older
  // than utf8mb4 (MySQL before 5.5.3) gets utf8, all that it can store.
  // The name is sent as it stands: the client library would name utf8
  // "utf8mb3", which such a server does not know either. Values are
  // escaped by the program itself, so the client side needs no change.
  if (mysql_set_character_set(mysql.get(), "utf8mb4") != 0 &&
      (mysql_errno(mysql.get()) != kUnknownCharacterSet ||
       mysql_query(mysql.get(), "SET NAMES utf8") != 0)) {
    fail();
  }
  if (mysql_query(mysql.get(), "SET character_set_results = NULL") != 0) fail();
  // Servers before MySQL 5.6.5 cannot parse READ ONLY; the session then
  // goes without it (the account's SELECT-only grants still hold, and the
  // consistent snapshot does not need it).
  if ((mode_ & adModeRead) != 0 &&
      mysql_query(mysql.get(), "SET SESSION TRANSACTION READ ONLY") != 0 &&
      mysql_errno(mysql.get()) != kParseError) {
    fail();
  }
  impl_->mysql = std::move(mysql);
}

std::unique_ptr<Recordset> Connection::Execute(const std::string& sql) {
  MYSQL* mysql = impl_->mysql.get();
  if (mysql == nullptr) throw Failure(kErrDatabase, kClosedMessage);
  if (impl_->streaming != nullptr) impl_->streaming->Buffer();
  if (mysql_real_query(mysql, sql.data(), sql.size()) != 0) throw ClientFailure(mysql);
  if (mysql_field_count(mysql) == 0) {
    impl_->SkipPendingResults();
    return std::make_unique<RecordsetImpl>();
  }
  ResultHandle result(mysql_use_result(mysql));
  if (result == nullptr) throw ClientFailure(mysql);
  auto recordset = std::make_unique<RecordsetImpl>(impl_, std::move(result));
  recordset->Start();
  return recordset;
}

}  // namespace vaultrun::db
