#include "restore/verify_content.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>

#include "core/failure.h"
#include "core/process.h"
#include "db/access.h"
#include "db/connect.h"
#include "db/session.h"
#include "platform/env.h"
#include "run/data_file.h"
#include "run/export_query.h"

namespace vaultrun::restore {
namespace {

constexpr size_t kChunk = 1 << 20;
// How much of a differing row a verdict quotes.
constexpr size_t kShownRow = 200;

using RowSink = std::function<void(std::string_view row)>;

// Skips a backquoted name at line[*at]; false when there is none.
bool SkipQuotedName(std::string_view line, size_t* at) {
  if (*at >= line.size() || line[*at] != '`') return false;
  for (size_t i = *at + 1; i < line.size(); ++i) {
    if (line[i] != '`') continue;
    if (i + 1 < line.size() && line[i + 1] == '`') {
      ++i;
      continue;
    }
    *at = i + 1;
    return true;
  }
  return false;
}

bool SkipText(std::string_view line, size_t* at, std::string_view text) {
  if (line.substr(*at, text.size()) != text) return false;
  *at += text.size();
  return true;
}

// A read connection of the backup run's kind on database, reached as
// connection was.
std::unique_ptr<db::Connection> OpenExportConnection(const ConnectOptions& options,
                                                     const std::string& database,
                                                     const std::string& zone) {
  db::ConnectOptions on_database = options;
  on_database.database = database;
  on_database.charset.clear();
  on_database.local_infile = false;
  db::MysqlHandle mysql;
  try {
    mysql = db::Connect(on_database);
  } catch (const Failure& failure) {
    throw Failure(failure.number(), "connect: " + failure.description());
  }
  auto connection = std::make_unique<db::Connection>();
  connection->SetMode(db::adModeRead);
  connection->Adopt(mysql.release());
  if (!zone.empty()) connection->Execute("set time_zone = '" + zone + "'");
  return connection;
}

// The archive entry's rows, one by one.
class EntryRows {
 public:
  EntryRows(ArchiveReader& reader, const DataEntry& entry) : reader_(reader), rows_(entry.form) {
    reader_.Open(entry);
  }
  bool Next(std::string_view* row) {
    while (!rows_.Next(row)) {
      size_t n = reader_.Read(chunk_.data(), chunk_.size());
      if (n == 0) return false;
      rows_.Add(std::string_view(chunk_.data(), n));
    }
    return true;
  }

