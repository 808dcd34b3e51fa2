#include "restore/restore.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "core/failure.h"
#include "archive/reader.h"
#include "restore/data_lines.h"
#include "restore/definitions.h"
#include "restore/insert_check.h"
#include "restore/restore_session.h"
#include "restore/target_columns.h"
#include "restore/verify_content.h"
#include "archive/completeness_mark.h"

namespace vaultrun::restore {
namespace {

constexpr int kErrRestore = 3002;
constexpr size_t kChunk = 1 << 20;

using Clock = std::chrono::steady_clock;

void CheckStop(const Console& console) {
  if (console.stop != nullptr && *console.stop != 0) {
    throw Failure(kErrRestore, "interrupted");
  }
}

// One table's progress line, rewritten in place on a terminal.
class Progress {
 public:
  Progress(const Console& console, const DataEntry& entry)
      : console_(console), entry_(entry), start_(Clock::now()), last_(start_) {
    Show(0, 0, false);
  }
  void Update(uint64_t bytes, uint64_t rows) {
    if (!console_.progress) return;
    Clock::time_point now = Clock::now();
    if (now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    Show(bytes, rows, false);
  }
  void Done(uint64_t rows) { Show(entry_.size, rows, true); }

 private:
  void Show(uint64_t bytes, uint64_t rows, bool done) {
    if (!console_.progress || console_.err == nullptr) return;
    std::string line = "\r" + entry_.table + ": " + std::to_string(rows) + " rows";
    if (done) {
      double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
      char text[32];
      std::snprintf(text, sizeof text, " restored in %.1f s", seconds);
      line += text;
    } else if (entry_.size > 0) {
      line += ", " + std::to_string(bytes * 100 / entry_.size) + "%";
    }
    // Spaces cover the rest of a longer earlier line.
    line += "          ";
    if (done) line += "\n";
    *console_.err << line << std::flush;
  }

  const Console& console_;
  const DataEntry& entry_;
  Clock::time_point start_;
  Clock::time_point last_;
};

[[noreturn]] void RaisePacketTooLarge(const DataEntry& entry, uint64_t line, size_t size,
                                      uint64_t server_max) {
  // Rounded up to whole MB, with room for the packet's header.
  uint64_t needed = ((size + 1024) / (1 << 20) + 1) * (1 << 20);
  throw Failure(kErrPacketTooLarge,
                "table " + entry.table + ": the statement on line " + std::to_string(line) +
                    " of " + entry.name + " is " + std::to_string(size) +
                    " bytes, more than the server's max_allowed_packet (" +
                    std::to_string(server_max) + " bytes); raise it to at least " +
                    std::to_string(needed) + " (SET GLOBAL max_allowed_packet=" +
                    std::to_string(needed) + ", or in the server's configuration) and run again");
}

[[noreturn]] void RaiseLineTooLong(const DataEntry& entry, uint64_t line, size_t limit) {
  throw Failure(kErrPacketTooLarge,
                "table " + entry.table + ": line " + std::to_string(line) + " of " + entry.name +
                    " is longer than " + std::to_string(limit) +
                    " bytes, more than the server's max_allowed_packet allows; raise it (SET "
                    "GLOBAL max_allowed_packet, or in the server's configuration) and run again");
}

// The first warnings of the last statement, for a message.
std::string FirstWarnings(Connection& connection) {
  std::string text;
  for (const Connection::Row& row : connection.Query("SHOW WARNINGS LIMIT 3")) {
    if (row.size() < 3) continue;
    text += (text.empty() ? "" : "; ") + row[0].value_or("") + " " + row[1].value_or("") + ": " +
            row[2].value_or("");
  }
  return text;
}

// A warning or a note means a value did not go in as the archive holds it.
void FailOnWarnings(Connection& connection, const DataEntry& entry, const std::string& where) {
  unsigned count = connection.warning_count();
  if (count == 0) return;
  throw Failure(kErrRestore, "table " + entry.table + ": " + where + ": the server reported " +
                                 std::to_string(count) +
                                 " warnings or notes, so the rows would not be as the archive "
                                 "holds them: " +
                                 FirstWarnings(connection));
}

// Which of the target's columns a statement's tuples fill, and how: its
// own column list, else the columns an INSERT without a list fills (or
// those less the generated ones, which newer archives leave out). Returns
// what is wrong, or "". *rewrite: the statement must be rebuilt.
std::string PlanColumns(const InsertStatement& insert, const std::vector<TargetColumn>& target,
                        std::vector<ColumnPlan>* plan, bool* rewrite) {
  std::vector<std::string> names = insert.columns;
  *rewrite = false;
  if (!insert.has_column_list) {
    std::vector<std::string> visible, stored;
    for (const TargetColumn& column : target) {
      if (column.invisible) continue;
      visible.push_back(column.name);
      if (!column.generated) stored.push_back(column.name);
    }
    if (insert.width == visible.size()) {
      names = visible;
    } else if (insert.width == stored.size()) {
      names = stored;
      *rewrite = true;
    } else {
      return std::to_string(insert.width) + " values in a tuple where the table has " +
             std::to_string(visible.size()) + " columns";
    }
  }
  plan->clear();
  bool any_kept = false;
  for (const std::string& name : names) {
    const TargetColumn* column = FindColumn(target, name);
    if (column == nullptr) return "names column " + name + ", which the table does not have";
    plan->push_back({name, !column->generated, column->text_form_type});
    any_kept = any_kept || !column->generated;
    if (column->generated || column->text_form_type) *rewrite = true;
  }
  if (!any_kept) return "holds values of generated columns only";
  return "";
}

uint64_t RestoreSql(ArchiveReader& reader, const DataEntry& entry, Connection& connection,
                    const Console& console, Progress& progress) {
  std::vector<TargetColumn> target = ReadTargetColumns(connection, entry.table);
  std::vector<char> chunk(kChunk);
  LineSplitter lines;
  lines.set_limit(connection.server_max_packet());
  InsertStatement insert;
  std::vector<ColumnPlan> plan;
  std::vector<std::string> planned_for;
  size_t planned_width = 0;
  bool rewrite = false;
  std::string rebuilt;
  uint64_t rows = 0, bytes = 0;
  for (;;) {
    size_t n = reader.Read(chunk.data(), chunk.size());
    if (n == 0) break;
    bytes += n;
    lines.Add(std::string_view(chunk.data(), n));
    std::string_view line;
    while (lines.Next(&line)) {
      CheckStop(console);
      uint64_t number = lines.line_number();
      auto refuse = [&](const std::string& problem) {
        throw Failure(kErrRestore, "table " + entry.table + ": " + entry.name + " line " +
                                       std::to_string(number) + " refused: " + problem);
      };
      std::string_view statement = line;
      if (!statement.empty() && statement.back() == ';') statement.remove_suffix(1);
      // Only literal rows for this table go to the server.
      std::string problem = CheckInsert(statement, entry.table, &insert);
      if (!problem.empty()) refuse(problem);
      if (plan.empty() || insert.columns != planned_for || insert.width != planned_width) {
        problem = PlanColumns(insert, target, &plan, &rewrite);
        if (!problem.empty()) refuse(problem);
        planned_for = insert.columns;
        planned_width = insert.width;
      }
      if (rewrite) {
        rebuilt = RebuildInsert(statement, entry.table, insert, plan);
        statement = rebuilt;
      }
      if (statement.size() + 1 > connection.server_max_packet()) {
        RaisePacketTooLarge(entry, number, statement.size(), connection.server_max_packet());
      }
      try {
        connection.Exec(statement, "table " + entry.table + ": " + entry.name + " line " +
                                       std::to_string(number));
      } catch (const Failure& failure) {
        if (failure.number() == static_cast<int>(kErrPacketTooLarge) ||
            failure.number() == static_cast<int>(kErrClientPacketTooLarge)) {
          RaisePacketTooLarge(entry, number, statement.size(), connection.server_max_packet());
        }
        throw;
      }
      rows += connection.affected_rows();
      FailOnWarnings(connection, entry, entry.name + " line " + std::to_string(number));
      progress.Update(bytes, rows);
    }
    if (lines.too_long()) RaiseLineTooLong(entry, lines.line_number() + 1, lines.limit());
  }
  if (!lines.Finish()) {
    throw Failure(kErrRestore, entry.name + " line " + std::to_string(lines.line_number() + 1) +
                                   " is cut short (the data ends without CR LF)");
  }
  return rows;
}

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

// Ends a failed table's transaction; the failure that got here is the one
// reported, so the rollback's own (the connection may be gone) is not.
void RollBack(Connection& connection) noexcept {
  try {
    connection.Exec("ROLLBACK");
  } catch (const std::exception&) {
  }
}

// The row count the mark gives for table, if it lists it.
std::optional<uint64_t> MarkedRows(const std::optional<CompletenessMark>& mark,
                                   const std::string& table) {
  if (!mark) return std::nullopt;
  for (const auto& [name, rows] : mark->tables) {
    if (name == table) return rows;
  }
  return std::nullopt;
}

// Restores entries into the connection's current database; the checks are
// the caller's. With a mark, a table whose rows differ in number from the
// mark's is rolled back and fails the restore.
std::vector<std::pair<std::string, uint64_t>> RestoreEntries(
    ArchiveReader& reader, const std::vector<DataEntry>& entries, Connection& connection,
    const Console& console, const std::optional<CompletenessMark>& mark = std::nullopt) {
  std::vector<std::pair<std::string, uint64_t>> restored;
  for (const DataEntry& entry : entries) {
    CheckStop(console);
    Progress progress(console, entry);
    connection.Exec("START TRANSACTION");
    uint64_t rows = 0;
    try {
      reader.Open(entry);
      rows = entry.form == DataForm::kSql
                 ? RestoreSql(reader, entry, connection, console, progress)
                 : RestoreTabSeparated(reader, entry, connection, console, progress);
      std::optional<uint64_t> marked = MarkedRows(mark, entry.table);
      if (marked && *marked != rows) {
        throw Failure(kErrRestore, "table " + entry.table + ": the archive's mark says " +
                                       std::to_string(*marked) + " rows, " + entry.name + " gave " +
                                       std::to_string(rows) + "; rolled back");
      }
      connection.Exec("COMMIT");
    } catch (...) {
      if (console.progress && console.err != nullptr) *console.err << "\n";
      RollBack(connection);
      throw;
    }
    progress.Done(rows);
    restored.emplace_back(entry.table, rows);
  }
  return restored;
}

void UseDatabase(Connection& connection, const std::string& database) {
  try {
    connection.Exec("USE " + QuoteIdentifier(database), "database " + database);
  } catch (const Failure& failure) {
    throw Failure(kErrRestore, failure.description());
  }
}

std::string JoinNames(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

void CheckLocalInfile(Connection& connection, const std::vector<DataEntry>& entries) {
  bool any = std::any_of(entries.begin(), entries.end(), [](const DataEntry& entry) {
    return entry.form == DataForm::kTabSeparated;
  });
  if (!any || connection.QueryOne("SELECT @@local_infile") == "1") return;
  throw Failure(kErrRestore,
                "the server does not allow LOAD DATA LOCAL (local_infile is OFF), which the "
                "tab-separated form needs: SET GLOBAL local_infile=1 and run again");
}

bool DatabaseExists(Connection& connection, const std::string& database) {
  return connection.QueryOne(
             "SELECT COUNT(*) FROM information_schema.schemata WHERE schema_name = " +
             connection.Literal(database)) != "0";
}

// The entries whose rows are loaded: a view's entry is not (its rows are
// its tables'); a sequence's is, to set where it goes on.
std::vector<DataEntry> RowEntries(const std::vector<DataEntry>& entries,
                                  const SchemaBuilder& schema) {
  std::vector<DataEntry> rows;
  for (const DataEntry& entry : entries) {
    if (!schema.IsDefinedView(entry.table)) rows.push_back(entry);
  }
  return rows;
}

// The database does not exist: it is made from the archive's definitions,
// and dropped again when anything fails before the end.
RestoreSummary RestoreIntoNewDatabase(ArchiveReader& reader, const std::vector<DataEntry>& entries,
                                      SchemaBuilder& schema, Connection& connection,
                                      const std::string& database, const Console& console) {
  std::vector<std::string> undefined;
  for (const DataEntry& entry : entries) {
    if (!schema.IsTable(entry.table) && !schema.IsSequence(entry.table)) {
      undefined.push_back(entry.table);
    }
  }
  if (!undefined.empty()) {
    throw Failure(kErrRestore, "the archive's definitions hold no table " + JoinNames(undefined) +
                                   "; nothing was written");
  }
  CheckLocalInfile(connection, entries);
  if (console.err != nullptr) {
    *console.err << "database " << database
                 << " does not exist: creating it from the archive's definitions\n";
  }
  schema.CreateDatabase();
  UseDatabase(connection, database);
  schema.CreateSequences();
  schema.CreateTables(schema.Tables(), false);
  SetSessionTimeZone(connection, ArchiveTimeZone(reader));
  RestoreSummary summary;
  summary.tables =
      RestoreEntries(reader, entries, connection, console, ParseCompletenessMark(reader.comment()));
  for (const auto& [table, rows] : summary.tables) summary.rows += rows;
  schema.CreateObjects();
  schema.Keep();
  return summary;
}

}  // namespace

RestoreSummary Restore(const RestoreRequest& request, Connection& connection,
                       const Console& console) {
  ArchiveReader reader(request.archive);
  if (reader.entries().empty()) {
    throw Failure(kErrRestore, request.archive + ": holds no table data");
  }
  std::vector<DataEntry> chosen;
  if (request.tables.empty()) {
    chosen = reader.entries();
  } else {
    std::vector<std::string> absent;
    std::set<std::string> seen;
    for (const std::string& table : request.tables) {
      if (!seen.insert(table).second) continue;
      auto found = std::find_if(reader.entries().begin(), reader.entries().end(),
                                [&](const DataEntry& entry) { return entry.table == table; });
      if (found == reader.entries().end()) {
        absent.push_back(table);
      } else {
        chosen.push_back(*found);
      }
    }
    if (!absent.empty()) {
      throw Failure(kErrRestore, "not in the archive: " + JoinNames(absent));
    }
  }

  // Every check before the first write; the definitions are checked first.
  SchemaBuilder schema(request.archive, connection, request.database, console.err);
  chosen = RowEntries(chosen, schema);
  if (schema.has_definitions() && !DatabaseExists(connection, request.database)) {
    return RestoreIntoNewDatabase(reader, chosen, schema, connection, request.database, console);
  }
  UseDatabase(connection, request.database);
  // Views and sequences: a view's rows belong to its tables and are never
  // inserted again; a sequence always holds its one row, which the
  // archive's row replaces.
  std::vector<std::string> views;
  chosen = WithoutViews(chosen, TablesOfType(connection, request.database, "VIEW"), &views);
  if (!views.empty() && console.err != nullptr) {
    *console.err << "warning: skipped, views in database " << request.database
                 << " (their rows are their tables'): " << JoinNames(views) << "\n";
  }
  const std::set<std::string> sequences = TablesOfType(connection, request.database, "SEQUENCE");
  std::vector<std::string> missing, holding_rows;
  for (const DataEntry& entry : chosen) {
    std::string sql = "SELECT 1 FROM " + QuoteIdentifier(entry.table) + " LIMIT 1";
    std::vector<Connection::Row> rows;
    try {
      rows = connection.Query(sql);
    } catch (const Failure& failure) {
      if (failure.number() != static_cast<int>(kErrNoSuchTable)) throw;
      missing.push_back(entry.table);
      continue;
    }
    if (!rows.empty() && sequences.count(entry.table) == 0) holding_rows.push_back(entry.table);
  }
  if (request.tables.empty()) {
    // Tables stored without rows (excluded from the backups) are made too.
    for (const std::string& table : schema.Tables()) {
      bool has_entry = std::any_of(chosen.begin(), chosen.end(),
                                   [&](const DataEntry& entry) { return entry.table == table; });
      if (!has_entry && connection.QueryOne("SELECT COUNT(*) FROM information_schema.tables "
                                            "WHERE table_schema = DATABASE() AND table_name = " +
                                            connection.Literal(table)) == "0") {
        missing.push_back(table);
      }
    }
  }
  // The archive's definitions make the tables the target lacks.
  bool create_missing = std::all_of(missing.begin(), missing.end(), [&](const std::string& table) {
    return schema.IsTable(table);
  });
  if (!missing.empty() && !create_missing) {
    throw Failure(kErrRestore,
                  "no such table in database " + request.database + ": " + JoinNames(missing) +
                      " (the archive holds rows, not table definitions: create the tables "
                      "first, e.g. from the game server's schema); nothing was written");
  }
  if (!holding_rows.empty() && !request.force) {
    throw Failure(kErrRestore, "tables of database " + request.database +
                                   " already hold rows: " + JoinNames(holding_rows) +
                                   " (empty them, or give --force to add the archive's rows to "
                                   "them); nothing was written");
  }
  CheckLocalInfile(connection, chosen);
  if (!missing.empty()) schema.CreateTables(missing, true);
  SetSessionTimeZone(connection, ArchiveTimeZone(reader));

  RestoreSummary summary;
  summary.tables =
      RestoreEntries(reader, chosen, connection, console, ParseCompletenessMark(reader.comment()));
  for (const auto& [table, rows] : summary.tables) summary.rows += rows;
  return summary;
}

VerifyResult Verify(const VerifyRequest& request, Connection& connection, const Console& console) {
  ArchiveReader reader(request.archive);
  std::optional<CompletenessMark> mark = ParseCompletenessMark(reader.comment());
  VerifyResult result;
  if (!mark) {
    result.verdict = "NOT A COMPLETE BACKUP: " + request.archive +
                     " carries no completeness mark: the run that wrote it failed or was cut "
                     "off, or another program wrote it";
    return result;
  }
  std::string source = request.source_database.empty() ? mark->database : request.source_database;
  std::string scratch = QuoteIdentifier(request.scratch_database);
  // With definitions in the archive the scratch copy needs no live database.
  SchemaBuilder schema(request.archive, connection, request.scratch_database, console.err);
  const std::vector<DataEntry> row_entries = RowEntries(reader.entries(), schema);
  mark->tables.erase(
      std::remove_if(mark->tables.begin(), mark->tables.end(),
                     [&](const auto& table) { return schema.IsDefinedView(table.first); }),
      mark->tables.end());
  connection.Exec("CREATE DATABASE " + scratch);

  // Dropped on every way out, with a fresh connection when this one is lost.
  struct Dropper {
    const VerifyRequest& request;
    Connection& connection;
    const Console& console;
    ~Dropper() {
      std::string sql = "DROP DATABASE IF EXISTS " + QuoteIdentifier(request.scratch_database);
      std::string message;
      try {
        connection.Exec(sql);
        return;
      } catch (const Failure& failure) {
        message = failure.description();
      }
      try {
        if (request.reconnect) {
          request.reconnect()->Exec(sql);
          return;
        }
      } catch (const Failure& failure) {
        message = failure.description();
      }
      if (console.err != nullptr) {
        *console.err << "warning: could not drop the scratch database " << request.scratch_database
                     << " (" << message << "): drop it by hand\n";
      }
    }
  } dropper{request, connection, console};

  std::vector<std::string> differences, content_differences;
  std::map<std::string, uint64_t> counted;
  // Entries of views (archives of older runs) are not restored.
  std::vector<std::string> views;
  const std::vector<DataEntry> entries =
      WithoutViews(row_entries, TablesOfType(connection, source, "VIEW"), &views);
  try {
    const std::string zone = ArchiveTimeZone(reader);
    for (const DataEntry& entry : schema.has_definitions() ? std::vector<DataEntry>() : entries) {
      connection.Exec("CREATE TABLE " + scratch + "." + QuoteIdentifier(entry.table) + " LIKE " +
                          QuoteIdentifier(source) + "." + QuoteIdentifier(entry.table),
                      "cannot copy the definition of table " + entry.table + " from database " +
                          source);
    }
    UseDatabase(connection, request.scratch_database);
    if (schema.has_definitions()) {
      schema.CreateSequences();
      schema.CreateTables(schema.Tables(), false);
    }
    CheckLocalInfile(connection, entries);
    SetSessionTimeZone(connection, zone);
    RestoreEntries(reader, entries, connection, console);
    for (const DataEntry& entry : entries) {
      counted[entry.table] =
          std::stoull(connection.QueryOne("SELECT COUNT(*) FROM " + QuoteIdentifier(entry.table)));
    }
    content_differences =
        CompareContent(reader, entries, connection, request.scratch_database, zone);
  } catch (const Failure& failure) {
    result.verdict = "FAILED: the archive does not restore: " + failure.description();
    return result;
  }

  uint64_t rows = 0;
  std::set<std::string> listed;
  for (const auto& [table, expected] : mark->tables) {
    listed.insert(table);
    if (std::find(views.begin(), views.end(), table) != views.end()) continue;
    auto found = counted.find(table);
    if (found == counted.end()) {
      differences.push_back("table " + table + ": in the mark (" + std::to_string(expected) +
                            " rows) but not in the archive");
    } else if (found->second != expected) {
      differences.push_back("table " + table + ": the mark says " + std::to_string(expected) +
                            " rows, the archive restores " + std::to_string(found->second));
    } else {
      rows += expected;
    }
  }
  uint64_t unlisted = 0;
  for (const auto& [table, count] : counted) {
    if (listed.count(table) > 0) continue;
    ++unlisted;
    rows += count;
    if (mark->more_tables == 0) {
      differences.push_back("table " + table + ": in the archive but not in the mark");
    }
  }
  if (mark->more_tables > 0 && unlisted != mark->more_tables) {
    differences.push_back("the mark counts " + std::to_string(mark->more_tables) +
                          " tables beyond its list, the archive holds " + std::to_string(unlisted));
  }
  if (!differences.empty()) {
    result.verdict = "FAILED: the archive differs from its mark:";
    for (const std::string& line : differences) result.verdict += "\n  " + line;
    return result;
  }
  if (!content_differences.empty()) {
    result.verdict = "FAILED: the restored tables differ from the archive:";
    for (const std::string& line : content_differences) result.verdict += "\n  " + line;
    return result;
  }
  result.ok = true;
  result.verdict = "OK: " + std::to_string(counted.size()) + " tables, " + std::to_string(rows) +
                   " rows match the archive's mark, and every row the archive holds restores as "
                   "it was";
  if (!views.empty()) result.verdict += " (views left out: " + JoinNames(views) + ")";
  if (mark->more_tables > 0) {
    result.verdict += " (" + std::to_string(mark->more_tables) +
                      " tables beyond the mark's list restored, their counts unchecked)";
  }
  return result;
}

}  // namespace vaultrun::restore
