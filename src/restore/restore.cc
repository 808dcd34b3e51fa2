#include "restore/restore.h"

#include <algorithm>
#include <optional>
#include <set>

#include "archive/completeness_mark.h"
#include "archive/reader.h"
#include "archive/summary.h"
#include "core/failure.h"
#include "core/printable.h"
#include "restore/definitions.h"
#include "restore/load.h"
#include "restore/restore_session.h"

namespace vaultrun::restore {
namespace {

// The database does not exist: it is made from the archive's definitions,
// and dropped again when anything fails before the end.
RestoreSummary RestoreIntoNewDatabase(ArchiveReader& reader, const std::vector<DataEntry>& entries,
                                      SchemaBuilder& schema, Connection& connection,
                                      const std::string& database, const Console& console,
                                      const ArchiveTrust& trust) {
  schema.RequireAllowed();
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
  trust.Notice(console.err);
  schema.RequireDefiners();
  schema.Check();
  if (console.err != nullptr) {
    *console.err << "database " << EscapeControl(database)
                 << " does not exist: creating it from the archive's definitions\n";
  }
  schema.CreateDatabase();
  UseDatabase(connection, database);
  schema.CreateSequences();
  schema.CreateTables(schema.Tables(), false);
  SetSessionTimeZone(connection, ArchiveTimeZone(reader));
  RestoreSummary summary;
  const RowCounts counts = trust.Counts();
  summary.tables = RestoreEntries(reader, entries, connection, console, &counts);
  for (const auto& [table, rows] : summary.tables) summary.rows += rows;
  summary.authenticated = trust.authenticated();
  schema.CreateObjects();
  schema.Keep();
  return summary;
}

// The INSERT triggers of database on the tables of entries, which would fire
// on every row restored: "name (on table)".
std::vector<std::string> InsertTriggers(Connection& connection, const std::string& database,
                                        const std::vector<DataEntry>& entries) {
  std::set<std::string> tables;
  for (const DataEntry& entry : entries) tables.insert(entry.table);
  std::vector<std::string> triggers;
  for (const Connection::Row& row : connection.Query(
           "SELECT trigger_name, event_object_table FROM information_schema.triggers WHERE "
           "event_object_schema = " +
           connection.Literal(database) +
           " AND event_manipulation = 'INSERT' ORDER BY event_object_table, action_order")) {
    const std::string table = row[1].value_or("");
    if (tables.count(table) > 0) triggers.push_back(row[0].value_or("") + " (on " + table + ")");
  }
  return triggers;
}

// The archive's definitions run in a scratch database before the first
// write, as a new database would get them. When the restoring account
// cannot make that check and the restore makes nothing from them, it goes
// on without them and says so.
void CheckDefinitions(SchemaBuilder& schema, bool needed, const Console& console) {
  // Definitions the archive's origin does not let run are not run here
  // either (a table they would make was refused before).
  if (!schema.has_definitions() || !schema.allowed()) return;
  schema.RequireDefiners();
  try {
    schema.Check();
  } catch (const Failure& failure) {
    if (needed || failure.number() != kErrNoLimitedAccount) throw;
    if (console.err != nullptr) {
      *console.err << "warning: the archive's definitions are not checked ("
                   << EscapeControl(failure.description())
                   << "); this restore makes nothing from them\n";
    }
  }
}

}  // namespace

RestoreSummary Restore(const RestoreRequest& request, Connection& connection,
                       const Console& console) {
  ArchiveReader reader(request.archive);
  // Where the archive comes from, before anything else is looked at.
  const ArchiveTrust trust(reader, request.trust);
  // A run that failed or was cut off may have left tables or rows out; only
  // the user's word restores such an archive.
  const std::string incomplete = CompletenessProblem(reader);
  if (!incomplete.empty() && !request.allow_incomplete) {
    throw Failure(kErrRestore, request.archive + " is not a complete backup: " + incomplete +
                                   ", so tables or rows may be missing; nothing was written "
                                   "(vaultrun-restore --list shows each archive's state; "
                                   "--allow-incomplete restores what it holds)");
  }
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
  SchemaBuilder schema(
      reader, connection, request.database, SchemaOptions{request.definer, false}, console.err,
      [&trust](const std::string& digest) { return trust.DefinitionsRefusal(digest); });
  chosen = RowEntries(chosen, schema);
  if (!DatabaseExists(connection, request.database)) {
    if (schema.has_definitions()) {
      return RestoreIntoNewDatabase(reader, chosen, schema, connection, request.database, console,
                                    trust);
    }
    // A run stores its definitions last: a cut-off archive holds none.
    throw Failure(kErrRestore,
                  "database " + request.database +
                      " does not exist, and the archive holds no definitions to make it from (" +
                      (incomplete.empty() ? "it was made without them"
                                          : "its run did not get as far as storing them") +
                      "): create the database and its tables first, e.g. from the game "
                      "server's schema; nothing was written");
  }
  // Rows that are not authenticated go into an existing schema only when
  // the user says so.
  trust.RequireRowsAllowed("database " + request.database);
  UseDatabase(connection, request.database);
  // Views and sequences: a view's rows belong to its tables and are never
  // inserted again; a sequence always holds its one row, which the
  // archive's row replaces.
  std::vector<std::string> views;
  chosen = WithoutViews(chosen, TablesOfType(connection, request.database, "VIEW"), &views);
  if (!views.empty() && console.err != nullptr) {
    *console.err << "warning: skipped, views in database " << EscapeControl(request.database)
                 << " (their rows are their tables'): " << EscapeControl(JoinNames(views)) << "\n";
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
  if (request.tables.empty() && schema.allowed()) {
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
  if (!missing.empty() && !schema.allowed()) {
    throw Failure(kErrRestore, "no such table in database " + request.database + ": " +
                                   JoinNames(missing) + "; " + schema.refusal());
  }
  if (!holding_rows.empty() && !request.force) {
    throw Failure(kErrRestore, "tables of database " + request.database +
                                   " already hold rows: " + JoinNames(holding_rows) +
                                   " (empty them, or give --force to add the archive's rows to "
                                   "them); nothing was written");
  }
  const std::vector<std::string> triggers = InsertTriggers(connection, request.database, chosen);
  if (!triggers.empty() && !request.allow_triggers) {
    throw Failure(
        kErrRestore,
        "tables of database " + request.database +
            " have triggers that fire on every row a restore inserts: " + JoinNames(triggers) +
            " (drop them first and make them again after, or give --allow-triggers "
            "to restore with them firing); nothing was written");
  }
  // A whole archive has every definition checked; chosen tables only those
  // of the tables made (each through the limited account as it is made).
  if (request.tables.empty()) CheckDefinitions(schema, !missing.empty(), console);
  CheckLocalInfile(connection, chosen);
  if (!missing.empty()) schema.CreateTables(missing, true);
  SetSessionTimeZone(connection, ArchiveTimeZone(reader));
  trust.Notice(console.err);

  RestoreSummary summary;
  const RowCounts counts = trust.Counts();
  summary.tables = RestoreEntries(reader, chosen, connection, console, &counts);
  for (const auto& [table, rows] : summary.tables) summary.rows += rows;
  summary.authenticated = trust.authenticated();
  if (!triggers.empty() && console.err != nullptr) {
    *console.err << "triggers fired on the restored rows (--allow-triggers): "
                 << EscapeControl(JoinNames(triggers)) << "\n";
  }
  return summary;
}

}  // namespace vaultrun::restore
