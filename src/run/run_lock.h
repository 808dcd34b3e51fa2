// One run per database folder at a time. A run holds its database folder's
// run lock from before the first table (before the repair of archives a
// killed run left, too) until it ends; a second run of the same database
// waits for it a bounded time and then fails, so that two runs never prune
// or pack each other's archives.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/env.h"

namespace vaultrun {

// The lock file in a database folder.
inline constexpr char kRunLockName[] = ".vaultrun.run.lock";

// The run lock, held while the object lives. Destroy it on the thread that
// took it (a Windows mutex belongs to its thread).
class RunLock {
 public:
  RunLock(std::unique_ptr<FileLock> machine, std::unique_ptr<FileLock> folder)
      : machine_(std::move(machine)), folder_(std::move(folder)) {}

 private:
  std::unique_ptr<FileLock> machine_;
  std::unique_ptr<FileLock> folder_;
};

// Creates the database folder when missing and takes its run lock (a lock
// file in it, and on Windows also a machine-wide mutex named after it),
// waiting up to `wait` while another run holds it. Raises a Failure that
// says a run is in progress when the wait ends without the lock.
std::unique_ptr<RunLock> LockDatabaseFolder(Env* env, const std::string& database_folder,
                                            std::chrono::seconds wait);

// The machine-wide lock name for a database folder: the same for every
// spelling of the folder that differs only in letter case.
std::string MachineLockName(const std::string& database_folder);

}  // namespace vaultrun
