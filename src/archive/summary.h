// What a backup folder holds: each stamped archive's state (complete,
// incomplete, damaged) and what it holds, read without unpacking; for
// vaultrun-restore --list, the metrics file and a restore's refusal of an
// archive that is not whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/completeness_mark.h"
#include "archive/manifest.h"
#include "archive/reader.h"
#include "platform/env.h"

namespace vaultrun {

// True for the names that a run gives its archives: 14 digits + ".zip".
bool IsStampedArchiveName(const std::string& name);

// The stamped archives of a folder, newest first (stamps sort by time).
Status StampedArchives(Env* env, const std::string& folder, std::vector<std::string>* names);

enum class ArchiveState {
  kComplete,    // the mark is there and every table it lists has its entry
  kIncomplete,  // no mark: the run failed or was cut off
  kDamaged,     // the directory cannot be read, or (deep) an entry's data
};

// "complete", "incomplete", "damaged".
const char* StateName(ArchiveState state);

struct ArchiveSummary {
  std::string path;
  std::string name;  // the file name
  ArchiveState state = ArchiveState::kIncomplete;
  std::string problem;  // why it is not complete; "" when it is
  // Whether the archive proves that the key's holder wrote it: its tag
  // verifies and its manifest lists exactly its entries (with deep, each
  // entry's stored bytes give the manifest's SHA-256 too).
  bool authenticated = false;
  uint64_t tables = 0;           // tables held (the mark's count when complete)
  std::optional<uint64_t> rows;  // rows by the mark; unknown without one
  uint64_t bytes = 0;            // the file's size
  std::string format;            // "sql", "csv", "sql+csv", "" without data
  bool definitions = false;      // holds the definitions entry
};

// What keeps an archive with that comment from being complete: no mark, or
// a table the mark lists without its entry; "" when it is complete.
std::string CompletenessProblem(const ArchiveReader& reader);

// Reads one archive; raises nothing: an archive that cannot be read is
// damaged. With deep, every entry is decompressed and checked against its
// CRC-32 and size, and (when the manifest describes the archive) its
// SHA-256. key: the archive key held (nullptr or not ready: none), which
// decides authenticated.
ArchiveSummary SummarizeArchive(Env* env, const std::string& path, bool deep,
                                const ArchiveKeyResult* key);

}  // namespace vaultrun
