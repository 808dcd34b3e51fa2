// Restoring a vaultrun archive, or chosen tables of it, into a database
// whose tables already exist (the archive holds rows, not definitions),
// streaming each entry from the archive; and verifying an archive by
// restoring it into a scratch copy of the live schema and comparing row
// counts with its completeness mark.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "archive/definitions_entry.h"
#include "restore/connection.h"
#include "restore/trust.h"

namespace vaultrun::restore {

// Where a restore reports to.
struct Console {
  std::ostream* out = nullptr;  // results and verdicts
  std::ostream* err = nullptr;  // progress, warnings, failures
  bool progress = false;        // a progress line per table (err is a terminal)
  // Set (by a signal handler) to stop between statements.
  const volatile std::sig_atomic_t* stop = nullptr;
};

struct RestoreRequest {
  std::string archive;
  std::string database;             // the target
  std::vector<std::string> tables;  // empty: every table of the archive
  bool force = false;               // write into tables that hold rows
  bool allow_incomplete = false;    // restore an archive that is not whole
  TrustOptions trust;               // the key held, what the user allows
  // The account every view, trigger, routine and event a new database gets
  // is made with, in place of the stored definers (--definer).
  std::optional<Account> definer;
  // Restore into tables of an existing database that have INSERT triggers,
  // which fire on every row (--allow-triggers).
  bool allow_triggers = false;
};

struct RestoreSummary {
  std::vector<std::pair<std::string, uint64_t>> tables;  // restored, with rows
  uint64_t rows = 0;
  bool authenticated = false;  // the archive's tag verified
};

// Checks the archive first (complete, unless allow_incomplete; its origin,
// restore/trust.h), every chosen table (in the archive, present in the
// target, empty unless force, without INSERT triggers unless allow_triggers)
// and the archive's definitions, then restores them in archive order, each in
// one transaction. Raises a Failure with a message for the user.
RestoreSummary Restore(const RestoreRequest& request, Connection& connection,
                       const Console& console);

struct VerifyRequest {
  std::string archive;
  std::string source_database;   // empty: the one the mark names
  std::string scratch_database;  // created new, dropped at the end
  // A fresh connection for dropping the scratch database when the first one
  // was lost; may be empty.
  std::function<std::unique_ptr<Connection>()> reconnect;
  TrustOptions trust;  // the key held, what the user allows
  // As RestoreRequest::definer.
  std::optional<Account> definer;
};

struct VerifyResult {
  bool ok = false;
  std::string verdict;  // one or more lines, the first one "OK: ..." when ok
};

// Raises a Failure only when the archive cannot be read or the scratch
// database cannot be created; everything else is in the verdict.
VerifyResult Verify(const VerifyRequest& request, Connection& connection, const Console& console);

}  // namespace vaultrun::restore
