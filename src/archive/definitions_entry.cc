#include "archive/definitions_entry.h"

#include <charconv>

namespace vaultrun {
namespace {

constexpr std::string_view kHeader = "vaultrun definitions 2\n";
constexpr std::string_view kHeaderVersion1 = "vaultrun definitions 1\n";
constexpr std::string_view kEnd = "end\n";

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

namespace {

// Where the DEFINER clause of a statement is: [*begin, *end) spans
// "DEFINER=user@host" and the blanks after it; *user and *host the two
// words (host_size 0 for a role). False when there is none.
struct DefinerClause {
  size_t begin = 0, end = 0;
  size_t user = 0, user_size = 0;
  size_t host = 0, host_size = 0;
};

bool FindDefiner(const std::string& statement, DefinerClause* clause) {
  // "CREATE [OR REPLACE] [ALGORITHM=...] DEFINER=`u`@`h` [SQL SECURITY ...] VIEW ...":
  // the clause comes before the first quoted name, so a DEFINER inside a
  // body or a name is never taken for it.
  static const std::string kClause = "DEFINER=";
  size_t at = statement.find(kClause);
  if (at == std::string::npos || at == 0 || !IsSpace(statement[at - 1])) return false;
  if (statement.find_first_of("`'\"", 0) < at) return false;
  size_t end = at + kClause.size();
  clause->user = end;
  clause->user_size = WordLength(statement, end);
  if (clause->user_size == 0) return false;
  end += clause->user_size;
  clause->host_size = 0;
  if (end < statement.size() && statement[end] == '@') {
    clause->host = end + 1;
    clause->host_size = WordLength(statement, end + 1);
    if (clause->host_size == 0) return false;
    end += 1 + clause->host_size;
  }
  while (end < statement.size() && IsSpace(statement[end])) ++end;
  clause->begin = at;
  clause->end = end;
  return true;
}

// A word as WordLength found it, without its quotes (a quote doubled
// inside stands for one).
std::string Unquoted(std::string_view word) {
  if (word.size() < 2 || (word[0] != '`' && word[0] != '\'' && word[0] != '"')) {
    return std::string(word);
  }
  const char quote = word[0];
  std::string out;
  for (size_t i = 1; i + 1 < word.size(); ++i) {
    out += word[i];
    if (word[i] == quote) ++i;
  }
  return out;
}

}  // namespace

std::string StripDefiner(const std::string& statement) {
  DefinerClause clause;
  if (!FindDefiner(statement, &clause)) return statement;
  return statement.substr(0, clause.begin) + statement.substr(clause.end);
}

std::optional<Account> StoredDefiner(const std::string& statement) {
  DefinerClause clause;
  if (!FindDefiner(statement, &clause)) return std::nullopt;
  std::string_view text(statement);
  Account account{Unquoted(text.substr(clause.user, clause.user_size)), std::nullopt};
  if (clause.host_size > 0) account.host = Unquoted(text.substr(clause.host, clause.host_size));
  return account;
}

}  // namespace vaultrun
