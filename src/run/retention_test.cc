#include "run/retention.h"

#include <gtest/gtest.h>

namespace vaultrun {
namespace {

const std::string kNow = "20260105000000.zip";

TEST(Retention, StampedNamesOnly) {
  EXPECT_TRUE(IsStampedArchiveName("20261207043000.zip"));
  EXPECT_FALSE(IsStampedArchiveName("20261207043000.zip.tail"));
  EXPECT_FALSE(IsStampedArchiveName("2026120704300.zip"));
  EXPECT_FALSE(IsStampedArchiveName("2026120704300a.zip"));
  EXPECT_FALSE(IsStampedArchiveName("my-backup.zip"));
  EXPECT_FALSE(IsStampedArchiveName("20261207043000.ZIP"));
}

TEST(Retention, KeepsTheNewestMarkedRunsAndWhatIsNewer) {
  std::vector<ArchiveInfo> archives = {
      {"20260101000000.zip", true}, {"20260102000000.zip", false}, {"20260103000000.zip", true},
      {"20260104000000.zip", true}, {"20260105000000.zip", false},  // a failed run after the last
                                                                    // good one
  };
  EXPECT_EQ((std::vector<std::string>{"20260102000000.zip", "20260101000000.zip"}),
            ArchivesToDelete(archives, 2, kNow));
  EXPECT_EQ(
      (std::vector<std::string>{"20260103000000.zip", "20260102000000.zip", "20260101000000.zip"}),
      ArchivesToDelete(archives, 1, kNow));
  // Too few whole backups: nothing goes.
  EXPECT_TRUE(ArchivesToDelete(archives, 4, kNow).empty());
  EXPECT_TRUE(ArchivesToDelete(archives, 0, kNow).empty());
  EXPECT_TRUE(ArchivesToDelete({}, 1, kNow).empty());
}

// A stamp later than the run's own (a clock that was ahead, a copy from
// another machine) keeps everything; the run's own archive never goes.
TEST(Retention, FutureStampsKeepEverythingAndTheRunKeepsItsOwn) {
  std::vector<ArchiveInfo> archives = {
      {"20260101000000.zip", true}, {"20260104000000.zip", true}, {"20990101000000.zip", true}};
  EXPECT_TRUE(ArchivesToDelete(archives, 1, "20260104000000.zip").empty());
  EXPECT_EQ("20990101000000.zip", FutureArchive(archives, "20260104000000.zip"));
  archives.pop_back();
  EXPECT_EQ("", FutureArchive(archives, "20260104000000.zip"));
}

}  // namespace
}  // namespace vaultrun