 private:
  ArchiveReader& reader_;
  RowSplitter rows_;
  std::vector<char> chunk_ = std::vector<char>(kChunk);
};

// Exports table again, in the entry's form, handing each row to sink.
void ExportRows(Process& process, Session& session, const DataEntry& entry, const RowSink& sink) {
  RunRecordsets sets;
  DataQuery query = RunExportQuery(session, entry.table, sets);
  RowSplitter rows(entry.form);
  const int32_t format_sql = entry.form == DataForm::kSql ? 1 : 0;
  WriteDataFile(process, entry.table, "", sets, format_sql, "0", query,
                [&](std::unique_ptr<ByteBuffer>* block) {
                  rows.Add((*block)->view());
                  std::string_view row;
                  while (rows.Next(&row)) sink(row);
                });
}

std::string Shown(std::string_view row) {
  if (row.size() <= kShownRow) return std::string(row);
  return std::string(row.substr(0, kShownRow)) + "... (" + std::to_string(row.size()) + " bytes)";
}

// True when the export gives the entry's rows in the same order, byte for
// byte.
bool SameInOrder(Process& process, Session& session, ArchiveReader& reader,
                 const DataEntry& entry) {
  EntryRows archived(reader, entry);
  bool same = true;
  ExportRows(process, session, entry, [&](std::string_view row) {
    std::string_view expected;
    if (same && (!archived.Next(&expected) || expected != row)) same = false;
  });
  std::string_view extra;
  return same && !archived.Next(&extra);
}

// A row's key for counting: two independent 64-bit hashes.
struct RowKey {
  uint64_t a, b;
  bool operator==(const RowKey& other) const { return a == other.a && b == other.b; }
};
struct RowKeyHash {
  size_t operator()(const RowKey& key) const { return static_cast<size_t>(key.a ^ key.b); }
};
RowKey KeyOf(std::string_view row) {
  uint64_t fnv = 14695981039346656037ull;
  for (unsigned char c : row) fnv = (fnv ^ c) * 1099511628211ull;
  return {std::hash<std::string_view>()(row), fnv};
}

// Compares as multisets; "" when equal, else the first differing row.
std::string CompareAsMultisets(Process& process, Session& session, ArchiveReader& reader,
                               const DataEntry& entry) {
  std::unordered_map<RowKey, int64_t, RowKeyHash> counts;
  {
    EntryRows archived(reader, entry);
    std::string_view row;
    while (archived.Next(&row)) ++counts[KeyOf(row)];
  }
  ExportRows(process, session, entry, [&](std::string_view row) { --counts[KeyOf(row)]; });
  bool differs = false;
  for (const auto& [key, count] : counts) differs = differs || count != 0;
  if (!differs) return "";
  // The first row, in archive order, that the restored table lacks; else
  // the first one it holds beyond the archive.
  EntryRows archived(reader, entry);
  std::string_view row;
  for (uint64_t number = 1; archived.Next(&row); ++number) {
    if (counts[KeyOf(row)] > 0) {
      return "row " + std::to_string(number) +
             " of the archive is not in the restored table: " + Shown(row);
    }
  }
  std::string found;
  ExportRows(process, session, entry, [&](std::string_view restored) {
    if (found.empty() && counts[KeyOf(restored)] < 0) found = Shown(restored);
  });
  return "the restored table holds a row that the archive does not: " + found;
}

}  // namespace

size_t TuplesStart(std::string_view line) {
  size_t at = 0;
  if (!SkipText(line, &at, "insert into ") || !SkipQuotedName(line, &at)) {
    return std::string_view::npos;
  }
  if (SkipText(line, &at, " (")) {
    do {
      if (!SkipQuotedName(line, &at)) return std::string_view::npos;
    } while (SkipText(line, &at, ","));
    if (!SkipText(line, &at, ")")) return std::string_view::npos;
  }
  return SkipText(line, &at, " values ") ? at : std::string_view::npos;
}

bool RowSplitter::NextTuple(std::string_view* row) {
  std::string_view line = line_;
  if (at_ >= line.size() || line[at_] != '(') return false;
  bool quoted = false;
  for (size_t i = at_ + 1; i < line.size(); ++i) {
    char c = line[i];
    if (quoted) {
      if (c == '\\') {
        ++i;
      } else if (c == '\'') {
        quoted = false;
      }
    } else if (c == '\'') {
      quoted = true;
    } else if (c == ')') {
      *row = line.substr(at_, i + 1 - at_);
      // The next tuple follows a comma; a semicolon ends the statement.
      at_ = i + 1 < line.size() && line[i + 1] == ',' ? i + 2 : std::string::npos;
      return true;
    }
  }
  return false;
}

bool RowSplitter::Next(std::string_view* row) {
  if (form_ == DataForm::kSql && at_ != std::string::npos) {
    if (NextTuple(row)) return true;
    // A line of another shape from here on: the rest is one row.
    *row = std::string_view(line_).substr(at_);
    at_ = std::string::npos;
    return true;
  }
  std::string_view line;
  for (;;) {
    if (!lines_.Next(&line)) return false;
    if (form_ == DataForm::kTabSeparated) {
      if (!header_done_) {
        header_done_ = true;
        continue;
      }
      *row = line;
      return true;
    }
    line_.assign(line);
    size_t start = TuplesStart(line_);
    if (start == std::string_view::npos) {
      *row = line_;
      return true;
    }
    at_ = start;
    if (NextTuple(row)) return true;
    *row = std::string_view(line_).substr(at_);
    at_ = std::string::npos;
    return true;
  }
}

std::vector<std::string> CompareContent(ArchiveReader& reader,
                                        const std::vector<DataEntry>& entries,
                                        const Connection& connection,
                                        const std::string& scratch_database,
                                        const std::string& zone) {
  std::unique_ptr<Env> env = NewDefaultEnv();
  Process process;
  process.env = env.get();
  process.DbName = scratch_database;
  Session session;
  session.connection = OpenExportConnection(connection.options(), scratch_database, zone);
  std::vector<std::string> differences;
  for (const DataEntry& entry : entries) {
    if (SameInOrder(process, session, reader, entry)) continue;
    std::string difference = CompareAsMultisets(process, session, reader, entry);
    if (!difference.empty()) differences.push_back("table " + entry.table + ": " + difference);
  }
  return differences;
}

}  // namespace vaultrun::restore
