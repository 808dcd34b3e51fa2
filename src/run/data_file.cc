#include "run/data_file.h"

#include <cerrno>
#include <cstring>

#include "core/failure.h"

namespace vaultrun {
namespace {

// What each byte becomes inside an SQL string literal: 0 for itself, else
// the letter that follows the backslash.
struct EscapeTable {
  char letter[256] = {};
  constexpr EscapeTable() {
    letter[static_cast<unsigned char>('\'')] = '\'';
    letter[static_cast<unsigned char>('\\')] = '\\';
    letter[0] = '0';
    letter[static_cast<unsigned char>('\r')] = 'r';
    letter[static_cast<unsigned char>('\n')] = 'n';
    letter[26] = 'Z';
  }
};
constexpr EscapeTable kEscape;

// Written in hex in the tab-separated form: binary strings and BIT values
// (BIT(1) too, whose raw byte would put a NUL or a control byte in the text).
bool IsBinaryType(int32_t type) {
  return type == db::adBinary || type == db::adVarBinary || type == db::adLongVarBinary ||
         type == db::adBoolean;
}

bool IsDateType(int32_t type) { return type == db::adDBDate || type == db::adDBTimeStamp; }

// How one column's values are written in the SQL formats.
enum class SqlForm { kBare, kQuoted, kHexLiteral, kDateDigits };

SqlForm SqlFormOf(int32_t type) {
  if (IsDateType(type)) return SqlForm::kDateDigits;
  if (IsQuotedType(type) || type == db::adDBTime) return SqlForm::kQuoted;
  if (type == db::adBinary || type == db::adVarBinary || type == db::adBoolean) {
    return SqlForm::kHexLiteral;
  }
  return SqlForm::kBare;
}

}  // namespace

void AppendEscaped(std::string* out, std::string_view text) {
  const char* p = text.data();
  const char* end = p + text.size();
  const char* run = p;
  for (; p < end; ++p) {
    char letter = kEscape.letter[static_cast<unsigned char>(*p)];
    if (letter == 0) continue;
    out->append(run, static_cast<size_t>(p - run));
    out->push_back('\\');
    out->push_back(letter);
    run = p + 1;
  }
  out->append(run, static_cast<size_t>(end - run));
}

std::string EscapeQuotes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(&out, text);
  return out;
}

void AppendHex(std::string* out, std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  size_t at = out->size();
  out->resize(at + bytes.size() * 2);
  char* dst = out->data() + at;
  for (unsigned char c : bytes) {
    *dst++ = kDigits[c >> 4];
    *dst++ = kDigits[c & 15];
  }
}

void AppendDateDigits(std::string* out, std::string_view text) {
  size_t digits = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] != '.'; ++i) {
    if (text[i] >= '0' && text[i] <= '9') {
      out->push_back(text[i]);
      ++digits;
    }
  }
  if (digits == 8) out->append("000000");
  out->append(text.substr(i));
}

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
  buffer_.reserve(kFlushBytes + (kFlushBytes >> 2));
}

void DataFileWriter::Flush() {
  if (buffer_.empty()) return;
  if (file_) ThrowIfError(file_->Write(buffer_.data(), buffer_.size()));
  if (tee_) tee_(buffer_.data(), buffer_.size());
  buffer_.clear();
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
  std::string& buf = *out.buffer();

  // Column pass: output names, and how each column's values are written.
  std::vector<int32_t> types(count);
  std::vector<SqlForm> forms(count);
  std::string header, column_list;
  for (int j = 0; j < count; ++j) {
    const db::Field& field = fields.Item(j);
    bool is_alias = j < static_cast<int>(aliased.size()) && aliased[j];
    std::string name = is_alias ? StripAliasSuffix(field.Name()) : field.Name();
    types[j] = field.Type();
    forms[j] = SqlFormOf(types[j]);
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
  if (format_sql == 0) buf += header + "\r\n";

  Env* env = process.env;
  uint64_t rows = 0;
  TabSeparatedLosses lost;
  const std::vector<bool>& null_as_empty = query.null_as_empty;
  // The INSERT statement being written: its rows and bytes so far (0 when
  // none is open).
  uint64_t statement_rows = 0;
  size_t statement_bytes = 0;
  while (!rs.Eof()) {
    const size_t row_start = buf.size();
    if (format_sql == 1) {
      if (statement_rows == 0) buf += prefix;
      buf += statement_rows == 0 ? "(" : ",(";
    }
    ++rows;
    for (int j = 0; j < count; ++j) {
      if (j % 50 == 0) env->ProcessPendingMessages();
      db::Value value = rs.ValueAt(j);
      if (format_sql == 0) {
        if (!value.IsNull()) {
          if (IsBinaryType(types[j])) {
            AppendHex(&buf, value.Bytes());
          } else if (IsDateType(types[j])) {
            AppendDateDigits(&buf, value.Bytes());
          } else {
            if (value.Bytes().find_first_of("\t\r\n") != std::string_view::npos) {
              ++lost.split_values;
            }
            buf.append(value.Bytes());
          }
        } else if (j < static_cast<int>(null_as_empty.size()) && null_as_empty[j]) {
          ++lost.nulls_as_empty;
        }
        buf += '\t';
        continue;
      }
      if (value.IsNull()) {
        buf += "null";
      } else {
        switch (forms[j]) {
          case SqlForm::kQuoted:
            buf += '\'';
            AppendEscaped(&buf, value.Bytes());
            buf += '\'';
            break;
          case SqlForm::kHexLiteral:
            buf += "X'";
            AppendHex(&buf, value.Bytes());
            buf += '\'';
            break;
          case SqlForm::kDateDigits:
            buf += '\'';
            AppendDateDigits(&buf, value.Bytes());
            buf += '\'';
            break;
          case SqlForm::kBare:
            buf.append(value.Bytes());
            break;
        }
      }
      if (format_sql == 1) {
        if (j + 1 < count) buf += ',';
      } else {
        buf += ',';
      }
    }
    rs.MoveNext();
    if (format_sql == 1) {
      buf += ')';
      size_t row_bytes = buf.size() - row_start;
      if (statement_rows > 0 && statement_bytes + row_bytes + 1 > kMaxStatementBytes) {
        // The row would take the statement past the bound: it starts the
        // next one instead (rare, so moving the row's bytes costs little).
        buf.replace(row_start, 1, ";\r\n" + prefix);
        statement_rows = 0;
        statement_bytes = 0;
        row_bytes += prefix.size() - 1;
      }
      ++statement_rows;
      statement_bytes += row_bytes;
      if (statement_rows == kBatchRows || rs.Eof()) {
        buf += ";\r\n";
        statement_rows = 0;
        statement_bytes = 0;
      }
    } else {
      buf += "\r\n";
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
