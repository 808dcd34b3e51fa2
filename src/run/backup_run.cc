#include "run/backup_run.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "archive/check.h"
#include "archive/completeness_mark.h"
#include "archive/writer.h"
#include "config/registry.h"
#include "config/server_config.h"
#include "config/settings.h"
#include "core/failure.h"
#include "core/report.h"
#include "db/session.h"
#include "run/data_file.h"
#include "run/definitions.h"
#include "run/export_query.h"
#include "run/offsite.h"
#include "run/retention.h"
#include "run/run_lock.h"
#include "run/tab_separated_warning.h"

namespace vaultrun {
namespace {

// Exports one table: queries, data file (compressed into the archive entry
// as it is written), pack, deletion.
uint64_t ExportTable(Process& process, Session& session, RunRecordsets& sets, RunArchive& archive,
                     const std::string& table, const std::string& database_folder,
                     int32_t format_sql, const std::string& format_insert,
                     TabSeparatedLosses* losses) {
  Env* env = process.env;
  const std::string table_base_path = database_folder + env->Separator() + table;
  const std::string data_file = table_base_path + DataFileExtension(format_sql);

  DataQuery query = RunExportQuery(session, table, sets);

  if (!env->IsUsableFileName(table)) {
    throw Failure(kErrBadFileName, "data file for table " + table + ": not a valid file name");
  }
  // A pack that fails, from opening the archive on, still lets the data
  // file be written in full: it stays on disk and the failure is raised
  // after it.
  std::optional<Failure> pack_failure;
  try {
    archive.BeginEntry(process.DbName + "/" + table + DataFileExtension(format_sql),
                       std::numeric_limits<uint64_t>::max());
  } catch (const Failure& failure) {
    pack_failure = failure;
  }
  auto pack = [&archive, &pack_failure](std::unique_ptr<ByteBuffer>* block) {
    if (pack_failure) return;
    try {
      archive.WriteBlock(block);
    } catch (const Failure& failure) {
      pack_failure = failure;  // the archive is already back as it was
    }
  };
  uint64_t rows = 0;
  try {
    rows = WriteDataFile(process, table, table_base_path, sets, format_sql, format_insert, query,
                         pack, losses);
  } catch (...) {
    // A data file cut short must not be taken for a whole one, and the
    // archive goes back to what it held before this table.
    archive.AbortEntry();
    if (env->Exists(data_file)) env->DeleteFile(data_file);
    throw;
  }
  if (pack_failure) throw *pack_failure;
  // The pack. When it fails the complete data file stays on disk.
  archive.CommitEntry();
  ThrowIfError(env->DeleteFile(data_file));
  return rows;
}

// The table listing: base tables and sequences with their type; views hold
// no rows of their own (their rows are some table's, or computed) and are
// left out, so that one whose table was dropped cannot stop a run.
constexpr const char kTableListing[] = "show full tables";

bool IsView(const db::Recordset& list) {
  return list.GetFields().Count() > 1 && list.ValueAt(1).Text() == "VIEW";
}

// The tables that the run will export, in listing order: every table whose
// exclusion flag is not "1". Read from a listing of its own.
std::vector<std::string> TablesToExport(Process& process, Session& session) {
  std::unique_ptr<db::Recordset> list;
  RunQuery(session, kTableListing, list);
  std::vector<std::string> tables;
  for (; !list->Eof(); list->MoveNext()) {
    std::string table = list->GetFields().Item(0).GetValue().Text();
    if (IsView(*list)) continue;
    if (process.settings->ReadRegString(kHkeyLocalMachine, kProgramKey, table, "0") != "1") {
      tables.push_back(table);
    }
  }
  CloseRecordset(list);
  return tables;
}

// Warns (and goes on) when the backup folder's file system has less room
// than the database holds, as the server reports its size.
void WarnLowSpace(Process& process, Session& session) {
  std::unique_ptr<db::Recordset> size;
  RunQuery(session,
           "select sum(data_length + index_length) from information_schema.tables"
           " where table_schema = database()",
           size);
  uint64_t database_bytes = 0;
  if (!size->Eof() && !size->GetFields().Item(0).GetValue().IsNull()) {
    database_bytes = std::stoull(size->GetFields().Item(0).GetValue().Text());
  }
  CloseRecordset(size);
  uint64_t free_bytes = 0;
  ThrowIfError(process.env->FreeSpace(process.BackupFolder, &free_bytes));
  if (free_bytes < database_bytes) {
    WriteEventLogEntry(process,
                       "Vaultrun: low disk space: " + std::to_string(free_bytes >> 20) +
                           " MB free in " + process.BackupFolder + ", the database " +
                           process.DbName + " holds " + std::to_string(database_bytes >> 20) +
                           " MB",
                       kEventWarning);
  }
}

// Puts back every archive of the database folder that a killed run left
// in the middle of a pack, from the tail file kept beside it, so that no
// archive is left that a reader cannot open.
void RepairArchives(Env* env, const std::string& database_folder) {
  if (!env->FolderExists(database_folder)) return;
  std::vector<std::string> names;
  ThrowIfError(env->ListFolder(database_folder, &names));
  static const std::string kTail = ".zip.tail";
  for (const std::string& name : names) {
    if (name.size() > kTail.size() &&
        name.compare(name.size() - kTail.size(), kTail.size(), kTail) == 0) {
      std::string archive =
          database_folder + env->Separator() + name.substr(0, name.size() - (kTail.size() - 4));
      ThrowIfError(RepairArchive(env, archive));
    }
  }
}

// Writes the completeness mark, then reads the archive back along another
// path (CheckArchive): every entry's data against what the pack proved of it,
// and the mark as that reader finds it. An archive that fails the check is a
// failed run, and its mark is taken off again so that nothing takes it for a
// whole backup.
void MarkArchive(Env* env, const RunArchive& archive, const CompletenessMark& mark,
                 const std::string& table_entry_prefix, const std::string& extension) {
  const std::string& archive_path = archive.path();
  const std::string text = BuildCompletenessMark(mark);
  if (!ParseCompletenessMark(text)) {
    throw Failure(EINVAL, "mark " + archive_path + ": the completeness mark does not read back");
  }
  // The mark lists exactly the tables packed (and the archive must then hold
  // exactly the entries packed): every table it lists has one entry.
  std::unordered_set<std::string> expected{kDefinitionsEntry};
  for (const auto& [table, rows] : mark.tables)
    expected.insert(table_entry_prefix + table + extension);
  for (const PackedEntry& entry : archive.packed()) {
    if (expected.erase(entry.name) == 0) {
      throw Failure(EIO, "mark " + archive_path + ": entry " + entry.name +
                             " was packed, but the mark does not list it");
    }
  }
  expected.erase(kDefinitionsEntry);  // a run may have none
  if (!expected.empty()) {
    throw Failure(EIO, "mark " + archive_path + ": the mark lists " + *expected.begin() +
                           ", but no such entry was packed");
  }
  ThrowIfError(SetArchiveCommentChecked(env, archive_path, text, archive.packed()));
}

}  // namespace

void Main(Process& process, Session& session) {
  // Every setting is read once, before anything else: a bad one that must
  // stop the run stops it before any archive is written.
  const RunSettings settings = ReadRunSettings(process);
  LoadServerConfig(process, settings);

  Env* env = process.env;
  const auto started = std::chrono::steady_clock::now();
  RunRecordsets sets;
  const std::string database_folder = process.BackupFolder + process.DbName;
  // One run per database folder: held until the run ends, so that no other
  // run repairs, packs into or prunes this run's archives meanwhile.
  const std::unique_ptr<RunLock> run_lock =
      LockDatabaseFolder(env, database_folder, std::chrono::seconds(settings.run_lock_wait));
  RepairArchives(env, database_folder);
  OpenConnection(process, session);
  // Every table's rows come from one point in time: a consistent snapshot,
  // or, for tables of engines without transactions, read locks on every
  // exported table for the whole run.
  // TIMESTAMP values are written in UTC, so that each names one instant
  // (local text repeats in the hour when clocks go back); the mark says so.
  RunStatement(session, std::string("set time_zone = '") + kRunTimeZone + "'");
  // The definitions are read under the snapshot, or before the locks
  // (LOCK TABLES hides every object it does not lock).
  std::optional<std::string> definitions;
  if (settings.lock_tables) {
    if (settings.store_definitions) definitions = ReadDefinitionsEntry(process, session);
    std::vector<std::string> tables = TablesToExport(process, session);
    if (!tables.empty()) {
      std::string sql = "lock tables ";
      for (const std::string& table : tables) sql += QuoteName(table) + " read,";
      sql.pop_back();
      RunStatement(session, sql);
    }
  } else if (settings.consistent_snapshot) {
    RunStatement(session, "set session transaction isolation level repeatable read");
    RunStatement(session, "start transaction with consistent snapshot");
  }
  if (!settings.lock_tables && settings.store_definitions) {
    definitions = ReadDefinitionsEntry(process, session);
  }
  RunQuery(session, kTableListing, sets.TableList);
  const LocalTime run_time = env->Now();
  // A stamp already taken (an earlier run in the same second, or a clock
  // set back) gives way to the next free second: a run never packs into an
  // archive that another run has marked.
  LocalTime stamp_time = run_time;
  while (env->Exists(database_folder + env->Separator() + DateStamp(stamp_time) + ".zip") ||
         env->Exists(database_folder + env->Separator() + DateStamp(stamp_time) + ".zip.tail")) {
    stamp_time = NextSecond(stamp_time);
  }
  const std::string stamp = DateStamp(stamp_time);
  const std::string archive_path = database_folder + env->Separator() + stamp + ".zip";
  RunArchive archive(env, archive_path);
  if (settings.warn_low_space) WarnLowSpace(process, session);

  CompletenessMark mark{VAULTRUN_VERSION, stamp, process.DbName, {}, 0, kRunTimeZone};
  uint64_t total_rows = 0;
  TabSeparatedWarning form_warning;
  SettingsStore* store = process.settings;
  while (!sets.TableList->Eof()) {
    const std::string table = sets.TableList->GetFields().Item(0).GetValue().Text();
    if (!IsView(*sets.TableList) &&
        store->ReadRegString(kHkeyLocalMachine, kProgramKey, table, "0") != "1") {
      if (!env->Exists(database_folder)) {
        ThrowIfError(CreateFolderLevel(env, database_folder, 0700));
      }
      TabSeparatedLosses losses;
      uint64_t rows = ExportTable(process, session, sets, archive, table, database_folder,
                                  settings.format_sql, settings.format_insert, &losses);
      form_warning.Add(table, losses);
      mark.tables.emplace_back(table, rows);
      total_rows += rows;
      if (store->ReadRegString(kHkeyLocalMachine, kProgramKey, table, "").empty()) {
        store->WriteRegString(kHkeyLocalMachine, std::string(kProgramKey) + "\\", table, "0");
      }
    }
    sets.TableList->MoveNext();
  }

  if (const std::string warning = form_warning.Text(); !warning.empty()) {
    WriteEventLogEntry(process, warning, kEventWarning);
  }
  if (definitions && !mark.tables.empty()) PackDefinitions(archive, *definitions);

  // The normal end: the archive says that it is whole and is read back
  // whole by another reader, then old runs may go.
  if (!mark.tables.empty()) {
    MarkArchive(env, archive, mark, process.DbName + "/", DataFileExtension(settings.format_sql));
  }
  // Every complete archive the remote lacks goes there before anything is
  // pruned here; a copy that fails fails the run, which then prunes nothing.
  const OffsiteResult offsite = CopyOffsite(process, settings, database_folder, stamp + ".zip");
  // The metrics file's vaultrun_offsite_last_success_timestamp_seconds is
  // offsite.success_time (set only when every copy was confirmed).
  (void)offsite;
  if (settings.keep_runs >= 1 && env->FolderExists(database_folder)) {
    PruneResult pruned = PruneArchives(env, database_folder, settings.keep_runs, stamp + ".zip");
    if (!pruned.future.empty()) {
      WriteEventLogEntry(process,
                         "Vaultrun: keep_runs: no archive deleted, as " + database_folder +
                             env->Separator() + pruned.future +
                             " is stamped later than this run (" + stamp + ")",
                         kEventWarning);
    }
    for (const std::string& reason : pruned.not_deleted) {
      WriteEventLogEntry(process,
                         "Vaultrun: keep_runs: an old archive stays until the next run: " + reason,
                         kEventWarning);
    }
  }
  if (settings.log_success && !process.Failed) {
    uint64_t archive_bytes = 0;
    if (!mark.tables.empty()) ThrowIfError(env->FileSize(archive_path, &archive_bytes));
    auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started)
            .count();
    WriteEventLogEntry(process,
                       "Vaultrun: backup of " + process.DbName +
                           " complete: " + std::to_string(mark.tables.size()) + " tables, " +
                           std::to_string(total_rows) + " rows, archive " +
                           std::to_string(archive_bytes) + " bytes, " + std::to_string(seconds) +
                           " seconds",
                       kEventInformation);
  }
}

}  // namespace vaultrun
