// Loading a table's tab-separated entry with LOAD DATA LOCAL, fed from the
// archive through the checker; the server gets no other file.
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "core/failure.h"
#include "restore/data_lines.h"
#include "restore/load.h"
#include "restore/target_columns.h"

namespace vaultrun::restore {
namespace {

// What LOAD DATA does with one column of the tab-separated form.
enum class ColumnLoad { kDirect, kHex, kHexEmptyIsNull, kEmptyIsNull, kBitOne, kTextForm, kSkip };

ColumnLoad LoadOf(const std::string& data_type, bool nullable, uint64_t precision) {
  static const std::set<std::string> kBinary = {"binary", "varbinary",  "tinyblob",
                                                "blob",   "mediumblob", "longblob"};
  static const std::set<std::string> kGeometry = {
      "geometry",   "point",           "linestring",   "polygon",
      "multipoint", "multilinestring", "multipolygon", "geometrycollection"};
  static const std::set<std::string> kText = {
      "char", "varchar", "tinytext", "text", "mediumtext", "longtext", "enum", "set", "json"};
  // The exporter writes binary strings, BIT columns and geometry in hex;
  // earlier versions wrote BIT(1) as its raw byte, which is still read.
  // Only a binary string can be empty: elsewhere an empty field is a NULL.
  if (kBinary.count(data_type) > 0) return ColumnLoad::kHex;
  if (data_type == "bit" && precision == 1) return ColumnLoad::kBitOne;
  if (kGeometry.count(data_type) > 0 || (data_type == "bit" && precision > 1)) {
    return nullable ? ColumnLoad::kHexEmptyIsNull : ColumnLoad::kHex;
  }
  // An empty field in a number or date column can only be a NULL.
  if (nullable && kText.count(data_type) == 0) return ColumnLoad::kEmptyIsNull;
  return ColumnLoad::kDirect;
}

// Feeds LOAD DATA LOCAL from the archive entry, through the checker.
struct Feed {
  ArchiveReader* reader = nullptr;
  TabSeparatedChecker* checker = nullptr;
  const Console* console = nullptr;
  Progress* progress = nullptr;
  std::vector<char> chunk = std::vector<char>(kChunk);
  size_t offset = 0;  // into checker->ready()
  uint64_t bytes = 0;
  bool ended = false;
  std::string error;

