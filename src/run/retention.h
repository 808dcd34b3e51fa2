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

// The stamped archives of a database folder with whether each carries a
// mark, in no particular order; one with a pack in progress (its tail file
// beside it) is left out, as it is not ours to judge. An archive that
// cannot be read carries no mark.
std::vector<ArchiveInfo> FolderArchives(Env* env, const std::string& database_folder);

// The archives to delete so that the newest keep archives with a mark stay:
// every stamped archive older than the oldest of those, never `current`
// (the archive of the run that prunes). Nothing when fewer than keep marked
// archives exist, keep is below 1, or an archive is stamped later than
// `current`: with a stamp from the future (a clock that was ahead, a copy
// from another machine, the hour repeated when clocks go back) "newest"
// cannot be told, and the run's own archive would be the first to go.
std::vector<std::string> ArchivesToDelete(std::vector<ArchiveInfo> archives, int keep,
                                          const std::string& current);

// The newest archive name later than `current`, or "" when there is none.
std::string FutureArchive(const std::vector<ArchiveInfo>& archives, const std::string& current);

struct PruneResult {
  // FutureArchive's name; nothing was deleted when it is set.
  std::string future;
  // The archives that could not be deleted (held open by another program,
  // access denied), each with the reason; the next run tries them again.
  std::vector<std::string> not_deleted;
};

// Deletes in the database folder what ArchivesToDelete names, reading each
// stamped archive's mark; current is the run's own archive name. An archive
// with a pack in progress (its tail file beside it) is neither counted nor
// deleted. Call it only while holding the folder's run lock. A deletion that
// fails is reported in the result, not raised: the backup itself is whole.
PruneResult PruneArchives(Env* env, const std::string& database_folder, int keep,
                          const std::string& current);

}  // namespace vaultrun
