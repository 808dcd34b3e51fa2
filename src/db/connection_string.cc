#include "db/connection_string.h"

#include <cctype>

namespace vaultrun::db {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::optional<std::string> ParsedConnectionString::Find(std::string_view key) const {
  for (const ConnectionStringPair& pair : pairs) {
    if (EqualsIgnoreCase(pair.key, key)) return pair.value;
  }
  return std::nullopt;
}

ParsedConnectionString ParseConnectionString(std::string_view text) {
  ParsedConnectionString result;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start = pos;
    size_t eq = text.find_first_of("=;", pos);
    if (eq == std::string_view::npos || text[eq] == ';') {
      // A piece without "=": blanks alone are an empty piece, anything else
      // cannot be read.
      size_t end = eq == std::string_view::npos ? text.size() : eq;
      std::string_view piece = text.substr(start, end - start);
      if (!Trim(piece).empty()) result.unread.emplace_back(piece);
      pos = end + 1;
      continue;
    }
    std::string_view key = Trim(text.substr(start, eq - start));
    pos = eq + 1;
    // A value is in braces only when "{" comes right after the "=", so
    // that every value that QuoteConnectionValue leaves plain reads back
    // unchanged.
    size_t value_start = pos;
    std::string value;
    bool readable = !key.empty();
    if (value_start < text.size() && text[value_start] == '{') {
      size_t i = value_start + 1;
      bool closed = false;
      while (i < text.size()) {
        if (text[i] == '}') {
          if (i + 1 < text.size() && text[i + 1] == '}') {
            value.push_back('}');
            i += 2;
            continue;
          }
          closed = true;
          ++i;
          break;
        }
        value.push_back(text[i]);
        ++i;
      }
      if (!closed) {
        result.unread.emplace_back(text.substr(start));
        break;
      }
      // Only blanks may follow the closing brace before the next ";".
      size_t end = text.find(';', i);
      if (end == std::string_view::npos) end = text.size();
      if (!Trim(text.substr(i, end - i)).empty()) readable = false;
      pos = end + 1;
      if (!readable) {
        result.unread.emplace_back(text.substr(start, end - start));
        continue;
      }
    } else {
      size_t end = text.find(';', pos);
      if (end == std::string_view::npos) end = text.size();
      value.assign(text.substr(pos, end - pos));
      if (!readable) result.unread.emplace_back(text.substr(start, end - start));
      pos = end + 1;
      if (!readable) continue;
    }
    result.pairs.push_back({std::string(key), std::move(value)});
  }
  return result;
}

std::string QuoteConnectionValue(std::string_view value) {
  bool needs_braces =
      value.find(';') != std::string_view::npos || (!value.empty() && value.front() == '{');
  if (!needs_braces) return std::string(value);
  std::string quoted = "{";
  for (char c : value) {
    quoted.push_back(c);
    if (c == '}') quoted.push_back('}');
  }
  quoted.push_back('}');
  return quoted;
}

}  // namespace vaultrun::db
