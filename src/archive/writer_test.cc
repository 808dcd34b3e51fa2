#include "archive/writer.h"

#include <gtest/gtest.h>
#include <minizip/unzip.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "archive/check.h"
#include "core/failure.h"
#include "fakes.h"
#include "test_util.h"

namespace vaultrun {
namespace {

using test::ReadFileOrDie;
using test::RunCommand;
using test::TempDir;
using test::WriteFileOrDie;

struct Entry {
  std::string data;
  uLong flag = 0;
  uLong external_fa = 0;
  uLong version_made_by = 0;
};

// Every entry of the archive, read and inflated by minizip's unzip API.
std::map<std::string, Entry> ReadEntries(const std::string& path) {
  std::map<std::string, Entry> out;
  std::unique_ptr<void, void (*)(void*)> u(unzOpen64(path.c_str()),
                                           [](void* h) { unzClose(static_cast<unzFile>(h)); });
  EXPECT_TRUE(u) << "minizip cannot open " << path;
  if (!u) return out;
  std::vector<char> buf(1 << 16);
  for (int r = unzGoToFirstFile(u.get()); r == UNZ_OK; r = unzGoToNextFile(u.get())) {
    unz_file_info64 info;
    char name[4096];
    EXPECT_EQ(UNZ_OK,
              unzGetCurrentFileInfo64(u.get(), &info, name, sizeof name, nullptr, 0, nullptr, 0));
    Entry& e = out[name];
    e.flag = info.flag;
    e.external_fa = info.external_fa;
    e.version_made_by = info.version;
    EXPECT_EQ(UNZ_OK, unzOpenCurrentFile(u.get()));
    int n;
    while ((n = unzReadCurrentFile(u.get(), buf.data(), static_cast<unsigned>(buf.size()))) > 0) {
      e.data.append(buf.data(), static_cast<size_t>(n));
    }
    EXPECT_EQ(0, n) << name;
    EXPECT_EQ(UNZ_OK, unzCloseCurrentFile(u.get())) << "CRC mismatch in " << name;
  }
  return out;
}

bool UnzipTestsClean(const std::string& path) {
  std::string out;
  int rc = RunCommand("unzip -t '" + path + "' 2>&1", &out);
  EXPECT_EQ(0, rc) << out;
  return rc == 0;
}

// 7-Zip (Debian's 7zip package): "7zz t" with no warning, no error. It is
// the strictest of the three readers about local headers.
bool SevenZipTestsClean(const std::string& path) {
  std::string out;
  int rc = RunCommand("7zz t -bd '" + path + "' 2>&1", &out);
  bool clean = rc == 0 && out.find("Everything is Ok") != std::string::npos &&
               out.find("Warning") == std::string::npos && out.find("Error") == std::string::npos;
  EXPECT_TRUE(clean) << out;
  return clean;
}

// Python's zipfile: testzip() and one line per entry "name size utf8flag mode".
std::string PythonListing(const TempDir& dir, const std::string& path) {
  const std::string script = dir.Sub("check.py");
  WriteFileOrDie(script,
                 "import sys, zipfile\n"
                 "with zipfile.ZipFile(sys.argv[1]) as z:\n"
                 "    bad = z.testzip()\n"
                 "    print('bad ' + bad if bad else 'ok')\n"
                 "    for i in z.infolist():\n"
                 "        print(i.filename, i.file_size, (i.flag_bits >> 11) & 1,"
                 " oct(i.external_attr >> 16))\n");
  std::string out;
  int rc = RunCommand("python3 '" + script + "' '" + path + "' 2>&1", &out);
  EXPECT_EQ(0, rc) << out;
  return out;
}

// SQL-like text: INSERT statements with varying numbers and words.
std::string SqlText(size_t size, uint32_t seed) {
  static const char* kWords[] = {"sword", "shield", "potion", "dragon", "castle", "ranger",
                                 "mage",  "rogue",  "gold",   "elixir", "Zoë",    "北京"};
  std::mt19937 rng(seed);
  std::string s;
  s.reserve(size + 256);
  uint64_t id = 1;
  while (s.size() < size) {
    s += "INSERT INTO `items` VALUES (";
    for (int row = 0; row < 20 && s.size() < size; ++row, ++id) {
      if (row) s += ",(";
      s += std::to_string(id) + "," + std::to_string(rng() % 100000) + ",'" + kWords[rng() % 12] +
           "_" + std::to_string(rng() % 1000) + "'," + std::to_string(rng() % 2) + ",'2024-0" +
           std::to_string(1 + rng() % 9) + "-1" + std::to_string(rng() % 10) + " 12:00:00')";
    }
    s += ";\r\n";
  }
  s.resize(size);
  return s;
}

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

void Pack(RunArchive* archive, const std::string& name, const std::string& data,
          uint64_t hint = 0) {
  archive->BeginEntry(name, hint == 0 ? data.size() : hint);
  // Uneven pieces cross the compressor's buffer boundaries.
  size_t at = 0, piece = 1000;
  while (at < data.size()) {
    size_t n = std::min(piece, data.size() - at);
    archive->Write(data.data() + at, n);
    at += n;
    piece = piece * 3 + 7;
  }
  archive->CommitEntry();
}

class ArchiveTest : public ::testing::Test {
 protected:
  ArchiveTest() : env_(NewDefaultEnv()), zip_(dir_.Sub("20260101000000.zip")) {}
  TempDir dir_;
  std::unique_ptr<Env> env_;
  std::string zip_;
};

TEST(DateStampTest, ZeroPaddedTwentyFourHour) {
  EXPECT_EQ("20060305090702", DateStamp({2006, 3, 5, 9, 7, 2}));
  EXPECT_EQ("20070102000509", DateStamp({2007, 1, 2, 0, 5, 9}));
  EXPECT_EQ("20070102130000", DateStamp({2007, 1, 2, 13, 0, 0}));
  EXPECT_EQ("20991231235959", DateStamp({2099, 12, 31, 23, 59, 59}));
  // The next second, across every calendar boundary.
  EXPECT_EQ("20060305090703", DateStamp(NextSecond({2006, 3, 5, 9, 7, 2})));
  EXPECT_EQ("21000101000000", DateStamp(NextSecond({2099, 12, 31, 23, 59, 59})));
  EXPECT_EQ("20240229000000", DateStamp(NextSecond({2024, 2, 28, 23, 59, 59})));
  EXPECT_EQ("21000301000000", DateStamp(NextSecond({2100, 2, 28, 23, 59, 59})));
  EXPECT_EQ("20000229000000", DateStamp(NextSecond({2000, 2, 28, 23, 59, 59})));
  EXPECT_EQ("20260501000000", DateStamp(NextSecond({2026, 4, 30, 23, 59, 59})));
}

// The mark goes only on an archive that holds exactly what its run packed:
// not when another writer added an entry, nor when the archive vanished, was
// cut or replaced under the run (the next pack fails then too).
TEST_F(ArchiveTest, MarkAndPackNeedExactlyWhatTheRunPacked) {
  RunArchive run(env_.get(), zip_);
  Pack(&run, "db/a.sql", SqlText(50000, 1));
  Pack(&run, "db/b.sql", SqlText(50000, 2));
  std::string comment;
  {
    RunArchive other(env_.get(), zip_);
    Pack(&other, "db/c.sql", SqlText(1000, 3));
  }
  EXPECT_FALSE(SetArchiveCommentChecked(env_.get(), zip_, "mark", run.packed()).ok());
  ASSERT_TRUE(ReadArchiveComment(env_.get(), zip_, &comment).ok());
  EXPECT_EQ("", comment);

  const std::string whole = ReadFileOrDie(zip_);
  auto expect_next_pack_fails = [&](const std::string& why) {
    EXPECT_THROW(Pack(&run, "db/d.sql", SqlText(1000, 4)), Failure) << why;
    EXPECT_FALSE(SetArchiveCommentChecked(env_.get(), zip_, "mark", run.packed()).ok()) << why;
  };
  ASSERT_TRUE(env_->DeleteFile(zip_).ok());
  expect_next_pack_fails("vanished");
  EXPECT_FALSE(env_->Exists(zip_));
  WriteFileOrDie(zip_, whole.substr(0, whole.size() / 2));
  expect_next_pack_fails("cut");
  {
    ASSERT_TRUE(env_->DeleteFile(zip_).ok());
    RunArchive replacement(env_.get(), zip_);
    Pack(&replacement, "db/a.sql", SqlText(50000, 9));
    Pack(&replacement, "db/b.sql", SqlText(50000, 2));
  }
  expect_next_pack_fails("replaced");
  ASSERT_TRUE(ReadArchiveComment(env_.get(), zip_, &comment).ok());
  EXPECT_EQ("", comment);
}

TEST_F(ArchiveTest, TwoEntriesReadBackIdenticalAndTestClean) {
  const std::string a = SqlText(300000, 1);
  const std::string b = SqlText(120000, 2);
  const std::string utf8_name = "db/größe_表.sql";
  {
    RunArchive archive(env_.get(), zip_);
    Pack(&archive, "db/accounts.sql", a);
    Pack(&archive, utf8_name, b);
  }
  auto entries = ReadEntries(zip_);
  ASSERT_EQ(2u, entries.size());
  EXPECT_TRUE(entries["db/accounts.sql"].data == a);
  EXPECT_TRUE(entries[utf8_name].data == b);
  for (auto& [name, e] : entries) {
    // The UTF-8 flag on a name beyond ASCII only.
    EXPECT_EQ(name == utf8_name, (e.flag & (1 << 11)) != 0) << name;
    EXPECT_EQ(0100600u, e.external_fa >> 16) << name;
    EXPECT_EQ(3u, e.version_made_by >> 8) << name;  // made on Unix
  }
  EXPECT_TRUE(UnzipTestsClean(zip_));
  std::string listing = PythonListing(dir_, zip_);
  EXPECT_EQ("ok\ndb/accounts.sql 300000 0 0o100600\n" + utf8_name + " 120000 1 0o100600\n",
            listing);
  std::string info;
  EXPECT_EQ(0, RunCommand("zipinfo '" + zip_ + "'", &info));
  EXPECT_NE(std::string::npos, info.find("-rw-------")) << info;
  struct stat st;
  ASSERT_EQ(0, ::stat(zip_.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  EXPECT_FALSE(env_->Exists(zip_ + ".tail"));
  EXPECT_FALSE(env_->Exists(zip_ + ".tail.tmp"));
}

TEST_F(ArchiveTest, EmptyEntry) {
  RunArchive archive(env_.get(), zip_);
  archive.BeginEntry("db/empty.sql", 0);
  archive.CommitEntry();
  Pack(&archive, "db/next.sql", "x");
  auto entries = ReadEntries(zip_);
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ("", entries["db/empty.sql"].data);
  EXPECT_EQ("x", entries["db/next.sql"].data);
  EXPECT_TRUE(UnzipTestsClean(zip_));
  EXPECT_EQ("ok\ndb/empty.sql 0 0 0o100600\ndb/next.sql 1 0 0o100600\n", PythonListing(dir_, zip_));
}

TEST_F(ArchiveTest, LargeEntryTestsClean) {
  // 50 MB streamed from a 1 MB pattern with a changing row counter.
  const std::string block = SqlText(1 << 20, 3);
  uLong crc = crc32(0, nullptr, 0);
  uint64_t total = 0;
  RunArchive archive(env_.get(), zip_);
  archive.BeginEntry("db/big.sql", 50u << 20);
  for (int i = 0; i < 50; ++i) {
    std::string piece = "-- block " + std::to_string(i) + "\r\n" + block;
    archive.Write(piece.data(), piece.size());
    crc = crc32(crc, reinterpret_cast<const Bytef*>(piece.data()), static_cast<uInt>(piece.size()));
    total += piece.size();
  }
  archive.CommitEntry();
  EXPECT_TRUE(UnzipTestsClean(zip_));
  auto entries = ReadEntries(zip_);
  ASSERT_EQ(1u, entries.size());
  const std::string& data = entries["db/big.sql"].data;
  EXPECT_EQ(total, data.size());
  EXPECT_EQ(crc,
            crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
  uint64_t size = 0;
  ASSERT_TRUE(env_->FileSize(zip_, &size).ok());
  EXPECT_LT(size, total / 3);  // SQL text compresses well even at level 1
}

TEST_F(ArchiveTest, Zip64EntriesReadClean) {
  const std::string a = SqlText(200000, 4);
  const std::string b = RandomBytes(70000, 5);
  const std::string c = RandomBytes(1 << 20, 6);
  std::vector<PackedEntry> packed;
  {
    RunArchive archive(env_.get(), zip_);
    // Past this many deflated bytes minizip takes an entry's bytes over:
    // the large one's in its middle (the compressor hands them on in pieces
    // of 256 KiB); the others are written past it whole.
    archive.set_past_minizip_limit(300000);
    Pack(&archive, "db/unknown_size.sql", a, UINT64_MAX);
    Pack(&archive, "db/plain.txt", b);
    Pack(&archive, "db/unknown_too.txt", b, UINT64_MAX);
    Pack(&archive, "db/handed_over.bin", c, UINT64_MAX);
    packed = archive.packed();
  }
  ASSERT_EQ(4u, packed.size());
  auto entries = ReadEntries(zip_);
  ASSERT_EQ(4u, entries.size());
  EXPECT_TRUE(entries["db/unknown_size.sql"].data == a);
  EXPECT_TRUE(entries["db/plain.txt"].data == b);
  EXPECT_TRUE(entries["db/unknown_too.txt"].data == b);
  EXPECT_TRUE(entries["db/handed_over.bin"].data == c);
  // Entries of unknown size carry local ZIP64 fields, filled with the sizes.
  EXPECT_TRUE(UnzipTestsClean(zip_));
  EXPECT_EQ(0u, PythonListing(dir_, zip_).rfind("ok\n", 0));
  EXPECT_TRUE(SevenZipTestsClean(zip_));
  std::string comment = "x";
  EXPECT_TRUE(CheckArchive(env_.get(), zip_, &comment).ok());
  EXPECT_EQ("", comment);
  EXPECT_TRUE(CheckArchive(env_.get(), zip_, &comment, packed).ok());
  // One byte changed inside the stored data: the read-back notices, whether
  // it inflates the entry or compares it with what the pack proved.
  std::string bytes = ReadFileOrDie(zip_);
  bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x55);
  WriteFileOrDie(zip_, bytes);
  EXPECT_FALSE(CheckArchive(env_.get(), zip_, &comment).ok());
  EXPECT_FALSE(CheckArchive(env_.get(), zip_, &comment, packed).ok());
}

TEST_F(ArchiveTest, AppendsToArchiveWithCommentFromAnotherWriter) {
  const std::string script = dir_.Sub("make.py");
  WriteFileOrDie(script,
                 "import sys, zipfile\n"
                 "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                 "    z.writestr('db/first.sql', 'hello ' * 1000)\n"
                 "    z.comment = b'made elsewhere'\n");
  ASSERT_EQ(0, RunCommand("python3 '" + script + "' '" + zip_ + "'"));
  RunArchive archive(env_.get(), zip_);
  Pack(&archive, "db/second.sql", "world");
  auto entries = ReadEntries(zip_);
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ(std::string(6000, ' ').size(), entries["db/first.sql"].data.size());
  EXPECT_EQ("world", entries["db/second.sql"].data);
  EXPECT_TRUE(UnzipTestsClean(zip_));
}

TEST_F(ArchiveTest, ReadsZip64EndRecordsAndStopsAtTheEntryLimit) {
  // More than 65535 entries: the archive ends in zip64 records. minizip
  // would append without them, so the pack is refused and nothing changes.
  const std::string script = dir_.Sub("many.py");
  WriteFileOrDie(script,
                 "import sys, zipfile\n"
                 "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_STORED) as z:\n"
                 "    for i in range(65540):\n"
                 "        z.writestr('db/%d' % i, '')\n");
  ASSERT_EQ(0, RunCommand("python3 '" + script + "' '" + zip_ + "'"));
  const std::string before = ReadFileOrDie(zip_);
  RunArchive archive(env_.get(), zip_);
  try {
    archive.BeginEntry("db/last.sql", 0);
    FAIL() << "no failure raised";
  } catch (const Failure& f) {
    EXPECT_EQ(EFBIG, f.number());
    EXPECT_NE(std::string::npos, f.description().find("already holds 65534 entries"))
        << f.description();
  }
  EXPECT_TRUE(ReadFileOrDie(zip_) == before);
  EXPECT_FALSE(env_->Exists(zip_ + ".tail"));
  EXPECT_THROW(archive.BeginEntry("db/7", 0), Failure);  // a rewrite too
  EXPECT_TRUE(ReadFileOrDie(zip_) == before);
}

TEST_F(ArchiveTest, WriteFailureMidEntryPutsArchiveBack) {
  test::FaultEnv env(env_.get());
  RunArchive archive(&env, zip_);
  Pack(&archive, "db/a.sql", SqlText(100000, 6));
  const std::string before = ReadFileOrDie(zip_);
  // A full disk: writes to the archive fail after 200 KB; cutting the
  // failed entry off frees the space again.
  env.FailWritesAfter(zip_, 200 * 1024);
  env.hook = [&](const std::string& op, const std::string& path) {
    if (op == "Truncate" && path == zip_) env.DisarmWrites();
    return Status::OK();
  };
  const std::string noise = RandomBytes(4 << 20, 7);
  try {
    Pack(&archive, "db/b.sql", noise);
    FAIL() << "no failure raised";
  } catch (const Failure& f) {
    EXPECT_EQ(ENOSPC, f.number());
    EXPECT_EQ("write " + zip_ + ": No space left on device", f.description());
  }
  EXPECT_TRUE(ReadFileOrDie(zip_) == before);
  EXPECT_FALSE(env_->Exists(zip_ + ".tail"));
  EXPECT_TRUE(UnzipTestsClean(zip_));
  // The archive takes the next pack as usual.
  env.hook = nullptr;
  Pack(&archive, "db/c.sql", "after");
  EXPECT_EQ(2u, ReadEntries(zip_).size());
}

TEST_F(ArchiveTest, FailureWhileWritingDirectoryPutsArchiveBack) {
  test::FaultEnv env(env_.get());
  RunArchive archive(&env, zip_);
  Pack(&archive, "db/a.sql", SqlText(50000, 8));
  const std::string before = ReadFileOrDie(zip_);
  archive.BeginEntry("db/b.sql", 10);
  archive.Write("0123456789", 10);
  env.hook = [&](const std::string& op, const std::string& path) {
    if (op == "Sync" && path == zip_) return Status::Error(EIO, "sync " + path + ": I/O error");
    return Status::OK();
  };
  try {
    archive.CommitEntry();
    FAIL() << "no failure raised";
  } catch (const Failure& f) {
    // The first failure is the sync of the new directory; putting back
    // syncs too, so that is reported as well and the tail file stays.
    EXPECT_EQ(EIO, f.number());
    EXPECT_EQ(0u, f.description().rfind("sync " + zip_ + ": I/O error", 0)) << f.description();
  }
  env.hook = nullptr;
  ASSERT_TRUE(RepairArchive(&env, zip_).ok());
  EXPECT_TRUE(ReadFileOrDie(zip_) == before);
  EXPECT_FALSE(env_->Exists(zip_ + ".tail"));
}

TEST_F(ArchiveTest, FailureWithDiskStillFullLeavesTailForRepair) {
  test::FaultEnv env(env_.get());
  RunArchive archive(&env, zip_);
  Pack(&archive, "db/a.sql", SqlText(100000, 9));
  const std::string before = ReadFileOrDie(zip_);
  env.FailWritesAfter(zip_, 100 * 1024);
  EXPECT_THROW(Pack(&archive, "db/b.sql", RandomBytes(2 << 20, 10)), Failure);
  // Nothing could be written back: the archive lacks its directory.
  EXPECT_TRUE(env_->Exists(zip_ + ".tail"));
  EXPECT_FALSE(ReadFileOrDie(zip_) == before);
  env.DisarmWrites();
  ASSERT_TRUE(RepairArchive(&env, zip_).ok());
  EXPECT_TRUE(ReadFileOrDie(zip_) == before);
  EXPECT_FALSE(env_->Exists(zip_ + ".tail"));
  EXPECT_TRUE(UnzipTestsClean(zip_));
}

TEST_F(ArchiveTest, FailedFirstEntryLeavesNoArchive) {
  test::FaultEnv env(env_.get());
  env.FailWritesAfter(zip_, 50 * 1024);
  RunArchive archive(&env, zip_);
  EXPECT_THROW(Pack(&archive, "db/a.sql", RandomBytes(1 << 20, 11)), Failure);
  EXPECT_FALSE(env_->Exists(zip_));
  EXPECT_FALSE(env_->Exists(zip_ + ".tail"));
}

TEST_F(ArchiveTest, AbortAndDestructorPutArchiveBack) {
  RunArchive archive(env_.get(), zip_);
  Pack(&archive, "db/a.sql", SqlText(80000, 12));
  const std::string before = ReadFileOrDie(zip_);
  archive.BeginEntry("db/b.sql", 0);
  const std::string more = SqlText(3 << 20, 13);
  archive.Write(more.data(), more.size());
  archive.AbortEntry();
  EXPECT_TRUE(ReadFileOrDie(zip_) == before);
  archive.AbortEntry();  // nothing open: nothing done
  EXPECT_THROW(archive.CommitEntry(), Failure);
  {
    RunArchive other(env_.get(), zip_);
    other.BeginEntry("db/c.sql", 0);
    other.Write(more.data(), more.size());
  }
  EXPECT_TRUE(ReadFileOrDie(zip_) == before);
  EXPECT_FALSE(env_->Exists(zip_ + ".tail"));
  // A first entry aborted removes the archive it created.
  const std::string fresh = dir_.Sub("20260101000001.zip");
  RunArchive first(env_.get(), fresh);
  first.BeginEntry("db/a.sql", 0);
  first.Write("abc", 3);
  first.AbortEntry();
  EXPECT_FALSE(env_->Exists(fresh));
}

// A killed process: the archive and its tail file as they are mid-pack.
void CopyMidPack(const std::string& zip, const std::string& to_folder) {
  namespace fs = std::filesystem;
  fs::create_directories(to_folder);
  std::string name = fs::path(zip).filename();
  fs::copy_file(zip, to_folder + "/" + name);
  fs::copy_file(zip + ".tail", to_folder + "/" + name + ".tail");
}

TEST_F(ArchiveTest, RepairAfterCrashMidPackRestoresEarlierEntries) {
  const std::string a = SqlText(90000, 14);
  RunArchive archive(env_.get(), zip_);
  Pack(&archive, "db/a.sql", a);
  Pack(&archive, "db/b.sql", "bee");
  const std::string before = ReadFileOrDie(zip_);
  archive.BeginEntry("db/c.sql", 0);
  const std::string more = SqlText(6 << 20, 15);
  archive.Write(more.data(), more.size());
  const std::string crashed_dir = dir_.Sub("crashed");
  CopyMidPack(zip_, crashed_dir);
  archive.AbortEntry();

  const std::string crashed = crashed_dir + "/20260101000000.zip";
  std::string out;
  EXPECT_NE(0, RunCommand("unzip -t '" + crashed + "' 2>&1", &out));  // no directory
  ASSERT_TRUE(RepairArchive(env_.get(), crashed).ok());
  EXPECT_TRUE(ReadFileOrDie(crashed) == before);
  EXPECT_FALSE(env_->Exists(crashed + ".tail"));
  EXPECT_TRUE(UnzipTestsClean(crashed));
  EXPECT_EQ(a, ReadEntries(crashed)["db/a.sql"].data);
  // A second repair has nothing to do.
  EXPECT_TRUE(RepairArchive(env_.get(), crashed).ok());
  EXPECT_TRUE(ReadFileOrDie(crashed) == before);
}

TEST_F(ArchiveTest, RepairAfterCrashInFirstEntryRemovesArchive) {
  RunArchive archive(env_.get(), zip_);
  archive.BeginEntry("db/a.sql", 0);
  const std::string more = SqlText(3 << 20, 16);
  archive.Write(more.data(), more.size());
  const std::string crashed_dir = dir_.Sub("crashed");
  CopyMidPack(zip_, crashed_dir);
  archive.AbortEntry();
  const std::string crashed = crashed_dir + "/20260101000000.zip";
  ASSERT_TRUE(RepairArchive(env_.get(), crashed).ok());
  EXPECT_FALSE(env_->Exists(crashed));
  EXPECT_FALSE(env_->Exists(crashed + ".tail"));
}

TEST_F(ArchiveTest, BeginEntryRepairsFirst) {
  RunArchive archive(env_.get(), zip_);
  Pack(&archive, "db/a.sql", "one");
  archive.BeginEntry("db/b.sql", 0);
  archive.Write("two", 3);
  const std::string crashed_dir = dir_.Sub("crashed");
  CopyMidPack(zip_, crashed_dir);
  archive.AbortEntry();
  const std::string crashed = crashed_dir + "/20260101000000.zip";
  RunArchive next(env_.get(), crashed);
  Pack(&next, "db/c.sql", "three");
  auto entries = ReadEntries(crashed);
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ("one", entries["db/a.sql"].data);
  EXPECT_EQ("three", entries["db/c.sql"].data);
}

TEST_F(ArchiveTest, StaleTailFileOfCompletePackKeepsArchive) {
  RunArchive archive(env_.get(), zip_);
  Pack(&archive, "db/a.sql", "one");
  archive.BeginEntry("db/b.sql", 0);
  archive.Write("two", 3);
  const std::string saved = ReadFileOrDie(zip_ + ".tail");
  archive.CommitEntry();
  // Killed after the directory was written, before the tail file went.
  WriteFileOrDie(zip_ + ".tail", saved);
  const std::string after = ReadFileOrDie(zip_);
  ASSERT_TRUE(RepairArchive(env_.get(), zip_).ok());
  EXPECT_TRUE(ReadFileOrDie(zip_) == after);
  EXPECT_FALSE(env_->Exists(zip_ + ".tail"));
  EXPECT_EQ(2u, ReadEntries(zip_).size());
}

TEST_F(ArchiveTest, DamagedTailFileIsIgnored) {
  RunArchive archive(env_.get(), zip_);
  Pack(&archive, "db/a.sql", "one");
  archive.BeginEntry("db/b.sql", 0);
  archive.Write("two", 3);
  const std::string saved = ReadFileOrDie(zip_ + ".tail");
  archive.AbortEntry();
  const std::string before = ReadFileOrDie(zip_);
  for (const std::string& bad :
       {saved.substr(0, saved.size() - 1), std::string("junk"), std::string(),
        saved.substr(0, 12) + std::string(saved.size() - 12, '\xff')}) {
    WriteFileOrDie(zip_ + ".tail", bad);
    ASSERT_TRUE(RepairArchive(env_.get(), zip_).ok());
    EXPECT_TRUE(ReadFileOrDie(zip_) == before);
    EXPECT_FALSE(env_->Exists(zip_ + ".tail"));
  }
  EXPECT_TRUE(RepairArchive(env_.get(), dir_.Sub("none.zip")).ok());
}

TEST_F(ArchiveTest, SameNameEntryIsReplaced) {
  const std::string big = SqlText(200000, 17);
  RunArchive archive(env_.get(), zip_);
  Pack(&archive, "db/a.sql", "old");
  Pack(&archive, "db/b.sql", big);
  Pack(&archive, "db/c.sql", "sea");
  // Replacing, then giving up, keeps the old entry.
  const std::string before = ReadFileOrDie(zip_);
  archive.BeginEntry("db/a.sql", 0);
  archive.Write("never", 5);
  archive.AbortEntry();
  EXPECT_TRUE(ReadFileOrDie(zip_) == before);
  EXPECT_FALSE(env_->Exists(zip_ + ".rewrite"));

  Pack(&archive, "db/a.sql", "new");
  auto entries = ReadEntries(zip_);
  ASSERT_EQ(3u, entries.size());
  EXPECT_EQ("new", entries["db/a.sql"].data);
  EXPECT_TRUE(entries["db/b.sql"].data == big);
  EXPECT_EQ("sea", entries["db/c.sql"].data);
  EXPECT_EQ(0100600u, entries["db/b.sql"].external_fa >> 16);
  EXPECT_FALSE(entries["db/b.sql"].flag & (1 << 11));  // an ASCII name
  EXPECT_TRUE(UnzipTestsClean(zip_));
  EXPECT_EQ(0u, PythonListing(dir_, zip_).rfind("ok\ndb/b.sql", 0));
  EXPECT_FALSE(env_->Exists(zip_ + ".rewrite"));
  EXPECT_FALSE(env_->Exists(zip_ + ".tail"));
  struct stat st;
  ASSERT_EQ(0, ::stat(zip_.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(ArchiveTest, TwoWritersOnOneArchiveAreSerialized) {
  constexpr int kEntries = 8;
  auto run = [&](const std::string& prefix, uint32_t seed) {
    auto env = NewDefaultEnv();
    RunArchive archive(env.get(), zip_);
    for (int i = 0; i < kEntries; ++i) {
      Pack(&archive, "db/" + prefix + std::to_string(i) + ".sql",
           SqlText(50000 + 1000 * i, seed + static_cast<uint32_t>(i)));
    }
  };
  std::thread one(run, "one_", 100);
  std::thread two(run, "two_", 200);
  one.join();
  two.join();
  auto entries = ReadEntries(zip_);
  ASSERT_EQ(2u * kEntries, entries.size());
  for (int i = 0; i < kEntries; ++i) {
    EXPECT_TRUE(entries["db/one_" + std::to_string(i) + ".sql"].data ==
                SqlText(50000 + 1000 * i, 100 + static_cast<uint32_t>(i)));
    EXPECT_TRUE(entries["db/two_" + std::to_string(i) + ".sql"].data ==
                SqlText(50000 + 1000 * i, 200 + static_cast<uint32_t>(i)));
  }
  EXPECT_TRUE(UnzipTestsClean(zip_));
}

TEST_F(ArchiveTest, PackFileReadsThroughEnv) {
  const std::string data = SqlText(3 << 20, 18);
  const std::string file = dir_.Sub("accounts.txt");
  WriteFileOrDie(file, data);
  RunArchive archive(env_.get(), zip_);
  archive.PackFile(file, "db/accounts.txt");
  EXPECT_TRUE(ReadEntries(zip_)["db/accounts.txt"].data == data);
  EXPECT_THROW(archive.PackFile(dir_.Sub("missing.txt"), "db/missing.txt"), Failure);
  EXPECT_EQ(1u, ReadEntries(zip_).size());
}

TEST_F(ArchiveTest, RefusesToAppendToDamagedArchive) {
  WriteFileOrDie(zip_, "not a zip at all");
  RunArchive archive(env_.get(), zip_);
  EXPECT_THROW(archive.BeginEntry("db/a.sql", 0), Failure);
  EXPECT_EQ("not a zip at all", ReadFileOrDie(zip_));
  EXPECT_FALSE(env_->Exists(zip_ + ".tail"));
}

}  // namespace
}  // namespace vaultrun

namespace vaultrun {
namespace {

TEST(ArchiveComment, SetReadAndRemovedByTheNextPack) {
  test::TempDir dir;
  auto env = NewDefaultEnv();
  std::string path = dir.Sub("20260101000000.zip");
  RunArchive archive(env.get(), path);
  archive.BeginEntry("db/a.sql", 10);
  archive.Write("aaaa", 4);
  archive.CommitEntry();
  std::string comment = "x";
  ASSERT_TRUE(ReadArchiveComment(env.get(), path, &comment).ok());
  EXPECT_EQ("", comment);

  ASSERT_TRUE(SetArchiveComment(env.get(), path, "Vaultrun\nmark\n").ok());
  ASSERT_TRUE(ReadArchiveComment(env.get(), path, &comment).ok());
  EXPECT_EQ("Vaultrun\nmark\n", comment);
  std::string out;
  ASSERT_EQ(
      0, test::RunCommand("unzip -tq '" + path + "' >/dev/null && unzip -z '" + path + "'", &out));
  EXPECT_NE(std::string::npos, out.find("Vaultrun\nmark"));
  // A shorter comment leaves no stale bytes behind.
  ASSERT_TRUE(SetArchiveComment(env.get(), path, "m").ok());
  ASSERT_TRUE(ReadArchiveComment(env.get(), path, &comment).ok());
  EXPECT_EQ("m", comment);

  // A pack removes the mark first, and a failed pack does not bring it back.
  test::FaultEnv faulty(env.get());
  RunArchive second(&faulty, path);
  second.BeginEntry("db/b.sql", 10);
  faulty.FailWritesAfter(".zip", 0);
  EXPECT_THROW(
      {
        second.Write("bbbb", 4);
        second.CommitEntry();
      },
      Failure);
  // The disk stayed full while putting back, so the repair finishes it.
  faulty.DisarmWrites();
  ASSERT_TRUE(RepairArchive(env.get(), path).ok());
  ASSERT_TRUE(ReadArchiveComment(env.get(), path, &comment).ok());
  EXPECT_EQ("", comment);
  EXPECT_EQ(0, test::RunCommand("unzip -tq '" + path + "' >/dev/null"));
  EXPECT_FALSE(env->Exists(path + ".tail"));
}

}  // namespace
}  // namespace vaultrun
