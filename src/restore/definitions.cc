#include "restore/definitions.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "archive/reader.h"
#include "core/failure.h"
#include "core/printable.h"
#include "platform/crypto.h"
#include "restore/trust.h"

namespace vaultrun::restore {
namespace {

// Far above any real schema; bounds what a hostile entry can make us hold.
constexpr uint64_t kMaxEntrySize = 64u << 20;
// Server warning: an option that the sql_mode NO_DIR_IN_CREATE ignored.
constexpr int kWarnOptionIgnored = 1618;
// Server note: the definer an object was made with is no account here.
constexpr int kNoteNoSuchDefiner = 1449;

bool IsPlainWord(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
  });
}

bool IsInteger(const std::string& text) {
  size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
  return text.size() > start && text.size() <= 21 &&
         std::all_of(text.begin() + static_cast<long>(start), text.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

[[noreturn]] void Refuse(const std::string& what) {
  throw Failure(kErrDefinitions,
                "the archive's definitions are refused: " + what + "; nothing was written");
}

// A record as messages name it, safe for a terminal.
std::string What(const DefinitionRecord& r) {
  return EscapeControl(r.kind + " " + QuoteIdentifier(r.name));
}

std::set<std::string> NamesOf(const Definitions& d, const char* kind) {
  std::set<std::string> names;
  for (const DefinitionRecord& r : d.objects) {
    if (r.kind == kind) names.insert(r.name);
  }
  return names;
}

// The kinds of code, which run as their definer.
bool IsCode(const std::string& kind) {
  return kind == "view" || kind == "trigger" || kind == "procedure" || kind == "function" ||
         kind == "event";
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The column of SHOW CREATE <kind> that holds the statement.
size_t StatementColumn(const std::string& kind) {
  return kind == "view" || kind == "table" || kind == "sequence" ? 1 : kind == "event" ? 3 : 2;
}

// The account as a DEFINER clause takes it.
std::string DefinerSql(const Account& account) {
  return QuoteIdentifier(account.user) +
         (account.host ? "@" + QuoteIdentifier(*account.host) : std::string());
}

// The warnings and notes of the last statement, by code.
std::vector<std::pair<int, std::string>> Warnings(Connection& connection) {
  std::vector<std::pair<int, std::string>> warnings;
  if (connection.warning_count() == 0) return warnings;
  for (const Connection::Row& row : connection.Query("SHOW WARNINGS")) {
    if (row.size() < 3) continue;
    warnings.emplace_back(std::atoi(row[1].value_or("0").c_str()), row[2].value_or(""));
  }
  return warnings;
}

// True when database holds the record's object, of the record's kind. Each
// is one lookup by name (the server keeps a trigger's name apart from its
// table's).
bool HasObject(Connection& connection, const std::string& database, const DefinitionRecord& r) {
  const std::string schema = connection.Literal(database);
  const std::string name = "BINARY " + connection.Literal(r.name);
  if (r.kind == "trigger") {
    try {
      connection.Query("SHOW CREATE TRIGGER " + QuoteIdentifier(database) + "." +
                       QuoteIdentifier(r.name));
      return true;
    } catch (const Failure&) {
      return false;
    }
  }
  std::string sql;
  if (r.kind == "table" || r.kind == "sequence" || r.kind == "view") {
    const char* types = r.kind == "table"      ? "'BASE TABLE', 'SYSTEM VERSIONED'"
                        : r.kind == "sequence" ? "'SEQUENCE'"
                                               : "'VIEW'";
    sql = "SELECT COUNT(*) FROM information_schema.tables WHERE table_schema = " + schema +
          " AND table_name = " + name + " AND table_type IN (" + types + ")";
  } else if (r.kind == "procedure" || r.kind == "function") {
    sql = "SELECT COUNT(*) FROM information_schema.routines WHERE routine_schema = " + schema +
          " AND routine_name = " + name + " AND routine_type = '" + Upper(r.kind) + "'";
  } else if (r.kind == "event") {
    sql = "SELECT COUNT(*) FROM information_schema.events WHERE event_schema = " + schema +
          " AND event_name = " + name;
  } else {
    return false;
  }
  return connection.QueryOne(sql) == "1";
}

// Server errors that mean the limited account may not do something.
bool IsPrivilegeError(int number) {
  return number == 1044 || number == 1142 || number == 1143 || number == 1227 || number == 1370;
}

std::string RandomHex(size_t bytes) {
  std::string raw(bytes, '\0');
  ThrowIfError(SystemRandomBytes(raw.data(), raw.size()));
  return LowerHex(reinterpret_cast<const uint8_t*>(raw.data()), raw.size());
}

// The restoring connection's session for the definitions: statements in
// utf8mb4, events in the server's own time zone (as the limited account's
// session has it); the session's settings back at the end.
class DefinitionsSession {
 public:
  explicit DefinitionsSession(Connection& connection) : connection_(connection) {
    connection_.Exec(
        "SET @vaultrun_sql_mode = @@session.sql_mode, @vaultrun_time_zone = "
        "@@session.time_zone, time_zone = @@global.time_zone");
    connection_.Exec("SET NAMES utf8mb4");
  }
  ~DefinitionsSession() {
    try {
      connection_.Exec("SET NAMES binary");
      connection_.Exec("SET sql_mode = @vaultrun_sql_mode, time_zone = @vaultrun_time_zone");
    } catch (const Failure&) {
      // The connection is gone; the failure that got here is told.
    }
  }
  DefinitionsSession(const DefinitionsSession&) = delete;
  DefinitionsSession& operator=(const DefinitionsSession&) = delete;

 private:
  Connection& connection_;
};

}  // namespace

std::string AccountText(const Account& account) {
  return EscapeControl(account.user + (account.host ? "@" + *account.host : std::string()));
}

std::optional<Definitions> ReadArchiveDefinitions(ArchiveReader& reader, std::string* digest) {
  std::optional<std::string> text;
  try {
    text = reader.ReadEntry(kDefinitionsEntry, kMaxEntrySize);
  } catch (const Failure& failure) {
    Refuse(std::string(kDefinitionsEntry) + " cannot be read, or is damaged (" +
           failure.description() + ")");
  }
  if (!text) return std::nullopt;
  *digest = DefinitionsDigest(*text);
  std::optional<Definitions> definitions = ParseDefinitions(*text);
  if (!definitions) Refuse(std::string(kDefinitionsEntry) + " is not in the definitions format");
  return definitions;
}

void ValidateDefinitions(const Definitions& d) {
  if (!IsPlainWord(d.charset) || !IsPlainWord(d.collation)) {
    Refuse("the database's character set or collation is not a plain name");
  }
  static const std::set<std::string> kKinds = {"table",     "sequence", "view",  "trigger",
                                               "procedure", "function", "event", "sequence-next"};
  std::set<std::string> sequences = NamesOf(d, "sequence");
  std::set<std::pair<std::string, std::string>> seen;
  for (const DefinitionRecord& r : d.objects) {
    if (kKinds.count(r.kind) == 0) Refuse(What(r) + " is of an unknown kind");
    if (r.name.empty() || !seen.insert({r.kind, r.name}).second) Refuse(What(r) + " is not unique");
    if (r.kind == "sequence-next" && (sequences.count(r.name) == 0 || !IsInteger(r.text))) {
      Refuse(What(r) + " is not the next value of a sequence of the archive");
    }
  }
}

SchemaBuilder::SchemaBuilder(ArchiveReader& reader, Connection& connection, std::string target,
                             SchemaOptions options, std::ostream* err, const DefinitionsGate& gate)
    : connection_(connection), target_(std::move(target)), options_(std::move(options)), err_(err) {
  std::string digest;
  definitions_ = ReadArchiveDefinitions(reader, &digest);
  if (!definitions_) return;
  // Definitions that may not run are not looked into any further.
  refusal_ = gate(digest);
  if (refusal_.empty()) ValidateDefinitions(*definitions_);
}

void SchemaBuilder::RequireAllowed() const {
  if (!refusal_.empty()) throw Failure(kErrDefinitions, refusal_);
}

SchemaBuilder::~SchemaBuilder() {
  if (!created_) return;
  try {
    connection_.Exec("DROP DATABASE IF EXISTS " + QuoteIdentifier(target_));
  } catch (const Failure& failure) {
    if (err_ != nullptr) {
      *err_ << "warning: could not drop the half-made database " << EscapeControl(target_) << " ("
            << EscapeControl(failure.description()) << "): drop it by hand before a retry\n";
    }
  }
}

bool SchemaBuilder::IsTable(const std::string& name) const {
  return definitions_ && NamesOf(*definitions_, "table").count(name) > 0;
}

std::vector<std::string> SchemaBuilder::Tables() const {
  std::vector<std::string> tables;
  if (!definitions_) return tables;
  for (const DefinitionRecord& r : definitions_->objects) {
    if (r.kind == "table") tables.push_back(r.name);
  }
  return tables;
}

bool SchemaBuilder::IsSequence(const std::string& name) const {
  return definitions_ && NamesOf(*definitions_, "sequence").count(name) > 0;
}

bool SchemaBuilder::IsDefinedView(const std::string& name) const {
  if (!definitions_) return false;
  // A view the backup account could not read is still not a table.
  const std::string left_out_view = "view " + QuoteIdentifier(name);
  return NamesOf(*definitions_, "view").count(name) > 0 ||
         std::any_of(definitions_->left_out.begin(), definitions_->left_out.end(),
                     [&](const DefinitionRecord& r) { return r.name == left_out_view; });
}

void SchemaBuilder::RunLimited(LimitedAccount& limited, const std::string& database,
                               const DefinitionRecord& r) {
  Connection& session = limited.session();
  // Exactly the stored mode, the empty one too. NO_DIR_IN_CREATE only makes
  // the server ignore (and warn about) a DATA or INDEX DIRECTORY, which
  // would put files outside its data folder; that warning refuses the
  // statement below, so what is made was made under the stored mode.
  session.Exec("SET SESSION sql_mode = " + session.Literal(r.sql_mode),
               "the sql_mode of " + What(r));
  session.Exec(
      "SET SESSION sql_mode = CONCAT(@@session.sql_mode, IF(@@session.sql_mode = '', '', ','), "
      "'NO_DIR_IN_CREATE')");
  try {
    // Without its DEFINER clause the object is the limited account's: the
    // definer comes after every statement ran (GiveDefiner).
    session.Exec(StripDefiner(r.text), "creating " + What(r));
  } catch (const Failure& failure) {
    std::string why = failure.description();
    if (IsPrivilegeError(failure.number())) {
      why += " (the archive's definitions run with rights on the database they make alone)";
    }
    throw Failure(failure.number(), why);
  }
  for (const auto& [code, message] : Warnings(session)) {
    if (code == kWarnOptionIgnored) {
      Refuse(What(r) + " keeps its files in a folder of its own (" + EscapeControl(message) +
             "): create that table by hand");
    }
  }
  // One statement makes one object at most; it must be the record's (the
  // names of one kind are unique, so none was there before).
  if (!HasObject(connection_, database, r)) {
    Refuse(What(r) + ": its statement does not make that " + r.kind);
  }
}

void SchemaBuilder::CreateSequencesIn(LimitedAccount& limited, const std::string& database) {
  for (const DefinitionRecord& r : definitions_->objects) {
    if (r.kind == "sequence") {
      RunLimited(limited, database, r);
      limited.AllowSequence(r.name);
    }
    if (r.kind == "sequence-next") {
      connection_.Exec("ALTER SEQUENCE " + QuoteIdentifier(database) + "." +
                       QuoteIdentifier(r.name) + " RESTART WITH " + r.text);
    }
  }
}

std::vector<const DefinitionRecord*> SchemaBuilder::CreateCodeIn(LimitedAccount& limited,
                                                                 const std::string& database,
                                                                 bool events_disabled) {
  std::vector<const DefinitionRecord*> made;
  auto of_kind = [&](const char* kind) {
    std::vector<const DefinitionRecord*> records;
    for (const DefinitionRecord& r : definitions_->objects) {
      if (r.kind == kind) records.push_back(&r);
    }
    return records;
  };
  // Routines first: a view may call a function.
  for (const char* kind : {"function", "procedure"}) {
    for (const DefinitionRecord* r : of_kind(kind)) {
      RunLimited(limited, database, *r);
      made.push_back(r);
    }
  }
  // A view may read another view: those the server cannot make yet are
  // tried again while each round makes at least one more, so each comes
  // after the views it reads. A refusal ends it at once.
  std::vector<const DefinitionRecord*> views = of_kind("view");
  while (!views.empty()) {
    std::vector<const DefinitionRecord*> failed;
    for (const DefinitionRecord* view : views) {
      try {
        RunLimited(limited, database, *view);
        made.push_back(view);
      } catch (const Failure& failure) {
        if (failure.number() == kErrDefinitions) throw;
        failed.push_back(view);
      }
    }
    if (failed.size() == views.size()) {
      // None could be made: the first one's error, naming the others.
      std::string others;
      for (size_t i = 1; i < failed.size(); ++i) others += (i > 1 ? ", " : "") + What(*failed[i]);
      try {
        RunLimited(limited, database, *failed.front());
      } catch (const Failure& failure) {
        if (others.empty()) throw;
        throw Failure(failure.number(),
                      failure.description() + " (nor could these views be made: " + others + ")");
      }
      made.push_back(failed.front());
      failed.erase(failed.begin());
    }
    views = std::move(failed);
  }
  for (const char* kind : {"trigger", "event"}) {
    for (const DefinitionRecord* r : of_kind(kind)) {
      RunLimited(limited, database, *r);
      if (events_disabled && r->kind == "event") {
        limited.session().Exec("ALTER EVENT " + QuoteIdentifier(r->name) + " DISABLE");
      }
      made.push_back(r);
    }
  }
  return made;
}

void SchemaBuilder::Check() {
  if (!definitions_) return;
  RequireAllowed();
  const std::string scratch = "vaultrun_check_" + RandomHex(6);
  try {
    connection_.Exec("CREATE DATABASE " + QuoteIdentifier(scratch) + " CHARACTER SET " +
                     definitions_->charset + " COLLATE " + definitions_->collation);
  } catch (const Failure& failure) {
    throw Failure(kErrNoLimitedAccount, "cannot make the scratch database " + scratch +
                                            " that checks the archive's definitions (" +
                                            failure.description() + ")");
  }
  struct Dropper {
    Connection& connection;
    const std::string& scratch;
    std::ostream* err;
    ~Dropper() {
      try {
        connection.Exec("DROP DATABASE IF EXISTS " + QuoteIdentifier(scratch));
      } catch (const Failure& failure) {
        if (err != nullptr) {
          *err << "warning: could not drop the scratch database " << scratch << " ("
               << EscapeControl(failure.description()) << "): drop it by hand\n";
        }
      }
    }
  } dropper{connection_, scratch, err_};
  DefinitionsSession session(connection_);
  LimitedAccount limited(connection_, scratch, LimitedAccount::Rights::kNewDatabase);
  limited.set_err(err_);
  CreateSequencesIn(limited, scratch);
  for (const DefinitionRecord& r : definitions_->objects) {
    if (r.kind == "table") RunLimited(limited, scratch, r);
  }
  CreateCodeIn(limited, scratch, true);
}

std::optional<Account> SchemaBuilder::DefinerOf(const DefinitionRecord& record) const {
  if (options_.definer) return options_.definer;
  return StoredDefiner(record.text);
}

void SchemaBuilder::RequireDefiners() const {
  if (!definitions_ || options_.definer) return;
  std::string without;
  for (const DefinitionRecord& r : definitions_->objects) {
    if (IsCode(r.kind) && !StoredDefiner(r.text))
      without += (without.empty() ? "" : ", ") + What(r);
  }
  if (without.empty()) return;
  throw Failure(kErrDefinitions,
                "the archive's definitions name no definer for " + without +
                    " (archives of older runs keep none): name the account they are to run as "
                    "with --definer=USER@HOST (the game server's account, for example); nothing "
                    "was written");
}

void SchemaBuilder::CreateDatabase() {
  RequireAllowed();
  // IF NOT EXISTS is not used: a database made meanwhile by someone else is
  // not ours to drop.
  connection_.Exec("CREATE DATABASE " + QuoteIdentifier(target_) + " CHARACTER SET " +
                   definitions_->charset + " COLLATE " + definitions_->collation);
  created_ = true;
  fresh_ = true;
}

void SchemaBuilder::CreateSequences() {
  RequireAllowed();
  DefinitionsSession session(connection_);
  LimitedAccount limited(connection_, target_, LimitedAccount::Rights::kNewDatabase);
  limited.set_err(err_);
  CreateSequencesIn(limited, target_);
}

void SchemaBuilder::CreateTables(const std::vector<std::string>& tables, bool verbose) {
  RequireAllowed();
  DefinitionsSession session(connection_);
  LimitedAccount limited(
      connection_, target_,
      fresh_ ? LimitedAccount::Rights::kNewDatabase : LimitedAccount::Rights::kExistingDatabase);
  limited.set_err(err_);
  // A column may default to a sequence's next value; only sequences this
  // restore made may be used so (the account may change them).
  if (fresh_) {
    for (const std::string& sequence : NamesOf(*definitions_, "sequence")) {
      limited.AllowSequence(sequence);
    }
  }
  for (const DefinitionRecord& r : definitions_->objects) {
    if (r.kind != "table" || std::find(tables.begin(), tables.end(), r.name) == tables.end()) {
      continue;
    }
    if (verbose && err_ != nullptr) {
      *err_ << "table " << EscapeControl(r.name) << ": not in database " << EscapeControl(target_)
            << ", created from the archive's definition\n";
    }
    RunLimited(limited, target_, r);
  }
}

void SchemaBuilder::GiveDefiner(const LimitedAccount& limited, const DefinitionRecord& r,
                                const Account& definer, std::set<std::string>* missing) {
  const std::string kind = Upper(r.kind);
  const std::string name = QuoteIdentifier(r.name);
  // The server prints a view in the form it keeps, which reads the same
  // under every mode, and prints DEFINER only under a mode without ANSI;
  // the others print under their own mode and are made again under it.
  connection_.Exec("SET SESSION sql_mode = " +
                   connection_.Literal(r.kind == "view" ? "" : r.sql_mode));
  std::vector<Connection::Row> rows = connection_.Query("SHOW CREATE " + kind + " " + name);
  const size_t column = StatementColumn(r.kind);
  if (rows.empty() || rows[0].size() <= column || !rows[0][column]) {
    throw Failure(kErrDefinitions, "the server does not show the " + What(r) + " it made");
  }
  std::string text = *rows[0][column];
  const Account& made_as = limited.account();
  size_t at = std::string::npos;
  std::string clause;
  for (char quote : {'`', '"'}) {
    const std::string q(1, quote);
    clause = "DEFINER=" + q + made_as.user + q + "@" + q + made_as.host.value_or("") + q;
    at = text.find(clause);
    if (at != std::string::npos) break;
  }
  if (at == std::string::npos) {
    throw Failure(kErrDefinitions,
                  "the server shows the " + What(r) + " it made without its definer");
  }
  text.replace(at, clause.size(), "DEFINER=" + DefinerSql(definer));
  connection_.Exec("DROP " + kind + " " + name);
  connection_.Exec(text, "creating " + What(r) + " with definer " + AccountText(definer));
  for (const auto& [code, message] : Warnings(connection_)) {
    if (code == kNoteNoSuchDefiner) missing->insert(AccountText(definer));
  }
}

void SchemaBuilder::CreateObjects() {
  RequireAllowed();
  DefinitionsSession session(connection_);
  std::vector<const DefinitionRecord*> made;
  std::map<std::string, int> definers;
  std::set<std::string> missing;
  {
    LimitedAccount limited(connection_, target_, LimitedAccount::Rights::kNewDatabase);
    limited.set_err(err_);
    made = CreateCodeIn(limited, target_, options_.events_disabled);
    // Only after every statement of the archive ran: until then nothing in
    // the database runs with more rights than the limited account.
    for (const DefinitionRecord* r : made) {
      // RequireDefiners ran before anything was written.
      std::optional<Account> definer = DefinerOf(*r);
      if (!definer) throw Failure(kErrDefinitions, What(*r) + " names no definer");
      GiveDefiner(limited, *r, *definer, &missing);
      ++definers[AccountText(*definer)];
    }
  }
  if (err_ == nullptr) return;
  if (!definers.empty()) {
    *err_ << "views, triggers, routines and events: made with "
          << (options_.definer ? "the definer that --definer names, in place of the stored ones: "
                               : "the definers the archive stores: ");
    bool first = true;
    for (const auto& [account, count] : definers) {
      *err_ << (first ? "" : ", ") << account << " (" << count << ")";
      first = false;
    }
    *err_ << "\n";
  }
  for (const std::string& account : missing) {
    *err_ << "warning: no account " << account
          << " on this server: the objects it defines fail when used until it exists (create "
             "it, or restore with --definer)\n";
  }
  for (const DefinitionRecord& r : definitions_->left_out) {
    *err_ << "warning: not in the archive (the backup account lacked " << EscapeControl(r.text)
          << "): " << EscapeControl(r.name) << "\n";
  }
}

}  // namespace vaultrun::restore
