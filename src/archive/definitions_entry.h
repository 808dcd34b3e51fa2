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

// Nothing when the text is not exactly in the format above (version 2, or
// version 1 of older runs).
std::optional<Definitions> ParseDefinitions(std::string_view text);

// The statement without its DEFINER=user@host clause (found among the words
// between CREATE and the object's kind, before any quoted name or text).
std::string StripDefiner(const std::string& statement);

// An account as a DEFINER clause names it: a user and its host, or a role
// (no host).
struct Account {
  std::string user;
  std::optional<std::string> host;
  bool operator==(const Account& other) const { return user == other.user && host == other.host; }
};

// The account that the statement's DEFINER clause names (the clause that
// StripDefiner takes out), unquoted; nothing when it has none.
std::optional<Account> StoredDefiner(const std::string& statement);

}  // namespace vaultrun
