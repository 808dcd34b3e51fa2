// Bounded disk use: which archives of a database folder a run may delete
// after it succeeded, when the setting "keep_runs" asks for it.
#pragma once

#include <string>
#include <vector>

#include "platform/env.h"

namespace vaultrun {

// True for the names that a run gives its archives: 14 digits + ".zip".
bool IsStampedArchiveName(const std::string& name);

struct ArchiveInfo {
  std::string name;     // a stamped archive name
  bool marked = false;  // carries a completeness mark
};

// The archives to delete so that the newest keep archives with a mark stay:
// every stamped archive older than the oldest of those. Nothing when fewer
// than keep marked archives exist or keep is below 1.
std::vector<std::string> ArchivesToDelete(std::vector<ArchiveInfo> archives, int keep);

// Deletes in the database folder what ArchivesToDelete names, reading each
// stamped archive's mark. Raises a Failure when a deletion fails.
void PruneArchives(Env* env, const std::string& database_folder, int keep);

}  // namespace vaultrun