  // Reads until checked bytes are ready; false at the end of the entry or
  // on an error.
  bool Fill() {
    std::string& ready = checker->ready();
    while (offset == ready.size()) {
      ready.clear();
      offset = 0;
      if (ended) return false;
      CheckStop(*console);
      size_t n = reader->Read(chunk.data(), chunk.size());
      bytes += n;
      if (n == 0) {
        ended = true;
        if (!checker->Finish()) {
          error = checker->error();
          return false;
        }
        continue;
      }
      if (!checker->Add(std::string_view(chunk.data(), n))) {
        error = checker->error();
        return false;
      }
      progress->Update(bytes, checker->rows());
    }
    return true;
  }
};

// How one header column goes into LOAD DATA: the field's target (a column
// or a user variable) and, when it needs one, its SET assignment.
void LoadColumn(const TargetColumn& column, size_t index, std::string* targets,
                std::string* assignments) {
  std::string name = QuoteIdentifier(column.name);
  std::string variable = "@c" + std::to_string(index);
  ColumnLoad load = column.generated ? ColumnLoad::kSkip
                    : column.text_form_type
                        ? ColumnLoad::kTextForm
                        : LoadOf(column.data_type, column.nullable, column.precision);
  std::string value;
  switch (load) {
    case ColumnLoad::kSkip:  // the server computes it
      *targets += "@vaultrun_generated,";
      return;
    case ColumnLoad::kDirect:
      // An auto-increment column goes through a variable as soon as there
      // is a SET clause: with one, a column loaded directly takes 0 as
      // "next number" whatever NO_AUTO_VALUE_ON_ZERO says.
      if (!column.auto_increment) {
        *targets += name + ",";
        return;
      }
      value = variable;
      break;
    case ColumnLoad::kHex:
      value = "UNHEX(" + variable + ")";
      break;
    case ColumnLoad::kHexEmptyIsNull:
      value = "UNHEX(NULLIF(" + variable + ",''))";
      break;
    case ColumnLoad::kEmptyIsNull:
      value = "NULLIF(" + variable + ",'')";
      break;
    case ColumnLoad::kBitOne:
      // Two hex digits, or the one raw byte of an earlier version.
      value = "IF(LENGTH(" + variable + ")=2,UNHEX(" + variable + "),NULLIF(" + variable + ",''))";
      break;
    case ColumnLoad::kTextForm:
      // The type's binary form in hex (newer archives) or its text form,
      // which never is all hex digits (it holds ':', '.' or '-'); text in
      // the binary character set would be read as the binary form, so the
      // server turns it into that form first.
      value = "IF(" + variable + "='',NULL,IF(" + variable + " REGEXP '^[0-9A-Fa-f]+$',UNHEX(" +
              variable + "),CAST(CAST(CONVERT(" + variable + " USING latin1) AS " +
              column.data_type + ") AS BINARY)))";
      break;
  }
  *targets += variable + ",";
  *assignments += name + "=" + value + ",";
}

}  // namespace

uint64_t RestoreTabSeparated(ArchiveReader& reader, const DataEntry& entry, Connection& connection,
                             const Console& console, Progress& progress) {
  TabSeparatedChecker checker;
  // A hex value takes twice its bytes.
  checker.set_limit(connection.server_max_packet() * 2 + 1024);
  Feed feed;
  feed.reader = &reader;
  feed.checker = &checker;
  feed.console = &console;
  feed.progress = &progress;
  auto fail = [&](const std::string& detail) {
    throw Failure(kErrRestore, "table " + entry.table + ": " + entry.name + " " + detail);
  };
  // The header line names the columns of the LOAD DATA statement.
  while (!checker.has_header()) {
    if (!feed.Fill()) fail(feed.error.empty() ? "is empty (no header line)" : feed.error);
  }
  std::vector<TargetColumn> target = ReadTargetColumns(connection, entry.table);
  std::string columns, assignments;
  for (size_t i = 0; i < checker.columns().size(); ++i) {
    const std::string& name = checker.columns()[i];
    const TargetColumn* column = FindColumn(target, name);
    if (column == nullptr) fail("names column " + name + ", which the table does not have");
    LoadColumn(*column, i, &columns, &assignments);
  }
  // Every field is followed by a TAB, so each line ends with an empty field.
  columns += "@vaultrun_line_end";
  if (!assignments.empty()) assignments.pop_back();
  std::string sql = "LOAD DATA LOCAL INFILE 'vaultrun-archive-entry' INTO TABLE " +
                    QuoteIdentifier(entry.table) +
                    " CHARACTER SET binary FIELDS TERMINATED BY '\\t' ENCLOSED BY ''"
                    " ESCAPED BY '' LINES TERMINATED BY '\\r\\n' IGNORE 1 LINES (" +
                    columns + ")" + (assignments.empty() ? "" : " SET " + assignments);

  LocalFile file;
  file.name = "vaultrun-archive-entry";
  file.read = [&feed](char* buffer, unsigned size, std::string* error) {
    if (!feed.Fill()) {
      *error = feed.error;
      return feed.error.empty() ? 0 : -1;
    }
    std::string& ready = feed.checker->ready();
    size_t n = std::min<size_t>(size, ready.size() - feed.offset);
    std::memcpy(buffer, ready.data() + feed.offset, n);
    feed.offset += n;
    return static_cast<int>(n);
  };
  try {
    connection.LoadLocal(sql, file, "table " + entry.table);
  } catch (const Failure&) {
    if (!feed.error.empty()) fail(feed.error);
    throw;
  }
  if (!feed.error.empty()) fail(feed.error);
  uint64_t rows = connection.affected_rows();
  FailOnWarnings(connection, entry, entry.name);
  if (rows != checker.rows()) {
    fail("has " + std::to_string(checker.rows()) + " rows, the server took " +
         std::to_string(rows));
  }
  return rows;
}

}  // namespace vaultrun::restore
