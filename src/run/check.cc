#include "run/check.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/summary.h"
#include "config/backup_folder.h"
#include "config/registry.h"
#include "config/server_config.h"
#include "config/settings.h"
#include "core/failure.h"
#include "core/process.h"
#include "db/session.h"
#include "platform/path_rules.h"
#include "platform/terminal.h"
#include "run/definitions.h"
#include "run/export_query.h"

namespace vaultrun {
namespace {

// Keeps the entries that a run would write, for the report.
class CollectedLog : public EventLog {
 public:
  void Write(const std::string& text, std::optional<int> type) override {
    entries.push_back({text, type});
  }
  struct Entry {
    std::string text;
    std::optional<int> type;
  };
  std::vector<Entry> entries;
};

// An entry's text without the "Vaultrun: " that the event log needs.
std::string WithoutPrefix(std::string text) {
  if (text.rfind("Vaultrun: ", 0) == 0) text.erase(0, 10);
  return text;
}

class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}
  void Ok(const std::string& text) { Line("ok", text); }
  void Warn(const std::string& text) { Line("warning", text); }
  void Problem(const std::string& text) {
    ++problems_;
    Line("PROBLEM", text);
  }
  void Text(const std::string& text) { out_ << text << "\n"; }
  // The entries a run would have written: failures are problems.
  void Entries(CollectedLog& log) {
    for (const CollectedLog::Entry& entry : log.entries) {
      const std::string text = WithoutPrefix(entry.text);
      if (!entry.type || *entry.type == kEventError) {
        Problem(text);
      } else if (*entry.type == kEventWarning) {
        Warn(text);
      }
    }
    log.entries.clear();
  }
  int problems() const { return problems_; }

 private:
  void Line(const char* status, const std::string& text) {
    char head[16];
    std::snprintf(head, sizeof head, "%-9s", status);
    out_ << head << text << "\n";
  }
  std::ostream& out_;
  int problems_ = 0;
};

