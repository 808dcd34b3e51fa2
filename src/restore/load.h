// What restoring and verifying share: loading one table's entry (the SQL
// form, sql_load.cc; the tab-separated form, tab_load.cc) in a transaction,
// the progress line, and the checks made before anything is written.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "archive/completeness_mark.h"
#include "archive/reader.h"
#include "core/printable.h"
#include "restore/connection.h"
#include "restore/definitions.h"
#include "restore/restore.h"

namespace vaultrun::restore {

inline constexpr int kErrRestore = 3002;
inline constexpr size_t kChunk = 1 << 20;

// Raises "interrupted" once the console's stop flag is set.
void CheckStop(const Console& console);

// One table's progress line, rewritten in place on a terminal.
class Progress {
 public:
  using Clock = std::chrono::steady_clock;
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
    std::string line = "\r" + EscapeControl(entry_.table) + ": " + std::to_string(rows) + " rows";
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

// A warning or a note means a value did not go in as the archive holds it:
// raises, quoting the first ones.
void FailOnWarnings(Connection& connection, const DataEntry& entry, const std::string& where);

// One table's rows from the open entry, in the form of its name; returns the
// rows loaded. Raises a Failure naming the table and line.
uint64_t RestoreSql(ArchiveReader& reader, const DataEntry& entry, Connection& connection,
                    const Console& console, Progress& progress);
uint64_t RestoreTabSeparated(ArchiveReader& reader, const DataEntry& entry, Connection& connection,
                             const Console& console, Progress& progress);

// Restores entries into the connection's current database, each table in
// one transaction; the checks are the caller's. With counts (the manifest's
// or the mark's), a table whose rows differ in number from its count is
// rolled back and fails.
std::vector<std::pair<std::string, uint64_t>> RestoreEntries(ArchiveReader& reader,
                                                             const std::vector<DataEntry>& entries,
                                                             Connection& connection,
                                                             const Console& console,
                                                             const RowCounts* counts = nullptr);

void UseDatabase(Connection& connection, const std::string& database);
std::string JoinNames(const std::vector<std::string>& names);
// Raises when a tab-separated entry is chosen and the server refuses
// LOAD DATA LOCAL.
void CheckLocalInfile(Connection& connection, const std::vector<DataEntry>& entries);
bool DatabaseExists(Connection& connection, const std::string& database);
// The entries whose rows are loaded: a view's entry is not (its rows are
// its tables'); a sequence's is, to set where it goes on.
std::vector<DataEntry> RowEntries(const std::vector<DataEntry>& entries,
                                  const SchemaBuilder& schema);

}  // namespace vaultrun::restore
