#include "run/retention.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "archive/completeness_mark.h"
#include "archive/manifest.h"
#include "archive/writer.h"
#include "fakes.h"
#include "test_util.h"

namespace vaultrun {
namespace {

const std::string kNow = "20260105000000.zip";

// A whole backup of database db as a run writes it, its mark tagged under
// key (none when key is not ready).
void WriteBackup(Env* env, const std::string& path, const std::string& db,
                 const ArchiveKeyResult& key) {
  RunArchive archive(env, path);
  archive.BeginEntry(db + "/t.sql", 1);
  archive.Write("x", 1);
  archive.CommitEntry();
  const std::string manifest =
      BuildManifest(ManifestOfPacked(archive.packed(), {{db + "/t.sql", 1}}));
  archive.BeginEntry(kManifestEntry, manifest.size());
  archive.Write(manifest.data(), manifest.size());
  archive.CommitEntry();
  std::string stamp = path.substr(path.size() - 18, 14);
  CompletenessMark mark{"0", stamp, db, {{"t", 1}}, 0, "+00:00"};
  if (key.ready()) {
    ASSERT_TRUE(TagMark(key, manifest, &mark).ok());
  }
  ASSERT_TRUE(SetArchiveComment(env, path, BuildCompletenessMark(mark)).ok());
}

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
      {"20260101000000.zip", true, true},   {"20260102000000.zip", false},
      {"20260103000000.zip", true, true},   {"20260104000000.zip", true, true},
      {"20260105000000.zip", false},  // a failed run after the last
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
      {"20260101000000.zip", true, true},
      {"20260104000000.zip", true, true},
      {"20990101000000.zip", true, true}};
  EXPECT_TRUE(ArchivesToDelete(archives, 1, "20260104000000.zip").empty());
  EXPECT_EQ("20990101000000.zip", FutureArchive(archives, "20260104000000.zip"));
  archives.pop_back();
  EXPECT_EQ("", FutureArchive(archives, "20260104000000.zip"));
}

// An archive that cannot be deleted (held open by a copy tool, access
// denied) stays for the next run and is reported, not raised; one with a
// pack in progress beside it is neither counted nor touched.
TEST(Retention, PruneReportsWhatItCannotDeleteAndSkipsPacksInProgress) {
  test::TempDir dir;
  auto real = NewDefaultEnv();
  const ArchiveKeyResult key = test::FixedArchiveKey('k');
  for (const char* name : {"20260101000000.zip", "20260102000000.zip", "20260103000000.zip",
                           "20260104000000.zip", kNow.c_str()}) {
    WriteBackup(real.get(), dir.Sub(name), "db", key);
  }
  test::WriteFileOrDie(dir.Sub("20260103000000.zip.tail"), "a pack of another run");
  test::FaultEnv env(real.get());
  env.hook = [](const std::string& op, const std::string& path) {
    return op == "DeleteFile" && path.find("20260102") != std::string::npos
               ? Status::Error(EACCES, "delete " + path + ": held open")
               : Status::OK();
  };
  PruneResult result = PruneArchives(&env, dir.path(), 2, kNow, key, "db");
  EXPECT_EQ("", result.future);
  ASSERT_EQ(1u, result.not_deleted.size());
  EXPECT_NE(std::string::npos, result.not_deleted[0].find("20260102000000.zip: held open"));
  EXPECT_FALSE(real->Exists(dir.Sub("20260101000000.zip")));
  for (const char* kept : {"20260102000000.zip", "20260103000000.zip", "20260104000000.zip"}) {
    EXPECT_TRUE(real->Exists(dir.Sub(kept))) << kept;
  }
}

// Only whole backups of the folder's database whose tag verifies count: a
// mark forged without the key, or tagged by another key, or one naming
// another database, makes no real backup go; without a key none counts.
TEST(Retention, OnlyAuthenticatedBackupsOfTheFoldersDatabaseCount) {
  test::TempDir dir;
  auto env = NewDefaultEnv();
  const ArchiveKeyResult key = test::FixedArchiveKey('k');
  WriteBackup(env.get(), dir.Sub("20260101000000.zip"), "db", key);
  WriteBackup(env.get(), dir.Sub("20260102000000.zip"), "db", key);
  WriteBackup(env.get(), dir.Sub("20260103000000.zip"), "db", test::FixedArchiveKey('f'));
  WriteBackup(env.get(), dir.Sub("20260103100000.zip"), "db", ArchiveKeyResult{});
  WriteBackup(env.get(), dir.Sub("20260104000000.zip"), "other", key);
  WriteBackup(env.get(), dir.Sub(kNow), "db", key);
  EXPECT_FALSE(IsVerifiedBackup(env.get(), dir.Sub("20260103000000.zip"), key, "db"));
  EXPECT_TRUE(IsVerifiedBackup(env.get(), dir.Sub("20260102000000.zip"), key, "db"));
  EXPECT_FALSE(IsVerifiedBackup(env.get(), dir.Sub("20260102000000.zip"), key, "other"));

  PruneArchives(env.get(), dir.path(), 2, kNow, ArchiveKeyResult{}, "db");
  EXPECT_TRUE(env->Exists(dir.Sub("20260101000000.zip")));
  PruneArchives(env.get(), dir.path(), 2, kNow, key, "db");
  EXPECT_FALSE(env->Exists(dir.Sub("20260101000000.zip")));
  for (const char* kept :
       {"20260102000000.zip", "20260103000000.zip", "20260103100000.zip", "20260104000000.zip"}) {
    EXPECT_TRUE(env->Exists(dir.Sub(kept))) << kept;
  }
}

}  // namespace
}  // namespace vaultrun
