#include "run/run_lock.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "core/failure.h"

namespace vaultrun {
namespace {

// How often a waiting run tries the lock again.
constexpr auto kRetryInterval = std::chrono::milliseconds(250);

}  // namespace

std::string MachineLockName(const std::string& database_folder) {
  // FNV-1a over the folder in lower case: a mutex name cannot hold the
  // path's separators, and has a length limit.
  uint64_t hash = 0xcbf29ce484222325ull;
  for (char c : database_folder) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
    hash = (hash ^ b) * 0x100000001b3ull;
  }
  char text[32];
  std::snprintf(text, sizeof text, "Vaultrun.%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::unique_ptr<RunLock> LockDatabaseFolder(Env* env, const std::string& database_folder,
                                            std::chrono::seconds wait) {
  ThrowIfError(CreateFolderLevel(env, database_folder, 0700));
  const std::string lock_path = database_folder + env->Separator() + kRunLockName;
  const std::string machine_name = MachineLockName(database_folder);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    std::unique_ptr<FileLock> machine, folder;
    ThrowIfError(env->TryLockMachineWide(machine_name, &machine));
    if (machine) ThrowIfError(env->TryLockFile(lock_path, &folder));
    if (machine && folder) return std::make_unique<RunLock>(std::move(machine), std::move(folder));
    if (std::chrono::steady_clock::now() >= deadline) {
      throw Failure(EBUSY, "another run of this database is in progress (it holds " + lock_path +
                               "); gave up after waiting " + std::to_string(wait.count()) +
                               " seconds");
    }
    std::this_thread::sleep_for(kRetryInterval);
  }
}

}  // namespace vaultrun
