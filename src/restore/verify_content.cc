#include "restore/verify_content.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <unordered_map>

#include "core/failure.h"
#include "core/printable.h"
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

// Exports table again, in the entry's form, handing each row to sink; the
// FLOAT columns' flags go to *floats before the first row.
void ExportRows(Process& process, Session& session, const DataEntry& entry, const RowSink& sink,
                std::vector<bool>* floats = nullptr) {
  RunRecordsets sets;
  DataQuery query = RunExportQuery(session, entry.table, sets);
  if (floats != nullptr) *floats = query.single_precision;
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
  if (row.size() <= kShownRow) return EscapeControl(row);
  return EscapeControl(row.substr(0, kShownRow)) + "... (" + std::to_string(row.size()) + " bytes)";
}

bool AnyOf(const std::vector<bool>& flags) {
  return std::find(flags.begin(), flags.end(), true) != flags.end();
}

// A row as it is compared: its FLOAT values by value.
std::string Compared(std::string_view row, DataForm form, const std::vector<bool>& floats) {
  return AnyOf(floats) ? FloatsByValue(row, form, floats) : std::string(row);
}

// True when the export gives the entry's rows in the same order, byte for
// byte (FLOAT values by value); *floats gets the FLOAT columns' flags.
bool SameInOrder(Process& process, Session& session, ArchiveReader& reader, const DataEntry& entry,
                 std::vector<bool>* floats) {
  EntryRows archived(reader, entry);
  bool same = true;
  ExportRows(
      process, session, entry,
      [&](std::string_view row) {
        std::string_view expected;
        if (!same || !archived.Next(&expected)) {
          same = false;
        } else if (expected != row) {
          same = AnyOf(*floats) &&
                 Compared(expected, entry.form, *floats) == Compared(row, entry.form, *floats);
        }
      },
      floats);
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
                               const DataEntry& entry, const std::vector<bool>& floats) {
  auto key = [&](std::string_view row) { return KeyOf(Compared(row, entry.form, floats)); };
  std::unordered_map<RowKey, int64_t, RowKeyHash> counts;
  {
    EntryRows archived(reader, entry);
    std::string_view row;
    while (archived.Next(&row)) ++counts[key(row)];
  }
  ExportRows(process, session, entry, [&](std::string_view row) { --counts[key(row)]; });
  bool differs = false;
  for (const auto& [row_key, count] : counts) differs = differs || count != 0;
  if (!differs) return "";
  // The first row, in archive order, that the restored table lacks; else
  // the first one it holds beyond the archive.
  EntryRows archived(reader, entry);
  std::string_view row;
  for (uint64_t number = 1; archived.Next(&row); ++number) {
    if (counts[key(row)] > 0) {
      return "row " + std::to_string(number) +
             " of the archive is not in the restored table: " + Shown(row);
    }
  }
  std::string found;
  ExportRows(process, session, entry, [&](std::string_view restored) {
    if (found.empty() && counts[key(restored)] < 0) found = Shown(restored);
  });
  return "the restored table holds a row that the archive does not: " + found;
}

}  // namespace

std::string FloatsByValue(std::string_view row, DataForm form, const std::vector<bool>& floats) {
  // The fields and what stands between them: a tuple's commas (outside
  // quoted text) and parentheses, or the tabs of the tab-separated form.
  const bool sql = form == DataForm::kSql;
  if (sql && (row.size() < 2 || row.front() != '(' || row.back() != ')')) return std::string(row);
  std::string out = sql ? "(" : "";
  std::string_view rest = sql ? row.substr(1, row.size() - 2) : row;
  const char separator = sql ? ',' : '\t';
  for (size_t field = 0;; ++field) {
    size_t end = 0;
    bool quoted = false;
    for (; end < rest.size(); ++end) {
      const char c = rest[end];
      if (quoted && c == '\\') {
        ++end;
      } else if (sql && c == '\'') {
        quoted = !quoted;
      } else if (!quoted && c == separator) {
        break;
      }
    }
    end = std::min(end, rest.size());
    std::string_view text = rest.substr(0, end);
    double value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (field < floats.size() && floats[field] && !text.empty() && ec == std::errc() &&
        ptr == text.data() + text.size()) {
      // As the server stores a FLOAT from text: read as a double, rounded
      // to the nearest float.
      const float single = static_cast<float>(value);
      uint32_t bits = 0;
      std::memcpy(&bits, &single, sizeof bits);
      char hex[24];
      std::snprintf(hex, sizeof hex, "<float %08x>", bits);
      out += hex;
    } else {
      out.append(text);
    }
    if (end >= rest.size()) break;
    out += separator;
    rest.remove_prefix(end + 1);
  }
  if (sql) out += ')';
  return out;
}

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
    std::vector<bool> floats;
    if (SameInOrder(process, session, reader, entry, &floats)) continue;
    std::string difference = CompareAsMultisets(process, session, reader, entry, floats);
    if (!difference.empty()) {
      differences.push_back("table " + EscapeControl(entry.table) + ": " + difference);
    }
  }
  return differences;
}

}  // namespace vaultrun::restore
