// The database's definitions, stored beside the rows in every run's archive
// so that one archive is enough to rebuild the database on an empty server:
// tables, views, sequences with their next value, triggers, routines and
// events, plus the database's default character set and collation.
//
// The entry "vaultrun-definitions.txt" holds no "/", so no table's data
// entry ("<db>/<table>.sql") can ever have its name. Its text: the line
// "vaultrun definitions 1", then one record per object, then the line "end".
// A record is the line "<kind> <a> <b> <c>" (three decimal byte counts),
// then a bytes of name, LF, b bytes of sql_mode, LF, c bytes of text, LF.
// Kinds: database (text "<charset> <collation>"), table, view, sequence,
// trigger, procedure, function, event (text: the CREATE statement without
// its DEFINER clause), sequence-next (text: the next value to hand out) and
// left-out (name: what could not be read, text: the privilege that would
// include it).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vaultrun {

inline constexpr const char kDefinitionsEntry[] = "vaultrun-definitions.txt";

struct DefinitionRecord {
  std::string kind;
  std::string name;
  std::string sql_mode;
  std::string text;
  bool operator==(const DefinitionRecord& other) const {
    return kind == other.kind && name == other.name && sql_mode == other.sql_mode &&
           text == other.text;
  }
};

struct Definitions {
  std::string database;
  std::string charset;
  std::string collation;
  std::vector<DefinitionRecord> objects;  // in creation order within each kind
  std::vector<DefinitionRecord> left_out;
};

std::string BuildDefinitions(const Definitions& definitions);

// Nothing when the text is not exactly in the format above.
std::optional<Definitions> ParseDefinitions(std::string_view text);

}  // namespace vaultrun