// A size as people read it: "512 bytes", "16.0 KB", "1.2 MB", "48.2 GB".
std::string Size(uint64_t bytes) {
  const char* units[] = {"bytes", "KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(units)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
  return text;
}

using Row = std::vector<std::optional<std::string>>;

// Every row of a query's result (none for a statement without one).
std::vector<Row> Rows(Session& session, const std::string& sql) {
  std::unique_ptr<db::Recordset> result;
  RunQuery(session, sql, result);
  std::vector<Row> rows;
  if (result->State() == db::adStateClosed) return rows;
  for (; !result->Eof(); result->MoveNext()) {
    Row& row = rows.emplace_back();
    for (int i = 0; i < result->GetFields().Count(); ++i) {
      db::Value value = result->ValueAt(i);
      row.push_back(value.IsNull() ? std::nullopt : std::optional<std::string>(value.Text()));
    }
  }
  CloseRecordset(result);
  return rows;
}

std::string Cell(const Row& row, size_t index) {
  return index < row.size() ? row[index].value_or("") : "";
}

struct Table {
  std::string name;
  std::string type;  // "BASE TABLE", "VIEW", "SEQUENCE"
  std::string flag;  // the exclusion flag as stored, "" when none
  uint64_t bytes = 0;
  bool exported() const { return type != "VIEW" && flag != "1"; }
};

std::vector<Table> ListTables(Process& process, Session& session) {
  std::vector<Table> tables;
  for (const Row& row : Rows(session, "show full tables")) {
    tables.push_back({Cell(row, 0), Cell(row, 1), ""});
    tables.back().flag = ReadRegString(process, kProgramKey, tables.back().name, "");
  }
  for (const Row& row : Rows(session,
                             "select table_name, coalesce(data_length, 0) from "
                             "information_schema.tables where table_schema = database()")) {
    for (Table& table : tables) {
      if (table.name == Cell(row, 0)) table.bytes = std::stoull("0" + Cell(row, 1));
    }
  }
  return tables;
}

// The account may read every table that a run exports.
void CheckSelect(Session& session, const std::vector<Table>& tables, Report& report) {
  size_t readable = 0;
  for (const Table& table : tables) {
    if (!table.exported()) continue;
    try {
      Rows(session, "select * from " + QuoteName(table.name) + " limit 0");
      ++readable;
    } catch (const Failure& failure) {
      report.Problem("table " + table.name + " cannot be read: " + failure.description());
    }
  }
  if (readable > 0) {
    report.Ok("SELECT on every table to back up (" + std::to_string(readable) + ")");
  }
}

// LOCK TABLES, taken on one table and let go at once; a table that another
// session holds is waited for only briefly.
void CheckLockTables(Session& session, const std::vector<Table>& tables, Report& report) {
  auto first = std::find_if(tables.begin(), tables.end(),
                            [](const Table& table) { return table.exported(); });
  if (first == tables.end()) return;
  try {
    Rows(session, "set session lock_wait_timeout = 10");
    Rows(session, "lock tables " + QuoteName(first->name) + " read");
    Rows(session, "unlock tables");
    report.Ok("LOCK TABLES (lock_tables is on)");
  } catch (const Failure& failure) {
    if (failure.number() == 1205) {
      report.Warn(
          "LOCK TABLES: " + first->name +
          " is held by another session (a run would wait for it): " + failure.description());
    } else {
      report.Problem("LOCK TABLES, which lock_tables needs: " + failure.description());
    }
  }
}

// What the run's definitions entry would leave out, and the privilege that
// would include it.
void CheckDefinitions(const Process& process, Session& session, Report& report) {
  Definitions definitions = ReadDefinitions(process, session);
  for (const DefinitionRecord& left_out : definitions.left_out) {
    report.Problem("the definitions would leave out " + left_out.name + ": grant " + left_out.text +
                   " to the backup account");
  }
  if (definitions.left_out.empty()) {
    report.Ok("every definition readable (" + std::to_string(definitions.objects.size()) +
              " objects)");
  }
}

// The nearest folder of path (ending in the separator) that exists; a level
// that exists but is no folder is a problem.
std::optional<std::string> ExistingLevel(Env* env, const std::string& path, Report& report) {
  const char sep = env->Separator();
  std::string level = path;
  const size_t root = PathRootLength(path, sep);
  while (level.size() > std::max<size_t>(root, 1)) {
    std::string bare = level.back() == sep ? level.substr(0, level.size() - 1) : level;
    if (env->FolderExists(bare)) return bare;
    if (env->Exists(bare)) {
      report.Problem("backup folder " + path + ": " + bare + " is not a folder");
      return std::nullopt;
    }
    level = bare.substr(0, bare.find_last_of(sep) + 1);
  }
  if (!level.empty() && env->FolderExists(level)) return level;
  report.Problem("backup folder " + path + ": " + (level.empty() ? path : level) +
                 " does not exist");
  return std::nullopt;
}

// The folder takes a file: one is made and removed again, as only that
// tells what the file system, the permissions and any quota allow.
std::optional<std::string> CheckFolder(Env* env, const std::string& database_folder,
                                       Report& report) {
  const std::string path = database_folder + env->Separator();
  std::optional<std::string> existing = ExistingLevel(env, path, report);
  if (!existing) return std::nullopt;
  std::string probe = *existing;
  if (probe.back() != env->Separator()) probe += env->Separator();
  probe += ".vaultrun-check-" + std::to_string(CurrentProcessId());
  std::unique_ptr<File> file;
  Status s = env->OpenFile(probe, OpenMode::kWriteNew, 0600, &file);
  if (s.ok()) s = file->Close();
  if (file != nullptr) (void)env->DeleteFile(probe);
  if (!s.ok()) {
    report.Problem("backup folder " + path + " cannot be written: " + s.description());
    return std::nullopt;
  }
  report.Ok("backup folder " + path +
            (env->FolderExists(database_folder)
                 ? ": writable"
                 : ": the first run creates it (" + *existing + " is writable)"));
  return existing;
}

// Room for the largest table's data file beside the archive, taking the
// archive at the tables' size (rows that do not compress).
void CheckSpace(Env* env, const std::string& folder, const std::vector<Table>& tables,
                Report& report) {
  uint64_t largest = 0, total = 0;
  for (const Table& table : tables) {
    if (!table.exported()) continue;
    largest = std::max(largest, table.bytes);
    total += table.bytes;
  }
  uint64_t free_bytes = 0;
  Status s = env->FreeSpace(folder, &free_bytes);
  if (!s.ok()) {
    report.Problem("free space of " + folder + ": " + s.description());
    return;
  }
  const std::string need = "a run needs up to " + Size(largest + total) +
                           " (the largest table's data file " + Size(largest) +
                           " beside the archive, up to " + Size(total) + ")";
  if (free_bytes < largest + total) {
    report.Problem("free space: " + Size(free_bytes) + " in " + folder + "; " + need);
  } else {
    report.Ok("free space: " + Size(free_bytes) + "; " + need);
  }
}

void ListTablesAndFlags(const std::string& database, const std::vector<Table>& tables,
                        Report& report) {
  size_t exported = 0, excluded = 0;
  size_t width = 0;
  for (const Table& table : tables) {
    exported += table.exported();
    excluded += table.type != "VIEW" && table.flag == "1";
    width = std::max(width, table.name.size());
  }
  report.Text("tables of " + database + ": " + std::to_string(tables.size()) + " (" +
              std::to_string(exported) + " backed up, " + std::to_string(excluded) +
              " excluded by their flag)");
  for (const Table& table : tables) {
    std::string line = "  " + table.name + std::string(width + 2 - table.name.size(), ' ');
    if (table.type == "VIEW") {
      line += "view: not backed up (its rows are its tables')";
    } else if (table.flag == "1") {
      line += "excluded (flag 1)";
    } else if (table.flag.empty()) {
      line += "backed up (no flag yet: the next run sets 0)";
    } else {
      line += "backed up (flag " + table.flag + ")";
    }
    if (table.type == "SEQUENCE") line += ", a sequence";
    report.Text(line);
  }
}

void DescribeArchives(Env* env, const std::string& database_folder, Report& report) {
  std::vector<std::string> names;
  if (!env->FolderExists(database_folder) || !StampedArchives(env, database_folder, &names).ok() ||
      names.empty()) {
    report.Text("archives: none yet");
    return;
  }
  std::string newest = "none";
  for (const std::string& name : names) {
    ArchiveSummary summary =
        SummarizeArchive(env, database_folder + env->Separator() + name, false, nullptr);
    if (summary.state == ArchiveState::kComplete) {
      newest = name;
      break;
    }
  }
  report.Text("archives: " + std::to_string(names.size()) + " in " + database_folder +
              ", the newest complete one: " + newest);
}

// Everything that needs the connection.
void CheckDatabase(Process& process, const RunSettings& settings, Report& report,
                   const std::optional<std::string>& folder) {
  Session session;
  try {
    OpenConnection(process, session, static_cast<unsigned>(settings.connect_timeout),
                   static_cast<unsigned>(settings.net_timeout));
  } catch (const Failure& failure) {
    report.Problem("cannot connect: " + failure.description());
    return;
  }
  try {
    std::vector<Row> version = Rows(session, "select version()");
    report.Ok("connected to " + process.DbServer + " (server " +
              (version.empty() ? "" : Cell(version[0], 0)) + ") as " + process.DbUser);
    const std::vector<Table> tables = ListTables(process, session);
    CheckSelect(session, tables, report);
    if (settings.lock_tables) CheckLockTables(session, tables, report);
    if (settings.store_definitions) CheckDefinitions(process, session, report);
    if (folder) CheckSpace(process.env, *folder, tables, report);
    ListTablesAndFlags(process.DbName, tables, report);
  } catch (const Failure& failure) {
    report.Problem(failure.description());
  }
  CloseConnection(session);
}

}  // namespace

