// Off-site copies: after a run has marked its archive, every complete
// archive of the database folder that the remote lacks goes there through
// rclone, oldest first, and the remote keeps the newest offsite_keep_runs
// complete archives. Off (no process, no entry) while offsite_remote is
// empty.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/process.h"
#include "run/rclone.h"

namespace vaultrun {

struct OffsiteSettings {
  // offsite_remote: an rclone remote and path ("nas:backup/kelvane"); empty
  // turns off-site copies off.
  std::string remote;
  // offsite_keep_runs: the newest N complete archives stay on the remote;
  // 0 keeps every one. Default: keep_runs.
  int32_t keep_runs = 0;
  // rclone_path, rclone_config and offsite_timeout (seconds, for the whole
  // off-site step of a run, and for a restore's fetch).
  RcloneSetup rclone;
};

// The settings' texts by name ("" when unset).
using SettingLookup = std::function<std::string(const std::string& name)>;

// Reads the off-site settings; keep_runs is the run's own keep_runs.
// rclone_path defaults to "rclone" on PATH, or on Windows to rclone.exe in
// the program folder when there is one. A value that cannot be used is
// described in *warnings (key, value and what is used instead) and its
// default applies.
OffsiteSettings ReadOffsiteSettings(Env* env, const SettingLookup& lookup, int32_t keep_runs,
                                    std::vector<std::string>* warnings);

struct OffsiteResult {
  // The archives copied by this run, oldest first.
  std::vector<std::string> copied;
  // When every complete archive was confirmed on the remote (seconds since
  // 1970), for vaultrun_offsite_last_success_timestamp_seconds; nothing
  // while off-site copies are off.
  std::optional<int64_t> success_time;
};

// The off-site step of a run, called after the run's archive is marked and
// read back, under the run lock, before the local prune. current is the
// run's archive name (<stamp>.zip). Each complete local archive that the
// remote lacks is copied to <remote>/<database>/<name>.partial, confirmed
// (size, and hash where the backend keeps one) and moved into place; then
// old complete archives on the remote go as offsite_keep_runs says. A copy
// that fails raises a Failure naming the remote and rclone's last message;
// the local archives stay as they are. Warnings are written as entries.
OffsiteResult CopyOffsite(Process& process, const std::string& database_folder,
                          const std::string& current, int32_t keep_runs);

// The completeness mark of a zip archive whose last bytes are tail (the
// file's last min(size, kMarkTailBytes) bytes), or nothing.
inline constexpr uint64_t kMarkTailBytes = 65535 + 22;
bool TailCarriesMark(const std::string& tail);

}  // namespace vaultrun
