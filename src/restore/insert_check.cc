#include "restore/insert_check.h"

#include "restore/connection.h"

namespace vaultrun::restore {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsWordChar(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' ||
         static_cast<unsigned char>(c) >= 0x80;
}
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// A cursor over the statement; every method either consumes what it
// names and returns true, or leaves the cursor where it was.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  size_t at() const { return at_; }
  bool AtEnd() const { return at_ == text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[at_]; }

  void Spaces() {
    while (!AtEnd() && (text_[at_] == ' ' || text_[at_] == '\t')) ++at_;
  }
  bool Char(char c) {
    if (Peek() != c) return false;
    ++at_;
    return true;
  }
  // A keyword, in any case, not followed by more of a word.
  bool Keyword(std::string_view word) {
    if (text_.size() - at_ < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i) {
      if (Lower(text_[at_ + i]) != word[i]) return false;
    }
    size_t end = at_ + word.size();
    if (end < text_.size() && IsWordChar(text_[end])) return false;
    at_ = end;
    return true;
  }
  // A name in backquotes, doubled backquotes inside.
  bool QuotedName(std::string* name) {
    size_t p = at_;
    if (p >= text_.size() || text_[p] != '`') return false;
    name->clear();
    for (++p; p < text_.size(); ++p) {
      if (text_[p] != '`') {
        name->push_back(text_[p]);
      } else if (p + 1 < text_.size() && text_[p + 1] == '`') {
        name->push_back('`');
        ++p;
      } else {
        at_ = p + 1;
        return true;
      }
    }
    return false;
  }
  bool Value(Literal* literal) {
    size_t start = at_;
    bool ok =
        Null(literal) || Quoted(literal) || Prefixed('x', IsHexDigit, LiteralKind::kHex, literal) ||
        Prefixed('b', IsBit, LiteralKind::kBits, literal) || ZeroX(literal) || Number(literal);
    if (!ok) return false;
    literal->offset = start;
    literal->size = at_ - start;
    // A literal ends at a separator, never inside a longer expression.
    Spaces();
    if (Peek() != ',' && Peek() != ')') {
      at_ = start;
      return false;
    }
    return true;
  }

 private:
  static bool IsBit(char c) { return c == '0' || c == '1'; }

  bool Null(Literal* literal) {
    if (!Keyword("null")) return false;
    literal->kind = LiteralKind::kNull;
    return true;
  }
  bool Quoted(Literal* literal) {
    if (Peek() != '\'') return false;
    for (size_t p = at_ + 1; p < text_.size(); ++p) {
      if (text_[p] == '\\') {
        ++p;  // the escaped byte, whatever it is
      } else if (text_[p] == '\'') {
        if (p + 1 < text_.size() && text_[p + 1] == '\'') {
          ++p;
        } else {
          at_ = p + 1;
          literal->kind = LiteralKind::kQuoted;
          return true;
        }
      }
    }
    return false;
  }
  // X'0AFF' or b'0101': the letter in either case, then digits in quotes.
  bool Prefixed(char letter, bool (*digit)(char), LiteralKind kind, Literal* literal) {
    if (Lower(Peek()) != letter || at_ + 1 >= text_.size() || text_[at_ + 1] != '\'') return false;
    size_t p = at_ + 2;
    while (p < text_.size() && digit(text_[p])) ++p;
    if (p >= text_.size() || text_[p] != '\'') return false;
    if (kind == LiteralKind::kHex && (p - at_ - 2) % 2 != 0) return false;
    at_ = p + 1;
    literal->kind = kind;
    return true;
  }
  bool ZeroX(Literal* literal) {
    if (text_.substr(at_, 2) != "0x") return false;
    size_t p = at_ + 2;
    while (p < text_.size() && IsHexDigit(text_[p])) ++p;
    if (p == at_ + 2 || (p < text_.size() && IsWordChar(text_[p]))) return false;
    at_ = p;
    literal->kind = LiteralKind::kHex;
    return true;
  }
  size_t Digits(size_t p) const {
    while (p < text_.size() && IsDigit(text_[p])) ++p;
    return p;
  }
  // -12, 3.25, .5, 1.5e+20
  bool Number(Literal* literal) {
    size_t p = at_;
    if (p < text_.size() && (text_[p] == '-' || text_[p] == '+')) ++p;
    size_t whole = Digits(p);
    size_t end = whole;
    if (end < text_.size() && text_[end] == '.') end = Digits(end + 1);
    bool any_digit = whole > p || end > whole + 1;
    if (!any_digit) return false;
    if (end < text_.size() && (text_[end] == 'e' || text_[end] == 'E')) {
      size_t q = end + 1;
      if (q < text_.size() && (text_[q] == '-' || text_[q] == '+')) ++q;
      size_t exponent = Digits(q);
      if (exponent == q) return false;
      end = exponent;
    }
    if (end < text_.size() && IsWordChar(text_[end])) return false;
    at_ = end;
    literal->kind = LiteralKind::kNumber;
    return true;
  }

