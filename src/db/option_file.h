// MariaDB's option files (my.ini, my.cnf) as text: "[group]" headers,
// "key = value" and bare "key" lines, "#" and ";" comments, "!include FILE"
// and "!includedir FOLDER". A pure parser: reading the files, and what the
// values are used for, is the caller's (db/client_options.h).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vaultrun::db {

struct OptionLine {
  enum class Kind { kOption, kInclude, kIncludeDir };
  Kind kind = Kind::kOption;
  size_t line = 0;  // 1-based
  // An option's name with "_" written "-" and without a "loose-" prefix;
  // empty for the includes.
  std::string key;
  // An option's value (quotes taken off, escapes resolved), nothing for a
  // bare key; the file or folder of an include.
  std::optional<std::string> value;
};

struct ParsedOptionFile {
  // The options of the groups asked for and every include, in file order.
  std::vector<OptionLine> lines;
  // "line N: what" for each line that could not be read.
  std::vector<std::string> unreadable;
};

// Parses an option file's text, keeping the options of the named groups
// (compared without regard to letter case). As MariaDB's own clients read
// such files: lines end at LF (a CR before it is dropped), a "#" outside
// quotes ends the line, a value in quotes keeps its spaces, and \n \t \r \b
// \s \" \' \\ in a value stand for their characters (any other backslash
// stays). An option before the first group, a group without "]", an empty
// key and an unknown "!" directive are unreadable lines.
ParsedOptionFile ParseOptionFile(std::string_view text, const std::vector<std::string>& groups);

}  // namespace vaultrun::db
