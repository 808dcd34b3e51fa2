#include "run/run_lock.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "core/failure.h"
#include "test_util.h"

namespace vaultrun {
namespace {

// A second run of the folder waits while the first holds it, gives up with
// a failure that says why, and gets the lock once the first has ended.
TEST(RunLock, OneRunPerDatabaseFolder) {
  test::TempDir dir;
  auto env = NewDefaultEnv();
  const std::string folder = dir.Sub("db");
  std::unique_ptr<RunLock> first = LockDatabaseFolder(env.get(), folder, std::chrono::seconds(0));
  EXPECT_TRUE(env->FolderExists(folder));
  try {
    LockDatabaseFolder(env.get(), folder, std::chrono::seconds(1));
    ADD_FAILURE() << "a second run took the lock";
  } catch (const Failure& failure) {
    EXPECT_EQ(EBUSY, failure.number());
    EXPECT_NE(std::string::npos, failure.description().find("in progress")) << failure.what();
  }
  first.reset();
  EXPECT_NE(nullptr, LockDatabaseFolder(env.get(), folder, std::chrono::seconds(0)));
  // One name for the folder whatever its letter case (Windows paths).
  EXPECT_EQ(MachineLockName("C:\\Games\\Backup\\DB"), MachineLockName("c:\\games\\backup\\db"));
  EXPECT_NE(MachineLockName("C:\\Games\\Backup\\db1"), MachineLockName("C:\\Games\\Backup\\db2"));
}

}  // namespace
}  // namespace vaultrun
