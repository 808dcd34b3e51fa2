// The database's definitions, stored beside the rows in every run's archive
// so that one archive is enough to rebuild the database on an empty server:
// tables, views, sequences with their next value, triggers, routines and
// events, plus the database's default character set and collation.
//
// The entry "vaultrun-definitions.txt" holds no "/", so no table's data
// entry ("<db>/<table>.sql") can ever have its name. Its text: the line
// "vaultrun definitions 2", then one record per object, then the line "end".
// A record is the line "<kind> <a> <b> <c>" (three decimal byte counts),
// then a bytes of name, LF, b bytes of sql_mode, LF, c bytes of text, LF.
// Kinds: database (text "<charset> <collation>"), table, view, sequence,
// trigger, procedure, function, event (text: the server's CREATE statement,
// DEFINER and SQL SECURITY included), sequence-next (text: the next value
// to hand out) and left-out (name: what could not be read, text: the
// privilege that would include it).
//
// The sql_mode of a CREATE record is the one it is to run under, exactly:
// a trigger's, routine's or event's own (the empty mode is empty), and for
// tables, sequences and views the empty mode that the server printed them
// under. Version 1 (still read) stored statements without their DEFINER
// clause, and its empty sql_mode did not say which mode was meant.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/process.h"

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
  int version = 2;  // of the entry it was read from
};

std::string BuildDefinitions(const Definitions& definitions);

// Nothing when the text is not exactly in the format above.
std::optional<Definitions> ParseDefinitions(std::string_view text);

// The statement without its DEFINER=user@host clause (found among the words
// between CREATE and the object's kind), so that the object belongs to the
// account that restores it.
std::string StripDefiner(const std::string& statement);

// Reads every definition of the session's database. Objects the account
// may not read are listed in left_out; any other failure is raised.
Definitions ReadDefinitions(Process& process);

// The one warning entry naming what was left out ("" when nothing was).
std::string LeftOutWarning(const Definitions& definitions);

// The tables (of those given) where the server shows a 4-byte character
// (beyond U+FFFF: emoji, rarer CJK) as "?" in a column default or an ENUM or
// SET member of a column whose character set can hold it, so that their
// stored definitions hold "?" in its place.
std::vector<std::string> TablesWithLostCharacters(Process& process,
                                                  const std::vector<std::string>& tables);
// The one warning entry naming those tables ("" when there are none).
std::string LostCharactersWarning(const std::string& database,
                                  const std::vector<std::string>& tables);

// The run's definitions entry, or nothing when the setting
// "store_definitions" is "0". Writes the warning entry for what was left
// out (the run goes on).
std::optional<std::string> ReadDefinitionsEntry(Process& process);

// Packs the entry into the run's archive.
class RunArchive;
void PackDefinitions(RunArchive& archive, const std::string& entry);

}  // namespace vaultrun
