#include "restore/definitions.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <string_view>

#include "archive/reader.h"
#include "core/failure.h"
#include "restore/trust.h"
#include "run/export_query.h"

namespace vaultrun::restore {
namespace {

constexpr int kErrDefinitions = 3003;
// Far above any real schema; bounds what a hostile entry can make us hold.
constexpr uint64_t kMaxEntrySize = 64u << 20;

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

struct Token {
  enum Kind { kWord, kQuoted, kString, kNumber, kSymbol, kVariable } kind;
  std::string text;  // a word lower-cased; a quoted name without its quotes
};

bool IsWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' ||
         static_cast<unsigned char>(c) >= 0x80;
}

// Splits a statement into tokens as the server reads it under sql_mode.
// Plain comments are dropped; an executable comment ("/*!", "/*M!") holds
// code, so it is refused, as is anything unterminated.
std::vector<Token> Tokenize(std::string_view sql, const std::string& sql_mode, std::string* error) {
  const bool backslash = sql_mode.find("NO_BACKSLASH_ESCAPES") == std::string::npos;
  const bool ansi_quotes = sql_mode.find("ANSI_QUOTES") != std::string::npos;
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < sql.size()) {
    char c = sql[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '#' ||
               (c == '-' && sql.substr(i, 2) == "--" &&
                (i + 2 == sql.size() || std::isspace(static_cast<unsigned char>(sql[i + 2])) ||
                 std::iscntrl(static_cast<unsigned char>(sql[i + 2]))))) {
      size_t end = sql.find('\n', i);
      i = end == std::string_view::npos ? sql.size() : end + 1;
    } else if (sql.substr(i, 2) == "/*") {
      if (sql.substr(i, 3) == "/*!" || sql.substr(i, 4) == "/*M!" || sql.substr(i, 4) == "/*m!") {
        *error = "an executable comment";
        return {};
      }
      size_t end = sql.find("*/", i + 2);
      if (end == std::string_view::npos) {
        *error = "an unterminated comment";
        return {};
      }
      i = end + 2;
    } else if (c == '`' || c == '\'' || c == '"') {
      Token token{c == '`' || (c == '"' && ansi_quotes) ? Token::kQuoted : Token::kString, ""};
      size_t j = i + 1;
      for (;; ++j) {
        if (j >= sql.size()) {
          *error = "an unterminated quoted text";
          return {};
        }
        if (sql[j] == '\\' && backslash && token.kind == Token::kString) {
          if (++j >= sql.size()) continue;
          token.text += sql[j];
        } else if (sql[j] == c) {
          if (j + 1 < sql.size() && sql[j + 1] == c) {
            token.text += c;
            ++j;
          } else {
            break;
          }
        } else {
          token.text += sql[j];
        }
      }
      tokens.push_back(std::move(token));
      i = j + 1;
    } else if (c == '@') {
      size_t j = i + 1;
      while (j < sql.size() && (IsWordChar(sql[j]) || sql[j] == '@' || sql[j] == '.')) ++j;
      tokens.push_back({Token::kVariable, Lower(sql.substr(i, j - i))});
      i = j;
    } else if (IsWordChar(c)) {
      size_t j = i;
      while (j < sql.size() && IsWordChar(sql[j])) ++j;
      std::string word = Lower(sql.substr(i, j - i));
      bool number = std::all_of(word.begin(), word.end(), [](char d) { return std::isdigit(d); });
      tokens.push_back({number ? Token::kNumber : Token::kWord, word});
      i = j;
    } else {
      tokens.push_back({Token::kSymbol, std::string(1, c)});
      ++i;
    }
  }
  return tokens;
}

// Words that reach beyond the database's own objects: privileges, dynamic
// SQL (which no check here could see into), server files, server state.
bool IsForbiddenWord(const std::string& word) {
  static const std::set<std::string> kWords = {
      "grant",    "revoke", "prepare", "execute", "deallocate", "install",   "uninstall",
      "shutdown", "kill",   "flush",   "outfile", "dumpfile",   "load_file", "infile",
      "load",     "soname", "definer", "global",  "reset",      "purge"};
  return kWords.count(word) > 0;
}

// Words forbidden after CREATE, ALTER, DROP or RENAME (accounts, databases,
// remote servers): elsewhere they may be column names.
bool IsForbiddenObject(const std::string& word) {
  static const std::set<std::string> kWords = {"user", "database", "schema", "server", "role"};
  return kWords.count(word) > 0;
}

