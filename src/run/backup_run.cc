#include "run/backup_run.h"

#include <cstdint>
#include <exception>
#include <limits>

#include "app/report.h"
#include "config/registry.h"
#include "config/server_config.h"
#include "db/session.h"
#include "platform/failure.h"
#include "run/archive.h"
#include "run/data_file.h"
#include "run/export_query.h"

namespace vaultrun {
namespace {

// Exports one table: queries, data file (compressed into the archive entry
// as it is written), pack, deletion.
void ExportTable(Process& process, RunRecordsets& sets, RunArchive& archive,
                 const std::string& table, const std::string& database_folder, int32_t format_sql,
                 const std::string& format_insert) {
  Env* env = process.env;
  const std::string table_base_path = database_folder + env->Separator() + table;
  const std::string data_file = table_base_path + DataFileExtension(format_sql);

  std::vector<bool> aliased = RunExportQuery(process, table, sets);

  if (!IsUsableFileName(table)) {
    throw Failure(kErrBadFileName, "data file for table " + table + ": not a valid file name");
  }
  archive.BeginEntry(process.DbName + "/" + table + DataFileExtension(format_sql),
                     std::numeric_limits<uint64_t>::max());
  try {
    WriteDataFile(process, table, table_base_path, sets, format_sql, format_insert, aliased,
                  [&archive](const char* data, size_t size) { archive.Write(data, size); });
  } catch (...) {
    // A data file cut short must not be taken for a whole one, and the
    // archive goes back to what it held before this table.
    archive.AbortEntry();
    if (env->Exists(data_file)) env->DeleteFile(data_file);
    throw;
  }
  // The pack. When it fails the complete data file stays on disk.
  archive.CommitEntry();
  ThrowIfError(env->DeleteFile(data_file));
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

}  // namespace

void Main(Process& process) {
  LoadServerConfig(process);

  Env* env = process.env;
  SettingsStore* settings = process.settings;
  RunRecordsets sets;
  // The run-level handler: every failure below that no step handles itself
  // is reported once and ends the run through ShutDown.
  try {
    RepairArchives(env, process.BackupFolder + process.DbName);
    if (!OpenConnection(process)) {
      if (!process.SessionConnection) {
        throw Failure(kErrDatabase, "the database connection could not be created");
      }
      const db::Error& error = process.SessionConnection->GetErrors().Item(0);
      WriteEventLogEntry(process, "Vaultrun: " + error.Description, kEventError);
      ShutDown(process, sets.TableResult, sets.TableList);
    }
    if (!RunQuery(process, "show tables", sets.TableList)) {
      WriteEventLogEntry(process, "Vaultrun: " + process.LastErrorDescription, kEventError);
      ShutDown(process, sets.TableResult, sets.TableList);
    }
    const LocalTime run_time = env->Now();
    const int32_t format_sql = FormatSqlNumber(
        settings->ReadRegString(kHkeyLocalMachine, kSettingsKey, "format_sql", "0"));
    const std::string format_insert =
        settings->ReadRegString(kHkeyLocalMachine, kSettingsKey, "format_insert", "0");
    const std::string database_folder = process.BackupFolder + process.DbName;
    RunArchive archive(env, database_folder + env->Separator() + DateStamp(run_time) + ".zip");

    while (!sets.TableList->Eof()) {
      const std::string table = sets.TableList->GetFields().Item(0).GetValue().Text();
      if (settings->ReadRegString(kHkeyLocalMachine, kProgramKey, table, "0") != "1") {
        if (!env->Exists(database_folder)) {
          ThrowIfError(CreateFolderLevel(env, database_folder, 0700));
        }
        ExportTable(process, sets, archive, table, database_folder, format_sql, format_insert);
        if (settings->ReadRegString(kHkeyLocalMachine, kProgramKey, table, "").empty()) {
          settings->WriteRegString(kHkeyLocalMachine, std::string(kProgramKey) + "\\", table, "0");
        }
      }
      sets.TableList->MoveNext();
    }
  } catch (const Failure& failure) {
    WriteEventLogEntry(process, "Vaultrun: " + failure.description(), kEventError);
    ShutDown(process, sets.TableResult, sets.TableList);
  } catch (const std::exception& failure) {
    WriteEventLogEntry(process, std::string("Vaultrun: ") + failure.what(), kEventError);
    ShutDown(process, sets.TableResult, sets.TableList);
  }
  try {
    ShutDown(process, sets.TableResult, sets.TableList);
  } catch (const Failure& failure) {
    // A failure while closing at the normal end reaches the run-level
    // handler, which reports it and shuts down again.
    WriteEventLogEntry(process, "Vaultrun: " + failure.description(), kEventError);
    ShutDown(process, sets.TableResult, sets.TableList);
  }
}

}  // namespace vaultrun
