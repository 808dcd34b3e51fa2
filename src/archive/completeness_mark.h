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
//   tag <key id> <manifest> <tag>   16, 64 and 64 hex digits
//   Vaultrun: run complete
//
// The tag line (newer runs that hold an archive key) authenticates the rest
// of the mark and, through the manifest's SHA-256 that it states, the
// archive's manifest (archive/manifest.h); it names the key by its id only.
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
  // The tag line's key id, manifest SHA-256 and tag (hex), as written; all
  // empty when the mark has no tag line (tag is never empty when it has
  // one). Only archive/manifest.h tells whether they are right.
  std::string tag_key_id = {};
  std::string tag_manifest = {};
  std::string tag = {};
};

// The zone a run sets for its session.
inline constexpr const char kRunTimeZone[] = "+00:00";

// The comment text, with the tag line when mark.tag is set; table lines that would pass the zip
// comment's limit are counted in the "more" line instead.
std::string BuildCompletenessMark(const CompletenessMark& mark);

// The mark in a zip comment, or nothing when the comment is not a whole
// mark (no comment, another program's comment, or cut off).
std::optional<CompletenessMark> ParseCompletenessMark(std::string_view comment);

// A mark's text without its tag line: what the tag covers. The text as it
// stands when it has none (or is no mark).
std::string UntaggedMark(std::string_view comment);

// A name as the mark writes it: control bytes and "%" as %XX.
std::string EncodeMarkName(std::string_view name);

}  // namespace vaultrun
