#include "restore/restore.h"

#include <mysql.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "platform/failure.h"
#include "restore/archive_reader.h"
#include "restore/data_lines.h"
#include "run/completeness_mark.h"

namespace vaultrun::restore {
namespace {

constexpr int kErrRestore = 3002;
constexpr size_t kChunk = 1 << 20;
// The error code a failed local infile read reports (CR_UNKNOWN_ERROR).
constexpr int kErrFeed = 2000;

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

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i], b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

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

uint64_t RestoreSql(ArchiveReader& reader, const DataEntry& entry, Connection& connection,
                    const Console& console, Progress& progress) {
  // The exporter writes "insert into `table` values ..." or with a column
  // list; anything else in the entry is not sent.
  std::string prefix = "insert into " + QuoteIdentifier(entry.table) + " ";
  std::vector<char> chunk(kChunk);
  LineSplitter lines;
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
      if (!StartsWithIgnoreCase(line, prefix)) {
        throw Failure(kErrRestore, entry.name + " line " + std::to_string(number) +
                                       ": not an insert into " + QuoteIdentifier(entry.table));
      }
      std::string_view statement = line;
      if (!statement.empty() && statement.back() == ';') statement.remove_suffix(1);
      if (statement.size() + 1 > connection.server_max_packet()) {
        RaisePacketTooLarge(entry, number, statement.size(), connection.server_max_packet());
      }
      std::string message;
      unsigned code = connection.TryExec(statement, &message);
      if (code == kErrPacketTooLarge || code == kErrClientPacketTooLarge) {
        RaisePacketTooLarge(entry, number, statement.size(), connection.server_max_packet());
      }
      if (code != 0) {
        throw Failure(static_cast<int>(code), "table " + entry.table + ": " + entry.name +
                                                  " line " + std::to_string(number) + ": " +
                                                  message);
      }
      rows += connection.affected_rows();
      progress.Update(bytes, rows);
    }
  }
  if (!lines.Finish()) {
    throw Failure(kErrRestore, entry.name + " line " + std::to_string(lines.line_number() + 1) +
                                   " is cut short (the data ends without CR LF)");
  }
  return rows;
}

// What LOAD DATA does with one column of the tab-separated form.
enum class ColumnLoad { kDirect, kHex, kHexEmptyIsNull, kEmptyIsNull, kBitOne };

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

int FeedInit(void** ptr, const char*, void* userdata) {
  *ptr = userdata;
  return 0;
}

int FeedRead(void* ptr, char* buffer, unsigned int size) {
  Feed* feed = static_cast<Feed*>(ptr);
  try {
    if (!feed->Fill()) return feed->error.empty() ? 0 : -1;
  } catch (const Failure& failure) {
    feed->error = failure.description();
    return -1;
  } catch (const std::exception& e) {
    feed->error = e.what();
    return -1;
  }
  std::string& ready = feed->checker->ready();
  size_t n = std::min<size_t>(size, ready.size() - feed->offset);
  std::memcpy(buffer, ready.data() + feed->offset, n);
  feed->offset += n;
  return static_cast<int>(n);
}

void FeedEnd(void*) {}

int FeedError(void* ptr, char* buffer, unsigned int size) {
  Feed* feed = static_cast<Feed*>(ptr);
  std::snprintf(buffer, size, "%s", feed->error.c_str());
  return kErrFeed;
}

uint64_t RestoreTabSeparated(ArchiveReader& reader, const DataEntry& entry, Connection& connection,
                             const Console& console, Progress& progress) {
  TabSeparatedChecker checker;
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
  struct ColumnInfo {
    std::string data_type;
    bool nullable;
    uint64_t precision;
  };
  std::map<std::string, ColumnInfo> info;
  for (const Connection::Row& row : connection.Query(
           "SELECT column_name, data_type, is_nullable, IFNULL(numeric_precision, 0) FROM "
           "information_schema.columns WHERE table_schema = DATABASE() AND table_name = " +
           connection.Literal(entry.table))) {
    info[row[0].value_or("")] = {row[1].value_or(""), row[2].value_or("") == "YES",
                                 std::stoull(row[3].value_or("0"))};
  }
  std::string columns, assignments;
  for (size_t i = 0; i < checker.columns().size(); ++i) {
    const std::string& name = checker.columns()[i];
    auto found = info.find(name);
    if (found == info.end()) fail("names column " + name + ", which the table does not have");
    const ColumnInfo& column = found->second;
    std::string variable = "@c" + std::to_string(i);
    switch (LoadOf(column.data_type, column.nullable, column.precision)) {
      case ColumnLoad::kDirect:
        columns += QuoteIdentifier(name) + ",";
        break;
      case ColumnLoad::kHex:
        columns += variable + ",";
        assignments += QuoteIdentifier(name) + "=UNHEX(" + variable + "),";
        break;
      case ColumnLoad::kHexEmptyIsNull:
        columns += variable + ",";
        assignments += QuoteIdentifier(name) + "=UNHEX(NULLIF(" + variable + ",'')),";
        break;
      case ColumnLoad::kEmptyIsNull:
        columns += variable + ",";
        assignments += QuoteIdentifier(name) + "=NULLIF(" + variable + ",''),";
        break;
      case ColumnLoad::kBitOne:
        // Two hex digits, or the one raw byte of an earlier version.
        columns += variable + ",";
        assignments += QuoteIdentifier(name) + "=IF(LENGTH(" + variable + ")=2,UNHEX(" + variable +
                       "),NULLIF(" + variable + ",'')),";
        break;
    }
  }
  // Every field is followed by a TAB, so each line ends with an empty field.
  columns += "@vaultrun_line_end";
  if (!assignments.empty()) assignments.pop_back();
  std::string sql = "LOAD DATA LOCAL INFILE 'vaultrun-archive-entry' INTO TABLE " +
                    QuoteIdentifier(entry.table) +
                    " CHARACTER SET binary FIELDS TERMINATED BY '\\t' ENCLOSED BY ''"
                    " ESCAPED BY '' LINES TERMINATED BY '\\r\\n' IGNORE 1 LINES (" +
                    columns + ")" + (assignments.empty() ? "" : " SET " + assignments);

  mysql_set_local_infile_handler(connection.handle(), FeedInit, FeedRead, FeedEnd, FeedError,
                                 &feed);
  std::string message;
  unsigned code = connection.TryExec(sql, &message);
  mysql_set_local_infile_default(connection.handle());
  if (!feed.error.empty()) fail(feed.error);
  if (code != 0) {
    throw Failure(static_cast<int>(code), "table " + entry.table + ": " + message);
  }
  uint64_t rows = connection.affected_rows();
  unsigned warnings = connection.warning_count();
  if (rows != checker.rows() || warnings > 0) {
    std::string first;
    std::vector<Connection::Row> shown = connection.Query("SHOW WARNINGS LIMIT 1");
    if (!shown.empty() && shown[0].size() >= 3) first = shown[0][2].value_or("");
    if (rows != checker.rows()) {
      fail("has " + std::to_string(checker.rows()) + " rows, the server took " +
           std::to_string(rows) + (first.empty() ? "" : ": " + first));
    }
    if (console.err != nullptr) {
      *console.err << "warning: table " << entry.table << ": " << warnings
                   << " warnings while loading, the first: " << first << "\n";
    }
  }
  return rows;
}