  std::string_view text_;
  size_t at_ = 0;
};

std::string At(const Scanner& scanner, const std::string& what) {
  return "at byte " + std::to_string(scanner.at() + 1) + ": " + what;
}

}  // namespace

std::string CheckInsert(std::string_view statement, std::string_view table, InsertStatement* out) {
  Scanner scan(statement);
  std::string name;
  *out = InsertStatement();
  scan.Spaces();
  if (!scan.Keyword("insert")) return At(scan, "not an INSERT");
  scan.Spaces();
  if (!scan.Keyword("into")) return At(scan, "expected INTO");
  scan.Spaces();
  Scanner at_name = scan;
  if (!scan.QuotedName(&name) || name != table) {
    return At(at_name, "not an insert into " + QuoteIdentifier(table));
  }
  scan.Spaces();
  if (scan.Char('(')) {
    out->has_column_list = true;
    do {
      scan.Spaces();
      if (!scan.QuotedName(&name)) return At(scan, "expected a column name in backquotes");
      out->columns.push_back(name);
      scan.Spaces();
    } while (scan.Char(','));
    if (!scan.Char(')')) return At(scan, "expected ) after the column list");
    scan.Spaces();
  }
  if (!scan.Keyword("values")) return At(scan, "expected VALUES");
  size_t tuples = 0;
  do {
    scan.Spaces();
    if (!scan.Char('(')) return At(scan, "expected ( before a tuple of values");
    size_t width = 0;
    do {
      scan.Spaces();
      Literal literal;
      if (!scan.Value(&literal)) return At(scan, "not a literal value");
      out->values.push_back(literal);
      ++width;
    } while (scan.Char(','));
    if (!scan.Char(')')) return At(scan, "expected ) after a tuple");
    if (tuples == 0) out->width = width;
    if (width != out->width) return At(scan, "tuples of different sizes");
    ++tuples;
    scan.Spaces();
  } while (scan.Char(','));
  if (!scan.AtEnd()) return At(scan, "more after the last tuple");
  if (out->has_column_list && out->columns.size() != out->width) {
    return "the column list names " + std::to_string(out->columns.size()) +
           " columns, the tuples " + "hold " + std::to_string(out->width) + " values";
  }
  return "";
}

std::string RebuildInsert(std::string_view statement, std::string_view table,
                          const InsertStatement& insert, const std::vector<ColumnPlan>& plan) {
  std::string sql = "insert into " + QuoteIdentifier(table) + " (";
  for (const ColumnPlan& column : plan) {
    if (column.keep) sql += QuoteIdentifier(column.name) + ",";
  }
  sql.back() = ')';
  sql += " values ";
  sql.reserve(statement.size() + sql.size());
  for (size_t i = 0; i < insert.values.size(); ++i) {
    size_t column = i % insert.width;
    if (column == 0) sql += i == 0 ? "(" : "),(";
    const ColumnPlan& how = plan[column];
    if (!how.keep) continue;
    if (sql.back() != '(') sql += ',';
    const Literal& value = insert.values[i];
    if (how.text_latin1 && value.kind == LiteralKind::kQuoted) sql += "_latin1";
    sql.append(statement.substr(value.offset, value.size));
  }
  sql += ')';
  return sql;
}

}  // namespace vaultrun::restore
