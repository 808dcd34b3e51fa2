// Off-site copies: after a run has marked its archive, every complete
// archive of the database folder that the remote lacks goes there through
// rclone, oldest first, and the remote keeps the newest offsite_keep_runs
// complete archives. Off (no process, no entry) while offsite_remote is
// empty.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/settings.h"
#include "core/process.h"
#include "run/rclone.h"

namespace vaultrun {

// rclone as the settings say, for a run's off-site step and a restore's
// fetch alike (which reads only rclone_path, rclone_config and
// offsite_timeout): rclone_path, where empty "rclone" on PATH, or on
// Windows rclone.exe in the program folder when there is one;
// rclone_config; offsite_timeout.
RcloneSetup RcloneSetupOf(Env* env, const RunSettings& settings);

struct OffsiteResult {
  // The archives copied by this run, oldest first.
  std::vector<std::string> copied;
  // When every complete archive was confirmed on the remote (seconds since
  // 1970), for vaultrun_offsite_last_success_timestamp_seconds; nothing
  // while off-site copies are off.
  std::optional<int64_t> success_time;
};

// The off-site step of a run, called after the run's archive is marked and
// read back, under the run lock, before the local prune; off (no process,
// no entry) while settings.offsite_remote is empty. current is the run's
// archive name (<stamp>.zip). Each complete local archive that the
// remote lacks is copied to <remote>/<database>/<name>.partial, confirmed
// (size, and hash where the backend keeps one) and moved into place; then
// old complete archives on the remote go as offsite_keep_runs says. A copy
// that fails raises a Failure naming the remote and rclone's last message;
// the local archives stay as they are. Warnings are written as entries.
OffsiteResult CopyOffsite(Process& process, const RunSettings& settings,
                          const std::string& database_folder, const std::string& current);

// True when a zip archive whose last bytes are tail (the file's last
// min(size, kCommentTailBytes) bytes) carries a completeness mark.
bool TailCarriesMark(const std::string& tail);

}  // namespace vaultrun
