// Connection strings as an ODBC driver reads them: ";"-separated KEY=value
// pairs, keys case-insensitive, a value in braces may hold ";" (a "}" inside
// is doubled). Pure text functions, no database access.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vaultrun::db {

struct ConnectionStringPair {
  std::string key;    // as written, blanks around it removed
  std::string value;  // braces removed, "}}" turned into "}"
};

struct ParsedConnectionString {
  // The pairs in the order written.
  std::vector<ConnectionStringPair> pairs;
  // The pieces that could not be read as a pair (no "=", an empty key, an
  // unterminated brace, text after a closing brace), as written.
  std::vector<std::string> unread;

  // The value of the first pair whose key equals key ignoring case (the
  // first occurrence wins, as in ODBC).
  std::optional<std::string> Find(std::string_view key) const;
};

ParsedConnectionString ParseConnectionString(std::string_view text);

// ASCII letters compare without regard to case (keys, column names).
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// The value as it must be written into a connection string: wrapped in
// braces (every "}" doubled) when it holds ";" or begins with "{",
// otherwise unchanged.
std::string QuoteConnectionValue(std::string_view value);

}  // namespace vaultrun::db
