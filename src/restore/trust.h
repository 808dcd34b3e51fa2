// Where an archive comes from, decided before a restore or a verify writes
// anything: an archive whose tag verifies with the key held (this
// installation's, or the exported copy that --key-file names) was made by
// that installation, and each of its entries is checked against its
// manifest as it is read. Definitions run only from such an archive, or
// when the user names the exact definitions with --trust-definitions=DIGEST
// (the digest --show-definitions prints beside them). Rows of an archive
// that is not authenticated go into an existing schema only with
// --unauthenticated.
#pragma once

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "archive/manifest.h"
#include "archive/reader.h"
#include "platform/archive_key.h"

namespace vaultrun::restore {

// What the user holds and allows.
struct TrustOptions {
  ArchiveKeyResult key;           // the key held; not ready when there is none
  std::string trust_definitions;  // --trust-definitions=DIGEST, or ""
  bool unauthenticated = false;   // --unauthenticated
};

// Each table's row count, by table name.
using RowCounts = std::map<std::string, uint64_t>;

class ArchiveTrust {
 public:
  // Reads reader's mark and manifest and checks the tag with the key held.
  // Raises a Failure (naming the entry) when the archive holds a manifest
  // that does not describe it; from then on reader checks every entry it
  // reads against the manifest.
  ArchiveTrust(ArchiveReader& reader, TrustOptions options);

  bool authenticated() const { return origin_.authenticated; }
  // Why not, with what the user can do about it.
  std::string WhyNot() const;
  // Every table's rows from the manifest, else those the mark lists.
  RowCounts Counts() const;
  bool has_manifest() const { return origin_.manifest.has_value(); }

  // "" when definitions whose entry's text has this SHA-256 (hex) may run,
  // else the refusal, saying how to proceed.
  std::string DefinitionsRefusal(const std::string& digest) const;
  // Raises unless rows may go into an existing schema (target: what, for
  // the message, e.g. "database game").
  void RequireRowsAllowed(const std::string& target) const;
  // Tells err that the rows are not authenticated, when they are not.
  void Notice(std::ostream* err) const;

 private:
  TrustOptions options_;
  ArchiveOrigin origin_;
  std::string archive_;
};

// The SHA-256 (hex) of a definitions entry's text, as --show-definitions
// prints it and --trust-definitions takes it.
std::string DefinitionsDigest(std::string_view text);

// Text from an archive made safe for a terminal: control characters
// (C0, DEL, C1), bidirectional overrides and bytes that are not UTF-8 are
// written as \xNN (or \u{NNNN}); line breaks stay when keep_lines.
std::string EscapeForTerminal(std::string_view text, bool keep_lines);

// vaultrun-restore --show-definitions: prints the archive's definitions,
// escaped, with their digest and whether the archive is authenticated.
// Returns false (after saying why on err) when there are none to show.
bool ShowDefinitions(const std::string& archive, const TrustOptions& options, std::ostream& out,
                     std::ostream& err);

}  // namespace vaultrun::restore
