// Verifying an archive: restored into a scratch database, counted against
// its mark, and every row compared with what vaultrun's export writes of it.
#include <algorithm>
#include <map>
#include <set>

#include "core/failure.h"
#include "core/printable.h"
#include "restore/load.h"
#include "restore/restore.h"
#include "restore/restore_session.h"
#include "restore/verify_content.h"

namespace vaultrun::restore {

VerifyResult Verify(const VerifyRequest& request, Connection& connection, const Console& console) {
  ArchiveReader reader(request.archive);
  const ArchiveTrust trust(reader, request.trust);
  std::optional<CompletenessMark> mark = ParseCompletenessMark(reader.comment());
  VerifyResult result;
  if (!mark) {
    result.verdict = "NOT A COMPLETE BACKUP: " + EscapeControl(request.archive) +
                     " carries no completeness mark: the run that wrote it failed or was cut "
                     "off, or another program wrote it";
    return result;
  }
  std::string source = request.source_database.empty() ? mark->database : request.source_database;
  std::string scratch = QuoteIdentifier(request.scratch_database);
  // With definitions in the archive the scratch copy needs no live database;
  // its events never fire there.
  SchemaBuilder schema(
      reader, connection, request.scratch_database, SchemaOptions{request.definer, true},
      console.err,
      [&trust](const std::string& digest) { return trust.DefinitionsRefusal(digest); });
  // The same rules as a restore: the scratch copy is made from definitions
  // that may run, or its rows go into the live schema's copy only when they
  // are authenticated or the user says so.
  if (schema.has_definitions()) {
    schema.RequireAllowed();
  } else {
    trust.RequireRowsAllowed("a copy of database " + source);
  }
  trust.Notice(console.err);
  const std::vector<DataEntry> row_entries = RowEntries(reader.entries(), schema);
  // Every table's count: the manifest's, else the mark's list.
  std::vector<std::pair<std::string, uint64_t>> expected = mark->tables;
  uint64_t more_tables = mark->more_tables;
  if (trust.has_manifest()) {
    const RowCounts counts = trust.Counts();
    expected.assign(counts.begin(), counts.end());
    more_tables = 0;
  }
  expected.erase(
      std::remove_if(expected.begin(), expected.end(),
                     [&](const auto& table) { return schema.IsDefinedView(table.first); }),
      expected.end());
  try {
    schema.RequireDefiners();
  } catch (const Failure& failure) {
    result.verdict =
        "FAILED: the archive does not restore: " + EscapeControl(failure.description());
    return result;
  }
  if (schema.has_definitions()) {
    schema.CreateDatabase();
    schema.Keep();  // the dropper below drops it
  } else {
    connection.Exec("CREATE DATABASE " + scratch);
  }

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
      connection.Exec(
          "CREATE TABLE " + scratch + "." + QuoteIdentifier(entry.table) + " LIKE " +
              QuoteIdentifier(source) + "." + QuoteIdentifier(entry.table),
          "cannot copy the definition of table " + entry.table + " from database " + source);
    }
    UseDatabase(connection, request.scratch_database);
    if (schema.has_definitions()) {
      schema.CreateSequences();
      schema.CreateTables(schema.Tables(), false);
    }
    CheckLocalInfile(connection, entries);
    SetSessionTimeZone(connection, zone);
    RestoreEntries(reader, entries, connection, console);
    // The whole schema, as a restore makes it: it fails where a restore would.
    if (schema.has_definitions()) schema.CreateObjects();
    for (const DataEntry& entry : entries) {
      counted[entry.table] =
          std::stoull(connection.QueryOne("SELECT COUNT(*) FROM " + QuoteIdentifier(entry.table)));
    }
    content_differences =
        CompareContent(reader, entries, connection, request.scratch_database, zone);
  } catch (const Failure& failure) {
    result.verdict =
        "FAILED: the archive does not restore: " + EscapeControl(failure.description());
    return result;
  }

  uint64_t rows = 0;
  std::set<std::string> listed;
  for (const auto& [table, count] : expected) {
    listed.insert(table);
    if (std::find(views.begin(), views.end(), table) != views.end()) continue;
    auto found = counted.find(table);
    if (found == counted.end()) {
      differences.push_back("table " + EscapeControl(table) + ": in the mark (" +
                            std::to_string(count) + " rows) but not in the archive");
    } else if (found->second != count) {
      differences.push_back("table " + EscapeControl(table) + ": the mark says " +
                            std::to_string(count) + " rows, the archive restores " +
                            std::to_string(found->second));
    } else {
      rows += count;
    }
  }
  uint64_t unlisted = 0;
  for (const auto& [table, count] : counted) {
    if (listed.count(table) > 0) continue;
    ++unlisted;
    rows += count;
    if (more_tables == 0) {
      differences.push_back("table " + EscapeControl(table) +
                            ": in the archive but not in the mark");
    }
  }
  if (more_tables > 0 && unlisted != more_tables) {
    differences.push_back("the mark counts " + std::to_string(more_tables) +
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
  if (!views.empty()) {
    result.verdict += " (views left out: " + EscapeControl(JoinNames(views)) + ")";
  }
  if (more_tables > 0) {
    result.verdict += " (" + std::to_string(more_tables) +
                      " tables beyond the mark's list restored, their counts unchecked)";
  }
  if (!trust.authenticated()) {
    result.verdict += "\nNOT AUTHENTICATED: " + trust.WhyNot() +
                      "; its rows were verified as they are, with no proof of where they come from";
  }
  return result;
}

}  // namespace vaultrun::restore
