// Bounded disk use: which archives of a database folder a run may delete
// after it succeeded, when the setting "keep_runs" asks for it.
#pragma once

#include <string>
#include <vector>

#include "archive/summary.h"
#include "platform/archive_key.h"
#include "platform/env.h"

namespace vaultrun {

struct ArchiveInfo {
  std::string name;       // a stamped archive name
  bool marked = false;    // carries a completeness mark: a whole backup
  bool verified = false;  // and its mark names the folder's database and its
                          // tag verifies with the installation's key
};

// The stamped archives of a database folder, in no particular order, each
// with whether it is marked and verified (for database, with key; none is
// verified when key is not ready); one with a pack in progress (its tail
// file beside it) is left out, as it is not ours to judge. An archive that
// cannot be read is neither.
std::vector<ArchiveInfo> FolderArchives(Env* env, const std::string& database_folder,
                                        const ArchiveKeyResult& key, const std::string& database);

// The archives to delete so that the newest keep verified archives stay:
// every stamped archive older than the oldest of those, never `current`
// (the archive of the run that prunes). Nothing when fewer than keep
// verified archives exist, keep is below 1, or an archive is stamped later than
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

// Deletes in the database folder what ArchivesToDelete names; current is
// the run's own archive name. An archive counts as verified when its mark
// names database and its tag verifies with key (so that neither a forged
// mark nor a whole backup of another database makes real backups go); with
// no key ready, none does and nothing is deleted. An archive
// with a pack in progress (its tail file beside it) is neither counted nor
// deleted. Call it only while holding the folder's run lock. A deletion that
// fails is reported in the result, not raised: the backup itself is whole.
PruneResult PruneArchives(Env* env, const std::string& database_folder, int keep,
                          const std::string& current, const ArchiveKeyResult& key,
                          const std::string& database);

// True when the archive at path carries a mark naming database whose tag
// verifies with key. An archive that cannot be read does not.
bool IsVerifiedBackup(Env* env, const std::string& path, const ArchiveKeyResult& key,
                      const std::string& database);

}  // namespace vaultrun