// Text from the archive as it may reach a terminal: no control characters.
std::string Printable(std::string text) {
  for (char& c : text) {
    if (std::iscntrl(static_cast<unsigned char>(c))) c = '?';
  }
  return text;
}

class Checker {
 public:
  Checker(const DefinitionRecord& record, const std::set<std::string>& forbidden)
      : record_(record), forbidden_(forbidden) {}

  // Empty when the record is sound, else what is wrong.
  std::string Check(const std::set<std::string>& tables) {
    std::string error;
    tokens_ = Tokenize(record_.text, record_.sql_mode, &error);
    if (!error.empty()) return "holds " + error;
    if (!Word("create")) return "is not a CREATE statement";
    const std::string& kind = record_.kind;
    if (kind == "table" || kind == "sequence") {
      if (!Word(kind) || !Name()) return Expected(kind);
    } else if (kind == "view") {
      if (Word("algorithm") && (!Symbol("=") || !AnyWord())) return Expected(kind);
      if (Word("sql") && (!Word("security") || !AnyWord())) return Expected(kind);
      if (!Word("view") || !Name() || !Word("as")) return Expected(kind);
    } else if (kind == "trigger") {
      if (!Word("trigger") || !Name() || !(Word("before") || Word("after")) ||
          !(Word("insert") || Word("update") || Word("delete")) || !Word("on")) {
        return Expected(kind);
      }
      if (!TableName(tables)) return "is a trigger on something other than a table of the archive";
    } else if (kind == "procedure" || kind == "function") {
      if (kind == "function") Word("aggregate");
      if (!Word(kind) || !Name() || !Symbol("(")) return Expected(kind);
    } else if (kind == "event") {
      if (!Word("event") || !Name() || !Word("on") || !Word("schedule")) return Expected(kind);
    } else {
      return "is of an unknown kind";
    }
    return CheckBody(kind == "table" || kind == "sequence");
  }

 private:
  std::string Expected(const std::string& kind) {
    return "is not a CREATE " + Upper(kind) + " of that name";
  }
  static std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
  }
  static bool HasTableIgnoringCase(const std::set<std::string>& tables, const std::string& word) {
    return std::any_of(tables.begin(), tables.end(),
                       [&](const std::string& table) { return Lower(table) == word; });
  }
  // A table of the archive, unqualified (a bare word is lower-cased here,
  // so it is compared without case).
  bool TableName(const std::set<std::string>& tables) {
    if (pos_ >= tokens_.size()) return false;
    const Token& token = tokens_[pos_];
    bool known = token.kind == Token::kQuoted ? tables.count(token.text) > 0
                 : token.kind == Token::kWord ? HasTableIgnoringCase(tables, token.text)
                                              : false;
    return known && ++pos_ && !NextIs(".");
  }
  bool NextIs(const char* symbol) const {
    return pos_ < tokens_.size() && tokens_[pos_].kind == Token::kSymbol &&
           tokens_[pos_].text == symbol;
  }
  bool Word(const std::string& word) {
    if (pos_ < tokens_.size() && tokens_[pos_].kind == Token::kWord && tokens_[pos_].text == word) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool AnyWord() {
    if (pos_ < tokens_.size() && tokens_[pos_].kind == Token::kWord) return ++pos_, true;
    return false;
  }
  bool Symbol(const std::string& symbol) {
    if (pos_ < tokens_.size() && tokens_[pos_].kind == Token::kSymbol &&
        tokens_[pos_].text == symbol) {
      return ++pos_, true;
    }
    return false;
  }
  // The object's own name, unqualified.
  bool Name() {
    if (pos_ >= tokens_.size()) return false;
    const Token& token = tokens_[pos_];
    bool same = token.kind == Token::kQuoted ? token.text == record_.name
                : token.kind == Token::kWord ? token.text == Lower(record_.name)
                                             : false;
    if (!same) return false;
    ++pos_;
    return !NextIs(".");
  }

  std::string CheckBody(bool plain) {
    for (size_t i = 0; i < tokens_.size(); ++i) {
      const Token& token = tokens_[i];
      const Token* next = i + 1 < tokens_.size() ? &tokens_[i + 1] : nullptr;
      const Token* before = i > 0 ? &tokens_[i - 1] : nullptr;
      // A word after "." is a column or object name, not a keyword.
      bool member = before != nullptr && before->kind == Token::kSymbol && before->text == ".";
      bool qualifies = next != nullptr && next->kind == Token::kSymbol && next->text == "." &&
                       (token.kind == Token::kWord || token.kind == Token::kQuoted);
      if (token.kind == Token::kWord && !member) {
        static const std::set<std::string> kVerbs = {"create", "alter", "drop", "rename"};
        bool after_verb =
            before != nullptr && before->kind == Token::kWord && kVerbs.count(before->text) > 0;
        bool after_set = before != nullptr && before->kind == Token::kWord && before->text == "set";
        bool security = before != nullptr && before->kind == Token::kWord &&
                        before->text == "security" && token.text == "definer";
        if ((IsForbiddenWord(token.text) && !security) ||
            (after_verb && IsForbiddenObject(token.text)) ||
            (after_set && token.text == "password") ||
            (plain && (token.text == "connection" || token.text == "directory"))) {
          return "holds the word " + Upper(token.text);
        }
        if (plain && token.text == "select") return "holds a SELECT";
        if (plain && token.text == "engine") {
          size_t at = i + 1;
          if (at < tokens_.size() && tokens_[at].text == "=") ++at;
          static const std::set<std::string> kEngines = {"innodb", "myisam", "aria",   "memory",
                                                         "heap",   "csv",    "archive"};
          if (at >= tokens_.size() || kEngines.count(Lower(tokens_[at].text)) == 0) {
            return "uses an engine other than InnoDB, MyISAM, Aria, MEMORY, CSV or ARCHIVE";
          }
        }
      }
      if (token.kind == Token::kVariable && token.text.rfind("@@global", 0) == 0) {
        return "sets a global variable";
      }
      if (token.kind == Token::kSymbol && token.text == ";" && plain) {
        return "holds more than one statement";
      }
      if (qualifies && (plain || forbidden_.count(Lower(token.text)) > 0)) {
        return "names an object of another database (" + Printable(token.text) + ")";
      }
    }
    return "";
  }

  const DefinitionRecord& record_;
  const std::set<std::string>& forbidden_;
  std::vector<Token> tokens_;
  size_t pos_ = 0;
};

