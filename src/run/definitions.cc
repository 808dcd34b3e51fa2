#include "run/definitions.h"

#include <memory>
#include <set>

#include "archive/writer.h"
#include "core/failure.h"
#include "core/report.h"
#include "db/session.h"
#include "run/export_query.h"

namespace vaultrun {
namespace {

// Server error codes that mean "the account may not read this".
bool IsPrivilegeError(int number) {
  return number == 1044 || number == 1142 || number == 1143 || number == 1227 || number == 1370;
}

using Row = std::vector<std::optional<std::string>>;

// Every row of sql's result. Raises a Failure whose number is the server's
// error code.
std::vector<Row> Query(Session& session, const std::string& sql) {
  std::unique_ptr<db::Recordset> result;
  RunQuery(session, sql, result);
  std::vector<Row> rows;
  for (; !result->Eof(); result->MoveNext()) {
    Row row;
    const db::Fields& fields = result->GetFields();
    for (int i = 0; i < fields.Count(); ++i) {
      db::Value value = fields.Item(i).GetValue();
      row.push_back(value.IsNull() ? std::nullopt : std::optional<std::string>(value.Text()));
    }
    rows.push_back(std::move(row));
  }
  result->Close();
  return rows;
}

// Query that returns nothing (instead of raising) when the account may
// not read what sql asks for.
std::optional<std::vector<Row>> QueryIfAllowed(Session& session, const std::string& sql) {
  try {
    return Query(session, sql);
  } catch (const Failure& failure) {
    if (IsPrivilegeError(failure.number())) return std::nullopt;
    throw Failure(failure.number(), "reading the definitions: " + failure.description());
  }
}

std::string Column(const Row& row, size_t index) {
  return index < row.size() ? row[index].value_or("") : "";
}

void Add(Definitions& d, const char* kind, const std::string& name, const std::string& text,
         const std::string& sql_mode = "") {
  d.objects.push_back({kind, name, sql_mode, text});
}

void LeaveOut(Definitions& d, const std::string& what, const std::string& privilege) {
  d.left_out.push_back({"left-out", what, "", privilege});
}

// SHOW CREATE <kind> for an object whose statement is in column `column`
// and sql_mode in `mode_column` (or none); left out when not readable.
void ReadObject(Session& session, Definitions& d, const char* kind, const char* show,
                const std::string& name, size_t column, int mode_column,
                const std::string& privilege) {
  std::optional<std::vector<Row>> rows =
      QueryIfAllowed(session, std::string("show create ") + show + " " + QuoteName(name));
  if (!rows || rows->empty() || rows->front().size() <= column || !rows->front()[column]) {
    LeaveOut(d, std::string(kind) + " " + QuoteName(name), privilege);
    return;
  }
  const Row& row = rows->front();
  Add(d, kind, name, StripDefiner(*row[column]),
      mode_column >= 0 ? Column(row, static_cast<size_t>(mode_column)) : "");
}

// A column default that takes a sequence's value names the sequence with
// this database's name; without it the table restores under any name.
std::string Unqualify(std::string statement, const std::string& database) {
  for (const char* call : {"nextval(", "lastval("}) {
    const std::string qualified = call + QuoteName(database) + ".";
    for (size_t at = statement.find(qualified); at != std::string::npos;
         at = statement.find(qualified, at)) {
      statement.erase(at + std::string(call).size(), qualified.size() - std::string(call).size());
    }
  }
  return statement;
}

// A view whose tables or columns are gone (server error 1356) cannot be
// created again on a restore: it is left out, as it holds no rows either.
bool ViewResolves(Session& session, const std::string& view) {
  try {
    Query(session, "select 1 from " + QuoteName(view) + " limit 0");
    return true;
  } catch (const Failure& failure) {
    if (failure.number() == 1356) return false;
    if (IsPrivilegeError(failure.number())) return true;
    throw Failure(failure.number(), "reading the definitions: " + failure.description());
  }
}

void ReadTables(Session& session, Definitions& d, std::vector<std::string>* tables) {
  std::vector<std::string> views, sequences;
  for (const Row& row : Query(session, "show full tables")) {
    const std::string name = Column(row, 0), type = Column(row, 1);
    if (type == "VIEW") {
      views.push_back(name);
    } else if (type == "SEQUENCE") {
      sequences.push_back(name);
    } else {
      tables->push_back(name);
    }
  }
  for (const std::string& table : *tables) {
    ReadObject(session, d, "table", "table", table, 1, -1, "SELECT");
    if (d.objects.back().kind == "table") {
      d.objects.back().text = Unqualify(d.objects.back().text, d.database);
    }
  }
  for (const std::string& sequence : sequences) {
    ReadObject(session, d, "sequence", "sequence", sequence, 1, -1, "SELECT");
    std::optional<std::vector<Row>> next =
        QueryIfAllowed(session, "select next_not_cached_value from " + QuoteName(sequence));
    if (next && !next->empty()) Add(d, "sequence-next", sequence, Column(next->front(), 0));
  }
  for (const std::string& view : views) {
    if (ViewResolves(session, view))
      ReadObject(session, d, "view", "view", view, 1, -1, "SHOW VIEW");
  }
}

// Triggers are listed only on tables the account holds TRIGGER on, so
// the tables without it are named as left out.
void ReadTriggers(Session& session, Definitions& d, const std::vector<std::string>& tables) {
  std::vector<Row> wide = Query(
      session,
      "select count(*) from information_schema.user_privileges where privilege_type = 'TRIGGER'"
      " union all select count(*) from information_schema.schema_privileges where "
      "privilege_type = 'TRIGGER' and database() like table_schema");
  bool everywhere = Column(wide[0], 0) != "0" || Column(wide[1], 0) != "0";
  if (!everywhere) {
    std::set<std::string> granted;
    for (const Row& row :
         Query(session,
               "select table_name from information_schema.table_privileges where table_schema = "
               "database() and privilege_type = 'TRIGGER'")) {
      granted.insert(Column(row, 0));
    }
    std::string lacking;
    for (const std::string& table : tables) {
      if (granted.count(table) == 0) lacking += (lacking.empty() ? "" : ", ") + QuoteName(table);
    }
    if (!lacking.empty()) LeaveOut(d, "triggers of the tables " + lacking, "TRIGGER");
  }
  std::optional<std::vector<Row>> triggers = QueryIfAllowed(session, "show triggers");
  if (!triggers) return;
  for (const Row& row : *triggers) {
    ReadObject(session, d, "trigger", "trigger", Column(row, 0), 2, 1, "TRIGGER");
  }
}

void ReadRoutines(Session& session, Definitions& d) {
  if (!QueryIfAllowed(session, "select 1 from mysql.proc limit 0")) {
    LeaveOut(d, "procedures and functions that the account has no rights on",
             "SELECT on mysql.proc");
  }
  for (const Row& row :
       Query(session,
             "select routine_type, routine_name from information_schema.routines where "
             "routine_schema = database() and routine_type in ('PROCEDURE', 'FUNCTION') "
             "order by routine_type desc, routine_name")) {
    const bool procedure = Column(row, 0) == "PROCEDURE";
    ReadObject(session, d, procedure ? "procedure" : "function",
               procedure ? "procedure" : "function", Column(row, 1), 2, 1, "SELECT on mysql.proc");
  }
}

void ReadEvents(Session& session, Definitions& d) {
  std::optional<std::vector<Row>> events = QueryIfAllowed(session, "show events");
  if (!events) {
    // Whether there are any is known only where mysql.event may be read.
    std::optional<std::vector<Row>> count =
        QueryIfAllowed(session, "select count(*) from mysql.event where db = database()");
    if (!count || count->empty() || Column(count->front(), 0) != "0") {
      LeaveOut(d, "events", "EVENT");
    }
    return;
  }
  for (const Row& row : *events) {
    ReadObject(session, d, "event", "event", Column(row, 1), 3, 1, "EVENT");
  }
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Length of the quoted or bare word at text[pos] (a user or host name).
size_t WordLength(const std::string& text, size_t pos) {
  if (pos >= text.size()) return 0;
  char quote = text[pos];
  if (quote == '`' || quote == '\'' || quote == '"') {
    size_t i = pos + 1;
    while (i < text.size()) {
      if (text[i] == quote) {
        if (i + 1 < text.size() && text[i + 1] == quote) {
          i += 2;
          continue;
        }
        return i + 1 - pos;
      }
      ++i;
    }
    return 0;
  }
  size_t i = pos;
  while (i < text.size() && !IsSpace(text[i]) && text[i] != '@') ++i;
  return i - pos;
}

}  // namespace

std::string StripDefiner(const std::string& statement) {
  // "CREATE [OR REPLACE] [ALGORITHM=...] DEFINER=`u`@`h` [SQL SECURITY ...] VIEW ...":
  // the clause comes before the first quoted name, so a DEFINER inside a
  // body or a name is never touched.
  static const std::string kClause = "DEFINER=";
  size_t at = statement.find(kClause);
  if (at == std::string::npos || at == 0 || !IsSpace(statement[at - 1])) return statement;
  if (statement.find_first_of("`'\"", 0) < at) return statement;
  size_t end = at + kClause.size();
  size_t user = WordLength(statement, end);
  if (user == 0) return statement;
  end += user;
  if (end < statement.size() && statement[end] == '@') {
    size_t host = WordLength(statement, end + 1);
    if (host == 0) return statement;
    end += 1 + host;
  }
  while (end < statement.size() && IsSpace(statement[end])) ++end;
  return statement.substr(0, at) + statement.substr(end);
}

Definitions ReadDefinitions(const Process& process, Session& session) {
  Definitions d;
  d.database = process.DbName;
  std::vector<Row> schema = Query(
      session,
      "select default_character_set_name, default_collation_name from information_schema.schemata"
      " where schema_name = database()");
  if (schema.empty()) throw Failure(kErrDatabase, "reading the definitions: no current database");
  d.charset = Column(schema[0], 0);
  d.collation = Column(schema[0], 1);
  std::vector<std::string> tables;
  ReadTables(session, d, &tables);
  ReadTriggers(session, d, tables);
  ReadRoutines(session, d);
  ReadEvents(session, d);
  return d;
}

std::string LeftOutWarning(const Definitions& d) {
  if (d.left_out.empty()) return "";
  std::string text = "Vaultrun: definitions of " + d.database + " left out of the archive:";
  for (const DefinitionRecord& r : d.left_out) {
    text += (&r == &d.left_out.front() ? " " : "; ") + r.name + " (needs " + r.text + ")";
  }
  return text + "; grant these privileges to the backup account to store them";
}

std::string ReadDefinitionsEntry(Process& process, Session& session) {
  Definitions definitions = ReadDefinitions(process, session);
  std::string warning = LeftOutWarning(definitions);
  if (!warning.empty()) WriteEventLogEntry(process, warning, kEventWarning);
  return BuildDefinitions(definitions);
}

void PackDefinitions(RunArchive& archive, const std::string& entry) {
  archive.BeginEntry(kDefinitionsEntry, entry.size());
  archive.Write(entry.data(), entry.size());
  archive.CommitEntry();
}

}  // namespace vaultrun
