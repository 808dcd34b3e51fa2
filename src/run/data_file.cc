#include "run/data_file.h"

#include <cerrno>
#include <cstring>

#include "core/failure.h"

namespace vaultrun {
namespace {

// Written in hex in the tab-separated form: binary strings and BIT values
// (BIT(1) too, whose raw byte would put a NUL or a control byte in the text).
bool IsBinaryType(int32_t type) {
  return type == db::adBinary || type == db::adVarBinary || type == db::adLongVarBinary ||
         type == db::adBoolean;
}

bool IsDateType(int32_t type) { return type == db::adDBDate || type == db::adDBTimeStamp; }

// How one column's values are written: the SQL forms, then the
// tab-separated ones.
enum class Form : uint8_t { kBare, kQuoted, kHexLiteral, kDateDigits, kHex, kDate, kText };

Form SqlFormOf(int32_t type) {
  if (IsDateType(type)) return Form::kDateDigits;
  if (IsQuotedType(type) || type == db::adDBTime) return Form::kQuoted;
  if (type == db::adBinary || type == db::adVarBinary || type == db::adBoolean) {
    return Form::kHexLiteral;
  }
  return Form::kBare;
}

Form TabFormOf(int32_t type) {
  if (IsBinaryType(type)) return Form::kHex;
  if (IsDateType(type)) return Form::kDate;
  return Form::kText;
}

// The most bytes one row can take: a value of n bytes takes at most 2n + 8
// in any form with its separator, and the last one may store kValueSlack
// bytes of scratch past its end.
size_t RowBound(const db::RowData& row, int count) {
  size_t a = 0, b = 0;
  int j = 0;
  for (; j + 1 < count; j += 2) {
    a += row.lengths[j];
    b += row.lengths[j + 1];
  }
  if (j < count) a += row.lengths[j];
  return 2 * (a + b) + 8 * static_cast<size_t>(count) + kValueSlack;
}

char* Put(char* p, std::string_view text) {
  std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

// Writes one value of n bytes at v (nullptr for Null) in its form at p,
// without its separator; returns the end. Null is "null" in the SQL forms
// and nothing in the tab-separated one.
char* WriteValue(char* p, const char* v, size_t n, Form form, uint64_t* split_values) {
  if (v == nullptr) return form >= Form::kHex ? p : Put(p, "null");
  if (form == Form::kBare) return CopyTo(p, v, n);  // numbers, the most common
  switch (form) {
    case Form::kBare:
      return CopyTo(p, v, n);
    case Form::kQuoted:
      *p++ = '\'';
      p = EscapeTo(p, v, n);
      *p++ = '\'';
      return p;
    case Form::kHexLiteral:
      p = Put(p, "X'");
      p = HexTo(p, v, n);
      *p++ = '\'';
      return p;
    case Form::kDateDigits:
      *p++ = '\'';
      p = DateDigitsTo(p, v, n);
      *p++ = '\'';
      return p;
    case Form::kHex:
      return HexTo(p, v, n);
    case Form::kDate:
      return DateDigitsTo(p, v, n);
    case Form::kText:
      if (HoldsTabOrLineBreak(v, n)) ++*split_values;
      return CopyTo(p, v, n);
  }
  return p;
}

}  // namespace

std::string StripAliasSuffix(const std::string& name) {
  size_t n = sizeof(kAliasSuffix) - 1;
  if (name.size() >= n && name.compare(name.size() - n, n, kAliasSuffix) == 0) {
    return name.substr(0, name.size() - n);
  }
  return name;
}

bool IsQuotedType(int32_t type) {
  switch (type) {
    case db::adLongVarBinary:
    case db::adVarWChar:
    case db::adVarChar:
    case db::adLongVarWChar:
    case db::adLongVarChar:
    case db::adWChar:
    case db::adChar:
    case db::adIUnknown:
    case db::adDate:
    case db::adBSTR:
      return true;
    default:
      return false;
  }
}

DataFileWriter::DataFileWriter(Env* env, std::string path, Tee tee)
    : env_(env), path_(std::move(path)), tee_(std::move(tee)) {}

DataFileWriter::~DataFileWriter() {
  if (file_) file_->Close();
}

void DataFileWriter::Open() {
  if (!path_.empty()) ThrowIfError(env_->OpenFile(path_, OpenMode::kWriteNew, 0600, &file_));
}

void DataFileWriter::Flush() {
  if (block_->empty()) return;
  if (file_) ThrowIfError(file_->Write(block_->data(), block_->size()));
  if (tee_) tee_(&block_);
  block_->clear();
}

void DataFileWriter::Close() {
  Flush();
  std::unique_ptr<File> file = std::move(file_);
  if (file) ThrowIfError(file->Close());
}

uint64_t WriteDataFile(Process& process, const std::string& table,
                       const std::string& table_base_path, RunRecordsets& sets, int32_t format_sql,
                       const std::string& format_insert, const DataQuery& query,
                       DataFileWriter::Tee tee, TabSeparatedLosses* losses) {
  const std::vector<bool>& aliased = query.aliased;
  if (!process.env->IsUsableFileName(table)) {
    throw Failure(kErrBadFileName, "data file for table " + table + ": not a valid file name");
  }
  db::Recordset& rs = *sets.TableResult;
  const db::Fields& fields = rs.GetFields();
  const int count = fields.Count();

  DataFileWriter out(process.env,
                     table_base_path.empty() ? "" : table_base_path + DataFileExtension(format_sql),
                     std::move(tee));
  out.Open();

  // Column pass: output names, and how each column's values are written.
  std::vector<Form> forms(count);
  std::string header, column_list;
  for (int j = 0; j < count; ++j) {
    const db::Field& field = fields.Item(j);
    bool is_alias = j < static_cast<int>(aliased.size()) && aliased[j];
    std::string name = is_alias ? StripAliasSuffix(field.Name()) : field.Name();
    forms[j] = format_sql == 0 ? TabFormOf(field.Type()) : SqlFormOf(field.Type());
    header += name + "\t";
    column_list += QuoteName(name) + ",";
  }
  if (!column_list.empty()) column_list.pop_back();

  std::string prefix;
  if (format_sql == 1) {
    prefix = "insert into " + QuoteName(table);
    if (format_insert == "0" || query.names_required) prefix += " (" + column_list + ")";
    prefix += " values ";
  }
  if (format_sql == 0) out.buffer()->Append(header + "\r\n");

  // Each value's separator: a tab after every one, a comma after every one
  // in the reduced form, and between them in insert statements.
  const char separator = format_sql == 0 ? '\t' : ',';
  const bool trailing_separator = format_sql != 1;
  Env* env = process.env;
  uint64_t rows = 0;
  TabSeparatedLosses lost;
  // 1 for the columns whose NULL the tab-separated form writes as an empty
  // field that restores as a value: each such NULL is counted as lost.
  std::vector<uint8_t> lost_when_null(count, 0);
  if (format_sql == 0) {
    for (int j = 0; j < count && j < static_cast<int>(query.null_as_empty.size()); ++j) {
      lost_when_null[j] = query.null_as_empty[j] ? 1 : 0;
    }
  }
  // The INSERT statement being written: its rows and bytes so far (0 when
  // none is open).
  uint64_t statement_rows = 0;
  size_t statement_bytes = 0;
  while (!rs.Eof()) {
    ByteBuffer& buf = *out.buffer();
    const size_t row_start = buf.size();
    const db::RowData row = rs.CurrentRow();
    char* p = buf.Reserve(RowBound(row, count) + prefix.size() + 8);
    if (format_sql == 1) {
      if (statement_rows == 0) p = Put(p, prefix);
      p = Put(p, statement_rows == 0 ? "(" : ",(");
    }
    ++rows;
    for (int first = 0; first < count; first += 50) {
      // The platform's pending messages, at the row's first field and at
      // every fiftieth after it.
      env->ProcessPendingMessages();
      const int last = count - first > 50 ? first + 50 : count;
      for (int j = first; j < last; ++j) {
        p = WriteValue(p, row.values[j], row.lengths[j], forms[j], &lost.split_values);
        if (row.values[j] == nullptr) lost.nulls_as_empty += lost_when_null[j];
        *p++ = separator;
      }
    }
    if (!trailing_separator && count > 0) --p;
    if (format_sql == 1) *p++ = ')';
    buf.CommitTo(p);
    rs.MoveNext();
    if (format_sql == 1) {
      size_t row_bytes = buf.size() - row_start;
      if (statement_rows > 0 && statement_bytes + row_bytes + 1 > kMaxStatementBytes) {
        // The row would take the statement past the bound: it starts the
        // next one instead (rare, so moving the row's bytes costs little).
        buf.Splice(row_start, 1, ";\r\n" + prefix);
        statement_rows = 0;
        statement_bytes = 0;
        row_bytes += prefix.size() - 1;
      }
      ++statement_rows;
      statement_bytes += row_bytes;
      if (statement_rows == kBatchRows || rs.Eof()) {
        buf.Append(";\r\n");
        statement_rows = 0;
        statement_bytes = 0;
      }
    } else {
      buf.Append("\r\n");
    }
    out.MaybeFlush();
  }
  if (rows > 0) rs.Close();
  out.Close();
  // The form has no escapes and no NULL: the file is written as it stands,
  // and the run tells the user what a restore will not give back.
  if (losses != nullptr) *losses = lost;
  return rows;
}

}  // namespace vaultrun