bool IsPlainWord(const std::string& text, bool allow_comma) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [&](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || (allow_comma && c == ',');
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

std::set<std::string> NamesOf(const Definitions& d, const char* kind) {
  std::set<std::string> names;
  for (const DefinitionRecord& r : d.objects) {
    if (r.kind == kind) names.insert(r.name);
  }
  return names;
}

void SetNames(Connection& connection, const char* charset) {
  connection.Exec(std::string("SET NAMES ") + charset);
}

}  // namespace

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
  // The restore creates every object as the restoring account: the DEFINER
  // clauses that newer entries keep are taken out before the check.
  for (DefinitionRecord& r : definitions->objects) r.text = StripDefiner(r.text);
  return definitions;
}

void ValidateDefinitions(const Definitions& d, const std::set<std::string>& forbidden) {
  if (!IsPlainWord(d.charset, false) || !IsPlainWord(d.collation, false)) {
    Refuse("the database's character set or collation is not a plain name");
  }
  std::set<std::string> tables = NamesOf(d, "table");
  std::set<std::string> sequences = NamesOf(d, "sequence");
  std::set<std::pair<std::string, std::string>> seen;
  for (const DefinitionRecord& r : d.objects) {
    const std::string what = Printable(r.kind + " " + QuoteIdentifier(r.name));
    if (r.name.empty() || !seen.insert({r.kind, r.name}).second) Refuse(what + " is not unique");
    if (!r.sql_mode.empty() && !IsPlainWord(r.sql_mode, true)) {
      Refuse(what + ": its sql_mode is not a list of plain names");
    }
    if (r.kind == "sequence-next") {
      if (sequences.count(r.name) == 0 || !IsInteger(r.text)) {
        Refuse(what + " is not the next value of a sequence of the archive");
      }
      continue;
    }
    std::string problem = Checker(r, forbidden).Check(tables);
    if (!problem.empty()) Refuse(what + " " + problem);
  }
}

SchemaBuilder::SchemaBuilder(ArchiveReader& reader, Connection& connection, std::string target,
                             std::ostream* err, const DefinitionsGate& gate)
    : connection_(connection), target_(std::move(target)), err_(err) {
  std::string digest;
  definitions_ = ReadArchiveDefinitions(reader, &digest);
  if (!definitions_) return;
  // Definitions that may not run are not looked into any further.
  refusal_ = gate(digest);
  if (!refusal_.empty()) return;
  // A statement may name no other database of this server, nor the one the
  // archive was made from when restoring under another name.
  std::set<std::string> forbidden = {"mysql", "information_schema", "performance_schema", "sys"};
  for (const Connection::Row& row : connection_.Query("SHOW DATABASES")) {
    forbidden.insert(Lower(row[0].value_or("")));
  }
  forbidden.insert(Lower(definitions_->database));
  forbidden.erase(Lower(target_));
  ValidateDefinitions(*definitions_, forbidden);
}

