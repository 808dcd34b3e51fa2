// Rebuilding a database from the definitions an archive carries: the entry
// is read and every statement in it checked before anything is written, and
// objects are created in an order that lets the rows load without firing
// triggers: sequences and tables first, then (after the rows) views,
// triggers, routines and events.
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "archive/definitions_entry.h"
#include "archive/reader.h"
#include "restore/connection.h"

namespace vaultrun::restore {

// The definitions entry of the archive reader has open, or nothing when it
// has none; *digest: the SHA-256 (hex) of its text as read. Raises a
// Failure when the entry does not parse.
std::optional<Definitions> ReadArchiveDefinitions(ArchiveReader& reader, std::string* digest);

// Decides whether definitions with the digest given may run: "" when they
// may, else the refusal (restore/trust.h).
using DefinitionsGate = std::function<std::string(const std::string& digest)>;

// Raises a Failure naming the first record that is not a CREATE of its
// kind for a plain name of this database, that qualifies a name with one of
// the forbidden databases, or that holds a word that reaches beyond the
// database (GRANT, PREPARE, LOAD_FILE, executable comments, ...).
void ValidateDefinitions(const Definitions& definitions,
                         const std::set<std::string>& forbidden_databases);

// The definitions of one archive, checked, for one target database.
class SchemaBuilder {
 public:
  // Reads the archive's definitions and asks gate whether they may run;
  // those that may are checked against every other database of the server,
  // and a check that fails raises before anything is written. Those that
  // may not are only consulted (which names are tables, which views), and
  // every Create* raises the gate's refusal.
  SchemaBuilder(ArchiveReader& reader, Connection& connection, std::string target,
                std::ostream* err, const DefinitionsGate& gate);
  // Drops the database when CreateDatabase made it and Keep was not called.
  ~SchemaBuilder();
  SchemaBuilder(const SchemaBuilder&) = delete;
  SchemaBuilder& operator=(const SchemaBuilder&) = delete;

  bool has_definitions() const { return definitions_.has_value(); }
  // Whether the gate let the definitions run.
  bool allowed() const { return refusal_.empty(); }
  // Raises the gate's refusal unless the definitions may run.
  void RequireAllowed() const;
  const std::string& refusal() const { return refusal_; }
  bool IsTable(const std::string& name) const;
  // Every table of the definitions, in their order.
  std::vector<std::string> Tables() const;
  bool IsSequence(const std::string& name) const;
  // A view (read or left out): a data entry of one is not loaded as rows.
  // A sequence's entry is: its one row sets where the sequence goes on.
  bool IsDefinedView(const std::string& name) const;

  // Creates the target with the stored character set and collation.
  void CreateDatabase();
  // Creates the sequences with their next value in the connection's
  // current database (before the tables: a column's default may take a
  // sequence's next value).
  void CreateSequences();
  // Creates the named tables in the connection's current database,
  // announcing each when verbose.
  void CreateTables(const std::vector<std::string>& tables, bool verbose);
  // Views, triggers, routines and events, after the rows.
  void CreateObjects();
  // The restore succeeded: a database it made stays.
  void Keep() { created_ = false; }

 private:
  void Run(const DefinitionRecord& record);

  Connection& connection_;
  std::string target_;
  std::ostream* err_;
  std::optional<Definitions> definitions_;
  std::string refusal_;
  bool created_ = false;
};

}  // namespace vaultrun::restore
