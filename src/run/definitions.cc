#include "run/definitions.h"

#include <algorithm>
#include <charconv>
#include <memory>
#include <set>

#include "config/registry.h"
#include "core/report.h"
#include "db/session.h"
#include "platform/failure.h"
#include "run/archive.h"
#include "run/export_query.h"

namespace vaultrun {
namespace {

constexpr std::string_view kHeader = "vaultrun definitions 2\n";
constexpr std::string_view kHeaderVersion1 = "vaultrun definitions 1\n";
// Server error 1115: a character set the server does not know.
constexpr int kUnknownCharacterSet = 1115;
constexpr std::string_view kEnd = "end\n";

// Server error codes that mean "the account may not read this".
bool IsPrivilegeError(int number) {
  return number == 1044 || number == 1142 || number == 1143 || number == 1227 || number == 1370;
}

using Row = std::vector<std::optional<std::string>>;

// Every row of sql's result. Raises a Failure whose number is the server's
// error code.
std::vector<Row> Query(Process& process, const std::string& sql) {
  if (process.SessionConnection == nullptr) throw Failure(kErrDatabase, "no connection");
  std::unique_ptr<db::Recordset> result = process.SessionConnection->Execute(sql);
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
std::optional<std::vector<Row>> QueryIfAllowed(Process& process, const std::string& sql) {
  try {
    return Query(process, sql);
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
void ReadObject(Process& process, Definitions& d, const char* kind, const char* show,
                const std::string& name, size_t column, int mode_column,
                const std::string& privilege) {
  std::optional<std::vector<Row>> rows =
      QueryIfAllowed(process, std::string("show create ") + show + " " + QuoteName(name));
  if (!rows || rows->empty() || rows->front().size() <= column || !rows->front()[column]) {
    LeaveOut(d, std::string(kind) + " " + QuoteName(name), privilege);
    return;
  }
  const Row& row = rows->front();
  Add(d, kind, name, *row[column],
      mode_column >= 0 ? Column(row, static_cast<size_t>(mode_column)) : "");
}

// Runs a statement without a result.
void Exec(Process& process, const std::string& sql) {
  if (process.SessionConnection == nullptr) throw Failure(kErrDatabase, "no connection");
  process.SessionConnection->Execute(sql);
}

// Definitions are read under the empty sql_mode, so that what the server
// prints does not depend on its global mode (ANSI_QUOTES would print
// "names", NO_TABLE_OPTIONS would drop the engine), and with results in
// utf8mb4, which holds every character. Restore() gives the session back
// its own settings for the rows.
class DefinitionsSession {
 public:
  explicit DefinitionsSession(Process& process) : process_(process) {
    Exec(process_, "set @vaultrun_sql_mode = @@session.sql_mode, session sql_mode = ''");
    try {
      Exec(process_, "set character_set_results = utf8mb4");
    } catch (const Failure& failure) {
      // A server older than utf8mb4 holds nothing that utf8 cannot show.
      if (failure.number() != kUnknownCharacterSet) throw;
      Exec(process_, "set character_set_results = utf8");
    }
  }
  void Restore() {
    Exec(process_, "set session sql_mode = @vaultrun_sql_mode, character_set_results = NULL");
  }

 private:
  Process& process_;
};

// True when a column's default, shown with "?" (shown_default), is really
// a 4-byte character that the server cannot show. A literal default is
// asked for in utf8mb4 (a NULL row of the table gives DEFAULT() its column);
// an expression is not evaluated (it might take a sequence's next value),
// so its "?" counts.
bool DefaultLosesCharacter(Process& process, const std::string& table, const std::string& column,
                           const std::string& shown_default) {
  if (shown_default.empty() || shown_default[0] != '\'') return true;
  std::vector<Row> rows = Query(process, "select hex(convert(default(" + QuoteName(column) +
                                             ") using utf8mb4)) from (select 1) as one left join " +
                                             QuoteName(table) + " on 0");
  const std::string hex = rows.empty() ? "" : Column(rows[0], 0);
  // In UTF-8 the bytes F0 to F4 only ever lead a 4-byte character.
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    if (hex[i] == 'F' && hex[i + 1] >= '0' && hex[i + 1] <= '4') return true;
  }
  return false;
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
bool ViewResolves(Process& process, const std::string& view) {
  try {
    Query(process, "select 1 from " + QuoteName(view) + " limit 0");
    return true;
  } catch (const Failure& failure) {
    if (failure.number() == 1356) return false;
    if (IsPrivilegeError(failure.number())) return true;
    throw Failure(failure.number(), "reading the definitions: " + failure.description());
  }
}

void ReadTables(Process& process, Definitions& d, std::vector<std::string>* tables) {
  std::vector<std::string> views, sequences;
  for (const Row& row : Query(process, "show full tables")) {
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
    ReadObject(process, d, "table", "table", table, 1, -1, "SELECT");
    if (d.objects.back().kind == "table") {
      d.objects.back().text = Unqualify(d.objects.back().text, d.database);
    }
  }
  for (const std::string& sequence : sequences) {
    ReadObject(process, d, "sequence", "sequence", sequence, 1, -1, "SELECT");
    std::optional<std::vector<Row>> next =
        QueryIfAllowed(process, "select next_not_cached_value from " + QuoteName(sequence));
    if (next && !next->empty()) Add(d, "sequence-next", sequence, Column(next->front(), 0));
  }
  for (const std::string& view : views) {
    if (ViewResolves(process, view))
      ReadObject(process, d, "view", "view", view, 1, -1, "SHOW VIEW");
  }
}

// Triggers are listed only on tables the account holds TRIGGER on, so
// the tables without it are named as left out.
void ReadTriggers(Process& process, Definitions& d, const std::vector<std::string>& tables) {
  std::vector<Row> wide = Query(
      process,
      "select count(*) from information_schema.user_privileges where privilege_type = 'TRIGGER'"
      " union all select count(*) from information_schema.schema_privileges where "
      "privilege_type = 'TRIGGER' and database() like table_schema");
  bool everywhere = Column(wide[0], 0) != "0" || Column(wide[1], 0) != "0";
  if (!everywhere) {
    std::set<std::string> granted;
    for (const Row& row :
         Query(process,
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
  std::optional<std::vector<Row>> triggers = QueryIfAllowed(process, "show triggers");
  if (!triggers) return;
  for (const Row& row : *triggers) {
    ReadObject(process, d, "trigger", "trigger", Column(row, 0), 2, 1, "TRIGGER");
  }
}

void ReadRoutines(Process& process, Definitions& d) {
  if (!QueryIfAllowed(process, "select 1 from mysql.proc limit 0")) {
    LeaveOut(d, "procedures and functions that the account has no rights on",
             "SELECT on mysql.proc");
  }
  for (const Row& row :
       Query(process,
             "select routine_type, routine_name from information_schema.routines where "
             "routine_schema = database() and routine_type in ('PROCEDURE', 'FUNCTION') "
             "order by routine_type desc, routine_name")) {
    const bool procedure = Column(row, 0) == "PROCEDURE";
    ReadObject(process, d, procedure ? "procedure" : "function",
               procedure ? "procedure" : "function", Column(row, 1), 2, 1, "SELECT on mysql.proc");
  }
}

void ReadEvents(Process& process, Definitions& d) {
  std::optional<std::vector<Row>> events = QueryIfAllowed(process, "show events");
  if (!events) {
    // Whether there are any is known only where mysql.event may be read.
    std::optional<std::vector<Row>> count =
        QueryIfAllowed(process, "select count(*) from mysql.event where db = database()");
    if (!count || count->empty() || Column(count->front(), 0) != "0") {
      LeaveOut(d, "events", "EVENT");
    }
    return;
  }
  for (const Row& row : *events) {
    ReadObject(process, d, "event", "event", Column(row, 1), 3, 1, "EVENT");
  }
}

bool ReadCount(std::string_view& text, char end, size_t* value) {
  size_t stop = text.find(end);
  if (stop == std::string_view::npos || stop == 0 || stop > 12) return false;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + stop, *value);
  if (ec != std::errc() || ptr != text.data() + stop) return false;
  text.remove_prefix(stop + 1);
  return true;
}

bool ReadField(std::string_view& text, size_t size, std::string* out) {
  if (text.size() < size + 1 || text[size] != '\n') return false;
  *out = std::string(text.substr(0, size));
  text.remove_prefix(size + 1);
  return true;
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

std::string BuildDefinitions(const Definitions& d) {
  std::string text(kHeader);
  auto record = [&text](const DefinitionRecord& r) {
    text += r.kind + " " + std::to_string(r.name.size()) + " " + std::to_string(r.sql_mode.size()) +
            " " + std::to_string(r.text.size()) + "\n" + r.name + "\n" + r.sql_mode + "\n" +
            r.text + "\n";
  };
  record({"database", d.database, "", d.charset + " " + d.collation});
  for (const DefinitionRecord& r : d.objects) record(r);
  for (const DefinitionRecord& r : d.left_out) record(r);
  text += kEnd;
  return text;
}

std::optional<Definitions> ParseDefinitions(std::string_view text) {
  Definitions d;
  if (text.substr(0, kHeaderVersion1.size()) == kHeaderVersion1) {
    d.version = 1;
  } else if (text.substr(0, kHeader.size()) != kHeader) {
    return std::nullopt;
  }
  text.remove_prefix(kHeader.size());
  bool first = true;
  while (text != kEnd) {
    DefinitionRecord r;
    size_t space = text.find(' ');
    if (space == std::string_view::npos || space == 0 || space > 16) return std::nullopt;
    r.kind = std::string(text.substr(0, space));
    text.remove_prefix(space + 1);
    size_t name_size = 0, mode_size = 0, text_size = 0;
    if (!ReadCount(text, ' ', &name_size) || !ReadCount(text, ' ', &mode_size) ||
        !ReadCount(text, '\n', &text_size) || !ReadField(text, name_size, &r.name) ||
        !ReadField(text, mode_size, &r.sql_mode) || !ReadField(text, text_size, &r.text)) {
      return std::nullopt;
    }
    if (first != (r.kind == "database")) return std::nullopt;
    if (first) {
      size_t split = r.text.find(' ');
      if (split == std::string::npos) return std::nullopt;
      d.database = r.name;
      d.charset = r.text.substr(0, split);
      d.collation = r.text.substr(split + 1);
      first = false;
    } else if (r.kind == "left-out") {
      d.left_out.push_back(std::move(r));
    } else {
      d.objects.push_back(std::move(r));
    }
  }
  if (first) return std::nullopt;
  return d;
}

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

Definitions ReadDefinitions(Process& process) {
  Definitions d;
  d.database = process.DbName;
  DefinitionsSession session(process);
  std::vector<Row> schema = Query(
      process,
      "select default_character_set_name, default_collation_name from information_schema.schemata"
      " where schema_name = database()");
  if (schema.empty()) throw Failure(kErrDatabase, "reading the definitions: no current database");
  d.charset = Column(schema[0], 0);
  d.collation = Column(schema[0], 1);
  std::vector<std::string> tables;
  ReadTables(process, d, &tables);
  ReadTriggers(process, d, tables);
  ReadRoutines(process, d);
  ReadEvents(process, d);
  session.Restore();
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

std::vector<std::string> TablesWithLostCharacters(Process& process,
                                                  const std::vector<std::string>& tables) {
  // Only a column whose character set holds characters beyond U+FFFF can
  // lose one: the server shows definitions in utf8mb3, which does not.
  std::set<std::string> lost;
  for (const Row& row : Query(process,
                              "select table_name, column_name, column_default, data_type, "
                              "column_type from information_schema.columns where table_schema = "
                              "database() and character_set_name in ('utf8mb4', 'utf16', "
                              "'utf16le', 'utf32') and (column_default like '%?%' or (data_type "
                              "in ('enum', 'set') and column_type like '%?%'))")) {
    const std::string table = Column(row, 0);
    if (lost.count(table) > 0 || std::find(tables.begin(), tables.end(), table) == tables.end()) {
      continue;
    }
    // A member is not known but as shown: its "?" counts.
    const std::string type = Column(row, 3);
    if (((type == "enum" || type == "set") && Column(row, 4).find('?') != std::string::npos) ||
        (Column(row, 2).find('?') != std::string::npos &&
         DefaultLosesCharacter(process, table, Column(row, 1), Column(row, 2)))) {
      lost.insert(table);
    }
  }
  std::vector<std::string> named;
  for (const std::string& table : tables) {
    if (lost.count(table) > 0) named.push_back(table);
  }
  return named;
}

std::string LostCharactersWarning(const std::string& database,
                                  const std::vector<std::string>& tables) {
  if (tables.empty()) return "";
  std::string names;
  for (const std::string& table : tables) names += (names.empty() ? "" : ", ") + table;
  return "Vaultrun: definitions of " + database +
         ": the server shows characters beyond U+FFFF (emoji and the like) as '?' in column "
         "defaults and ENUM or SET members, so the stored definitions hold '?' in their place in "
         "the tables " +
         names +
         " (their rows keep every character); after a restore that creates these tables, give "
         "those columns their characters back by hand";
}

std::optional<std::string> ReadDefinitionsEntry(Process& process) {
  if (process.settings->ReadRegString(kHkeyLocalMachine, kSettingsKey, "store_definitions", "1") ==
      "0") {
    return std::nullopt;
  }
  Definitions definitions = ReadDefinitions(process);
  std::string warning = LeftOutWarning(definitions);
  if (!warning.empty()) WriteEventLogEntry(process, warning, kEventWarning);
  std::vector<std::string> tables;
  for (const DefinitionRecord& r : definitions.objects) {
    if (r.kind == "table") tables.push_back(r.name);
  }
  warning = LostCharactersWarning(definitions.database, TablesWithLostCharacters(process, tables));
  if (!warning.empty()) WriteEventLogEntry(process, warning, kEventWarning);
  return BuildDefinitions(definitions);
}

void PackDefinitions(RunArchive& archive, const std::string& entry) {
  archive.BeginEntry(kDefinitionsEntry, entry.size());
  archive.Write(entry.data(), entry.size());
  archive.CommitEntry();
}

}  // namespace vaultrun