// Restores entries into the connection's current database; the checks are
// the caller's.
std::vector<std::pair<std::string, uint64_t>> RestoreEntries(ArchiveReader& reader,
                                                             const std::vector<DataEntry>& entries,
                                                             Connection& connection,
                                                             const Console& console) {
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
      connection.Exec("COMMIT");
    } catch (...) {
      if (console.progress && console.err != nullptr) *console.err << "\n";
      connection.TryExec("ROLLBACK", nullptr);
      throw;
    }
    progress.Done(rows);
    restored.emplace_back(entry.table, rows);
  }
  return restored;
}

void UseDatabase(Connection& connection, const std::string& database) {
  std::string message;
  if (connection.TryExec("USE " + QuoteIdentifier(database), &message) != 0) {
    throw Failure(kErrRestore, "database " + database + ": " + message);
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

  // Every check before the first write.
  UseDatabase(connection, request.database);
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
    if (!rows.empty()) holding_rows.push_back(entry.table);
  }
  if (!missing.empty()) {
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

  RestoreSummary summary;
  summary.tables = RestoreEntries(reader, chosen, connection, console);
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
  connection.Exec("CREATE DATABASE " + scratch);

  // Dropped on every way out, with a fresh connection when this one is lost.
  struct Dropper {
    const VerifyRequest& request;
    Connection& connection;
    const Console& console;
    ~Dropper() {
      std::string sql = "DROP DATABASE IF EXISTS " + QuoteIdentifier(request.scratch_database);
      std::string message;
      if (connection.TryExec(sql, &message) == 0) return;
      try {
        if (request.reconnect) {
          std::unique_ptr<Connection> fresh = request.reconnect();
          if (fresh->TryExec(sql, &message) == 0) return;
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

  std::vector<std::string> differences;
  std::map<std::string, uint64_t> counted;
  try {
    for (const DataEntry& entry : reader.entries()) {
      std::string message;
      if (connection.TryExec("CREATE TABLE " + scratch + "." + QuoteIdentifier(entry.table) +
                                 " LIKE " + QuoteIdentifier(source) + "." +
                                 QuoteIdentifier(entry.table),
                             &message) != 0) {
        throw Failure(kErrRestore, "cannot copy the definition of table " + entry.table +
                                       " from database " + source + ": " + message);
      }
    }
    UseDatabase(connection, request.scratch_database);
    CheckLocalInfile(connection, reader.entries());
    RestoreEntries(reader, reader.entries(), connection, console);
    for (const DataEntry& entry : reader.entries()) {
      counted[entry.table] =
          std::stoull(connection.QueryOne("SELECT COUNT(*) FROM " + QuoteIdentifier(entry.table)));
    }
  } catch (const Failure& failure) {
    result.verdict = "FAILED: the archive does not restore: " + failure.description();
    return result;
  }

  uint64_t rows = 0;
  std::set<std::string> listed;
  for (const auto& [table, expected] : mark->tables) {
    listed.insert(table);
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
  result.ok = true;
  result.verdict = "OK: " + std::to_string(counted.size()) + " tables, " + std::to_string(rows) +
                   " rows match the archive's mark";
  if (mark->more_tables > 0) {
    result.verdict += " (" + std::to_string(mark->more_tables) +
                      " tables beyond the mark's list restored, their counts unchecked)";
  }
  return result;
}

}  // namespace vaultrun::restore
