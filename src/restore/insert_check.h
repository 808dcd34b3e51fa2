// The one statement shape an SQL data entry may hold, checked before the
// statement reaches the server: an INSERT into the entry's own table, an
// optional list of column names, and tuples of literal values as the
// exporter writes them (numbers, quoted strings with backslash escapes,
// X'..' and 0x.. hex, b'..' bits, null). Anything else (a SELECT, a
// function call, a second statement) is refused, so that an archive can
// only ever add rows to the table it names.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vaultrun::restore {

enum class LiteralKind { kNull, kNumber, kQuoted, kHex, kBits };

// One value of a tuple: where it lies in the statement.
struct Literal {
  size_t offset = 0;
  size_t size = 0;
  LiteralKind kind = LiteralKind::kNull;
};

struct InsertStatement {
  bool has_column_list = false;
  std::vector<std::string> columns;  // the listed names, unquoted
  size_t width = 0;                  // values per tuple (every tuple the same)
  std::vector<Literal> values;       // tuple after tuple
};

// Checks one statement (without its closing ';') against the shape above
// for table. Returns "" and fills *out when it holds, else says what is
// wrong and where.
std::string CheckInsert(std::string_view statement, std::string_view table, InsertStatement* out);

// How one listed column's values are sent on.
struct ColumnPlan {
  std::string name;
  bool keep = true;          // false: the server computes it (generated)
  bool text_latin1 = false;  // quoted values are the type's text form
};

// The statement rebuilt with an explicit column list of the kept columns
// and only their values; quoted values of text_latin1 columns get a latin1
// introducer, so that a type with a binary form of its own (INET6, UUID)
// reads them as text. plan has one item per value of a tuple.
std::string RebuildInsert(std::string_view statement, std::string_view table,
                          const InsertStatement& insert, const std::vector<ColumnPlan>& plan);

}  // namespace vaultrun::restore
