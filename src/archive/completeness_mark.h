// The completeness mark: the zip comment that a run writes into its archive
// at its normal end, and that every pack removes first. An archive whose
// last run failed or was killed carries none, so a user (unzip -z) or a
// script can tell a whole backup from a cut-off one.
//
//   Vaultrun
//   <version>
//   <run stamp, 14 digits>
//   <database>
//   time_zone <zone>            the session zone of TIMESTAMP text (newer runs)
//   <table><TAB><rows>          one line per exported table, at most 1,000
//   ... and <N> more tables     when there were more
//   Vaultrun: run complete
//
// Lines end with LF. The comment is at most 65,535 bytes. In the database
// and table names, control bytes and "%" are written as %XX (hex), so no
// name can break a line or form a zip signature; other names stay plain.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vaultrun {

inline constexpr const char kMarkLastLine[] = "Vaultrun: run complete";
inline constexpr size_t kMarkMaxTables = 1000;

struct CompletenessMark {
  std::string version;
  std::string stamp;
  std::string database;
  // Exported tables in run order with their row counts.
  std::vector<std::pair<std::string, uint64_t>> tables;
  // Tables exported beyond those listed.
  uint64_t more_tables = 0;
  // The session time zone the run's TIMESTAMP text is in ("+00:00"); empty
  // for archives of runs that did not set one (the server's zone).
  std::string time_zone;
};

// The zone a run sets for its session.
inline constexpr const char kRunTimeZone[] = "+00:00";

// The comment text; table lines that would pass the zip comment's limit are
// counted in the "more" line instead.
std::string BuildCompletenessMark(const CompletenessMark& mark);

// The mark in a zip comment, or nothing when the comment is not a whole
// mark (no comment, another program's comment, or cut off).
std::optional<CompletenessMark> ParseCompletenessMark(std::string_view comment);

}  // namespace vaultrun
