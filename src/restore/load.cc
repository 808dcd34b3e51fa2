#include "restore/load.h"

#include <algorithm>

#include "core/failure.h"

namespace vaultrun::restore {
namespace {

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

// Ends a failed table's transaction; the failure that got here is the one
// reported, so the rollback's own (the connection may be gone) is not.
void RollBack(Connection& connection) noexcept {
  try {
    connection.Exec("ROLLBACK");
  } catch (const std::exception&) {
  }
}

// The row count the archive gives for table, if it gives one.
std::optional<uint64_t> CountedRows(const RowCounts* counts, const std::string& table) {
  if (counts == nullptr) return std::nullopt;
  auto found = counts->find(table);
  if (found == counts->end()) return std::nullopt;
  return found->second;
}

}  // namespace

void CheckStop(const Console& console) {
  if (console.stop != nullptr && *console.stop != 0) {
    throw Failure(kErrRestore, "interrupted");
  }
}

void FailOnWarnings(Connection& connection, const DataEntry& entry, const std::string& where) {
  unsigned count = connection.warning_count();
  if (count == 0) return;
  throw Failure(kErrRestore, "table " + entry.table + ": " + where + ": the server reported " +
                                 std::to_string(count) +
                                 " warnings or notes, so the rows would not be as the archive "
                                 "holds them: " +
                                 FirstWarnings(connection));
}

std::vector<std::pair<std::string, uint64_t>> RestoreEntries(ArchiveReader& reader,
                                                             const std::vector<DataEntry>& entries,
                                                             Connection& connection,
                                                             const Console& console,
                                                             const RowCounts* counts) {
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
      std::optional<uint64_t> marked = CountedRows(counts, entry.table);
      if (marked && *marked != rows) {
        throw Failure(kErrRestore, "table " + entry.table + ": the archive says " +
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

std::vector<DataEntry> RowEntries(const std::vector<DataEntry>& entries,
                                  const SchemaBuilder& schema) {
  std::vector<DataEntry> rows;
  for (const DataEntry& entry : entries) {
    if (!schema.IsDefinedView(entry.table)) rows.push_back(entry);
  }
  return rows;
}

}  // namespace vaultrun::restore
