// Rebuilding a database from the definitions an archive carries. Every
// statement runs through a limited account (restore/limited_account.h)
// under exactly the sql_mode it was stored with, and must make exactly the
// object its record names, as information_schema shows it after. Objects
// come in an order that lets the rows load without firing triggers and
// lets each object find what it uses: sequences and tables, then (after
// the rows) routines, views (a view over a view after it), triggers and
// events. The code objects then get their definers: the ones the archive
// stores, or the account that --definer names.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "archive/definitions_entry.h"
#include "archive/reader.h"
#include "restore/connection.h"
#include "restore/limited_account.h"

namespace vaultrun::restore {

inline constexpr int kErrDefinitions = 3003;

// The definitions entry of the archive reader has open, or nothing when it
// has none; *digest: the SHA-256 (hex) of its text as read. Raises a
// Failure when the entry does not parse.
std::optional<Definitions> ReadArchiveDefinitions(ArchiveReader& reader, std::string* digest);

// Decides whether definitions with the digest given may run: "" when they
// may, else the refusal (restore/trust.h).
using DefinitionsGate = std::function<std::string(const std::string& digest)>;

// Raises a Failure naming the first record that the entry's structure does
// not allow: an unknown kind, a name twice, a character set that is not a
// plain name, a next value that is not a number of a sequence of the
// archive. What the statements themselves may do is the server's to say.
void ValidateDefinitions(const Definitions& definitions);

struct SchemaOptions {
  // The account every view, trigger, routine and event is created with, in
  // place of the stored definers (--definer).
  std::optional<Account> definer;
  // Events are created disabled (a scratch database, where they must never
  // fire).
  bool events_disabled = false;
};

// The account text as a message shows it: user@host.
std::string AccountText(const Account& account);

// The definitions of one archive, for one target database.
class SchemaBuilder {
 public:
  // Reads the archive's definitions and asks gate whether they may run;
  // those that may have their structure checked, and a check that fails
  // raises before anything is written. Those that may not are only
  // consulted (which names are tables, which views), and Check and every
  // Create* raise the gate's refusal.
  SchemaBuilder(ArchiveReader& reader, Connection& connection, std::string target,
                SchemaOptions options, std::ostream* err, const DefinitionsGate& gate);
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

  // Runs every statement of the definitions as CreateDatabase through
  // CreateObjects would, in a scratch database of its own that is dropped
  // again (no rows, events disabled): raises naming the first object that
  // cannot be made, before the target is touched. Raises
  // kErrNoLimitedAccount when the restoring account cannot make the check.
  void Check();
  // Raises unless every view, trigger, routine and event has a definer:
  // the stored one or --definer's (entries of older runs store none).
  void RequireDefiners() const;

  // Creates the target with the stored character set and collation.
  void CreateDatabase();
  // Creates the sequences with their next value in the target (before the
  // tables: a column's default may take a sequence's next value).
  void CreateSequences();
  // Creates the named tables in the target, announcing each when verbose.
  void CreateTables(const std::vector<std::string>& tables, bool verbose);
  // Routines, views, triggers and events, after the rows; then gives each
  // its definer and says which.
  void CreateObjects();
  // The restore succeeded (or another owner drops the database): a
  // database CreateDatabase made stays.
  void Keep() { created_ = false; }

 private:
  // Runs a record's statement through the limited account in database and
  // checks that it made exactly that object.
  void RunLimited(LimitedAccount& limited, const std::string& database,
                  const DefinitionRecord& record);
  void CreateSequencesIn(LimitedAccount& limited, const std::string& database);
  // Phase one of the code objects: made by the limited account (their
  // definer); the records in creation order.
  std::vector<const DefinitionRecord*> CreateCodeIn(LimitedAccount& limited,
                                                    const std::string& database,
                                                    bool events_disabled);
  // The definer the record's object is to run as: --definer's, else the
  // stored one; nothing when neither is known.
  std::optional<Account> DefinerOf(const DefinitionRecord& record) const;
  // Phase two: the object made again by the restoring account, as the
  // server printed it, with its definer in place of the limited account.
  void GiveDefiner(const LimitedAccount& limited, const DefinitionRecord& record,
                   const Account& definer, std::set<std::string>* missing);

  Connection& connection_;
  std::string target_;
  SchemaOptions options_;
  std::ostream* err_;
  std::optional<Definitions> definitions_;
  std::string refusal_;
  bool created_ = false;
  // The target holds only what this restore made.
  bool fresh_ = false;
};

}  // namespace vaultrun::restore