bool CheckSetup(Env* env, SettingsStore* settings, std::ostream& out) {
  ReadOnlySettingsStore read_only(settings);
  CollectedLog log;
  Process process;
  process.env = env;
  process.settings = &read_only;
  process.event_log = &log;
  Report report(out);
  report.Text(std::string("vaultrun ") + VAULTRUN_VERSION +
              " --check: what a run would do, without backing up or writing anything");

  RunSettings run_settings;
  try {
    run_settings = ReadRunSettings(process);
    report.Entries(log);
    report.Ok("settings read (connect_timeout " + std::to_string(run_settings.connect_timeout) +
              " s, net_timeout " + std::to_string(run_settings.net_timeout) + " s)");
    ReadServerConfig(process, run_settings);
    report.Ok("configuration " + ServerConfigPath(process, run_settings) + ": database " +
              process.DbName + " on " + process.DbServer + " as " + process.DbUser);
  } catch (const Failure& failure) {
    report.Entries(log);
    report.Problem(WithoutPrefix(failure.EntryText()));
    report.Text("result: a run would fail at once");
    return false;
  }

  // Without the run's seeding: the default stands in for an unset folder.
  process.BackupFolder = GetBackupFolder(process, process.DbName);
  const std::string database_folder = process.BackupFolder + process.DbName;
  std::optional<std::string> folder;
  const std::string root =
      process.BackupFolder.substr(0, PathRootLength(process.BackupFolder, env->Separator()));
  if (root.find(':') != std::string::npos && !env->FolderExists(root)) {
    report.Problem("backup folder " + process.BackupFolder + ": Invalid drive -> " + root);
  } else {
    folder = CheckFolder(env, database_folder, report);
  }
  CheckDatabase(process, run_settings, report, folder);
  report.Entries(log);
  DescribeArchives(env, database_folder, report);

  if (report.problems() == 0) {
    report.Text("result: OK");
    return true;
  }
  report.Text("result: " + std::to_string(report.problems()) +
              (report.problems() == 1 ? " problem" : " problems") +
              ": a run would fail or leave something out");
  return false;
}

}  // namespace vaultrun