SchemaBuilder::~SchemaBuilder() {
  if (!created_) return;
  try {
    connection_.Exec("DROP DATABASE IF EXISTS " + QuoteIdentifier(target_));
  } catch (const Failure& failure) {
    if (err_ != nullptr) {
      *err_ << "warning: could not drop the half-made database " << target_ << " ("
            << failure.description() << "): drop it by hand before a retry\n";
    }
  }
}

void SchemaBuilder::RequireAllowed() const {
  if (!refusal_.empty()) throw Failure(kErrDefinitions, refusal_);
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
  const std::string left_out_view = "view " + QuoteName(name);
  return NamesOf(*definitions_, "view").count(name) > 0 ||
         std::any_of(definitions_->left_out.begin(), definitions_->left_out.end(),
                     [&](const DefinitionRecord& r) { return r.name == left_out_view; });
}

void SchemaBuilder::CreateDatabase() {
  RequireAllowed();
  // IF NOT EXISTS is not used: a database made meanwhile by someone else is
  // not ours to drop.
  connection_.Exec("CREATE DATABASE " + QuoteIdentifier(target_) + " CHARACTER SET " +
                   definitions_->charset + " COLLATE " + definitions_->collation);
  created_ = true;
}

void SchemaBuilder::Run(const DefinitionRecord& record) {
  if (!record.sql_mode.empty())
    connection_.Exec("SET SESSION sql_mode = '" + record.sql_mode + "'");
  std::optional<Failure> failed;
  try {
    connection_.Exec(record.text, "creating " + record.kind + " " + record.name);
  } catch (const Failure& failure) {
    failed = failure;  // raised once the session's sql_mode is back
  }
  if (!record.sql_mode.empty()) connection_.Exec("SET SESSION sql_mode = 'NO_AUTO_VALUE_ON_ZERO'");
  if (failed) throw *failed;
}

void SchemaBuilder::CreateSequences() {
  RequireAllowed();
  SetNames(connection_, "utf8mb4");
  for (const DefinitionRecord& r : definitions_->objects) {
    if (r.kind == "sequence") Run(r);
    if (r.kind == "sequence-next") {
      connection_.Exec("ALTER SEQUENCE " + QuoteIdentifier(r.name) + " RESTART WITH " + r.text);
    }
  }
  SetNames(connection_, "binary");
}

void SchemaBuilder::CreateTables(const std::vector<std::string>& tables, bool verbose) {
  RequireAllowed();
  SetNames(connection_, "utf8mb4");
  for (const DefinitionRecord& r : definitions_->objects) {
    if (r.kind != "table" || std::find(tables.begin(), tables.end(), r.name) == tables.end()) {
      continue;
    }
    if (verbose && err_ != nullptr) {
      *err_ << "table " << r.name << ": not in database " << target_
            << ", created from the archive's definition\n";
    }
    Run(r);
  }
  SetNames(connection_, "binary");
}

void SchemaBuilder::CreateObjects() {
  RequireAllowed();
  SetNames(connection_, "utf8mb4");
  // A view may read another view: those that fail are tried again while
  // each round makes at least one more.
  std::vector<const DefinitionRecord*> views;
  for (const DefinitionRecord& r : definitions_->objects) {
    if (r.kind == "view") views.push_back(&r);
  }
  while (!views.empty()) {
    std::vector<const DefinitionRecord*> failed;
    for (const DefinitionRecord* view : views) {
      try {
        connection_.Exec(view->text);
      } catch (const Failure&) {
        failed.push_back(view);  // tried again next round
      }
    }
    if (failed.size() == views.size()) Run(*failed.front());  // raises its error
    views = std::move(failed);
  }
  for (const char* kind : {"trigger", "procedure", "function", "event"}) {
    for (const DefinitionRecord& r : definitions_->objects) {
      if (r.kind == kind) Run(r);
    }
  }
  SetNames(connection_, "binary");
  if (err_ != nullptr) {
    for (const DefinitionRecord& r : definitions_->left_out) {
      *err_ << "warning: not in the archive (the backup account lacked " << Printable(r.text)
            << "): " << Printable(r.name) << "\n";
    }
  }
}

}  // namespace vaultrun::restore
