// The database access interface: connection, result sets and fields over
// MariaDB Connector/C, shaped after the ActiveX Data Objects calls that the
// backup run makes. Every call that fails raises a Failure whose number is
// the server's error code (or kErrDatabase) and whose description is the
// client library's message.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.h"
#include "platform/env.h"

struct st_mysql;

namespace vaultrun::db {

// Column type codes (ADO DataTypeEnum values).
enum TypeCode : int32_t {
  adSmallInt = 2,
  adInteger = 3,
  adSingle = 4,
  adDouble = 5,
  adDate = 7,
  adBSTR = 8,
  adBoolean = 11,
  adIUnknown = 13,
  adTinyInt = 16,
  adUnsignedTinyInt = 17,
  adUnsignedSmallInt = 18,
  adUnsignedInt = 19,
  adBigInt = 20,
  adUnsignedBigInt = 21,
  adBinary = 128,
  adChar = 129,
  adWChar = 130,
  adNumeric = 131,
  adDBDate = 133,
  adDBTime = 134,
  adDBTimeStamp = 135,
  adVarChar = 200,
  adLongVarChar = 201,
  adVarWChar = 202,
  adLongVarWChar = 203,
  adVarBinary = 204,
  adLongVarBinary = 205,
};

inline constexpr int adStateClosed = 0;
inline constexpr int adStateOpen = 1;
inline constexpr int adUseServer = 2;
inline constexpr int adModeRead = 1;

// The current row's value of one field: Null, or the bytes exactly as the
// server sent them (NUL bytes kept). Valid until the result set moves or
// closes.
class Value {
 public:
  Value() = default;  // Null
  Value(const char* data, size_t size) : data_(data), size_(size) {}
  bool IsNull() const { return data_ == nullptr; }
  std::string_view Bytes() const {
    return IsNull() ? std::string_view() : std::string_view(data_, size_);
  }
  std::string Text() const { return std::string(Bytes()); }

 private:
  const char* data_ = nullptr;
  size_t size_ = 0;
};

// One row as the client library holds it: Count() values, each one's bytes
// (nullptr for Null) and their lengths. Valid until the result set moves or
// closes.
struct RowData {
  const char* const* values = nullptr;
  const unsigned long* lengths = nullptr;
  Value operator[](int j) const {
    return values[j] == nullptr ? Value() : Value(values[j], lengths[j]);
  }
};

class Recordset;

class Field {
 public:
  // The column name as the query labels it.
  const std::string& Name() const { return name_; }
  // The type code from the table in the access layer's documentation.
  int32_t Type() const { return type_; }
  // Digits after the decimal point (fractional seconds of a date-time).
  int32_t NumericScale() const { return scale_; }
  // The server's own name of a data type that comes as a string but is not
  // one ("inet6", "uuid"); "" for the others and from older servers.
  const std::string& DataTypeName() const { return data_type_name_; }
  // The current row's value. Raises a Failure when there is no current row.
  Value GetValue() const;

 private:
  friend class Recordset;
  friend class RecordsetImpl;
  friend class Fields;
  const Recordset* owner_ = nullptr;
  int index_ = 0;
  std::string name_;
  int32_t type_ = 0;
  int32_t scale_ = 0;
  std::string data_type_name_;
};

class Fields {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  // Raises a Failure for an index outside 0..Count()-1.
  const Field& Item(int index) const;
  // For result sets made in memory (benchmarks): a field with this name
  // and type code; its values come from the owner's ValueAt.
  void Add(const Recordset* owner, std::string name, int32_t type);

 private:
  friend class Recordset;
  friend class RecordsetImpl;
  std::vector<Field> items_;
};

// A forward-only, read-only result set. Rows stream from the server while it
// is the connection's newest result; when another statement is executed on
// the connection first, its remaining rows are read into memory.
class Recordset {
 public:
  virtual ~Recordset() = default;
  // True when there is no current row.
  virtual bool Eof() const = 0;
  // Moves to the next row. A read error (the connection lost mid-stream)
  // raises a Failure: a result is never cut short silently.
  virtual void MoveNext() = 0;
  virtual const Fields& GetFields() const = 0;
  // adStateClosed after Close(), adStateOpen before.
  virtual int State() const = 0;
  // Releases the result; later calls other than State() raise a Failure.
  virtual void Close() = 0;
  // The current row's value of field index (used by Field::GetValue).
  virtual Value ValueAt(int index) const = 0;
  // The current row whole: one call a row instead of one a value. Raises a
  // Failure when there is no current row.
  virtual RowData CurrentRow() const = 0;
};

class Connection {
 public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void SetConnectionString(const std::string& text) { connection_string_ = text; }
  const std::string& ConnectionString() const { return connection_string_; }
  void SetCursorLocation(int location) { cursor_location_ = location; }
  void SetMode(int mode) { mode_ = mode; }
  // The Env that Open reads the option files through (db/connect.h).
  void SetEnv(Env* env) { env_ = env; }

  // Connects with the ConnectionString (the arguments, when not empty, take
  // its place and add user and password, as ADO's Open does) through the
  // one connect routine (db/connect.h). On failure a Failure with the
  // server's error number and message is raised.
  void Open(const std::string& connection_string = "", const std::string& user_id = "",
            const std::string& password = "", int options = -1);
  // Takes over a Connector/C handle that another part connected (with its
  // own options) and sets the session up as Open does. On failure the
  // handle is closed and a Failure is raised.
  void Adopt(st_mysql* connected);
  // Runs one statement and returns its result, positioned on its first row.
  std::unique_ptr<Recordset> Execute(const std::string& sql);
  int State() const;
  void Close();

  struct Impl;

 private:
  std::string connection_string_;
  int cursor_location_ = adUseServer;
  int mode_ = 0;
  Env* env_ = nullptr;
  std::shared_ptr<Impl> impl_;
};

}  // namespace vaultrun::db
