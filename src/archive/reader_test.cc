// The reader takes ZIP64 whole, and checks each entry against an
// archive's manifest as it reads it. ZIP64: an entry over 4 GiB, entries that start
// past 4 GiB. The archive is made here: a stored entry of zeros that is a
// hole in a sparse file, then a 4.3 GiB entry of deflated zeros (4 MB on
// disk), then a small one; every byte of each is read back.
#include "archive/reader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <vector>

#include "archive/manifest.h"
#include "archive/writer.h"
#include "core/failure.h"
#include "test_util.h"

namespace vaultrun {
namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;

// Appends little-endian fields: widths holds each one's bytes ("42": a
// 4-byte field, then a 2-byte one).
void Le(std::string* out, const char* widths, std::initializer_list<uint64_t> values) {
  for (uint64_t v : values) {
    for (int i = 0; i < *widths - '0'; ++i)
      out->push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    ++widths;
  }
}
constexpr uint64_t kFF = 0xFFFFFFFF;  // "see the ZIP64 field"

struct Made {
  std::string name;
  uint16_t method;
  uint64_t size, compressed, offset;
  uint32_t crc;
};

// CRC-32 of n zero bytes, from the CRCs of a MiB of them and of the rest.
uint32_t ZerosCrc(uint64_t n) {
  static const std::vector<Bytef> mib(kMiB, 0);
  const uint32_t one = crc32(0, mib.data(), kMiB);
  uint32_t crc = 0;
  for (uint64_t i = 0; i < n / kMiB; ++i) crc = crc32_combine64(crc, one, kMiB);
  const uInt rest = static_cast<uInt>(n % kMiB);
  return crc32_combine64(crc, crc32(0, mib.data(), rest), rest);
}

// A raw deflate stream of mib MiB of zeros: one fully flushed block of a
// MiB (it refers to nothing before it) repeated, then an empty last block.
std::string DeflatedZeros(uint64_t mib) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  std::vector<Bytef> in(kMiB, 0), out(kMiB);
  auto run = [&](uInt n, int flush) {
    z.next_in = in.data();
    z.avail_in = n;
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, flush);
    return std::string(reinterpret_cast<char*>(out.data()), out.size() - z.avail_out);
  };
  const std::string block = run(kMiB, Z_FULL_FLUSH);
  std::string stream;
  for (uint64_t i = 0; i < mib; ++i) stream += block;
  stream += run(0, Z_FINISH);
  deflateEnd(&z);
  return stream;
}

TEST(ArchiveReaderTest, ReadsEveryByteOfEntriesOverAndPast4GiB) {
  test::TempDir dir;
  const std::string path = dir.Sub("big.zip");
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, f);
  std::vector<Made> made;
  auto add = [&](const std::string& name, uint16_t method, uint64_t size, uint32_t crc,
                 const std::string* data, uint64_t hole) {
    Made m{
        name, method, size, data != nullptr ? data->size() : hole, static_cast<uint64_t>(ftello(f)),
        crc};
    std::string head;
    Le(&head, "42222244422", {0x04034b50, 45, 0, method, 0, 0x21, crc, kFF, kFF, name.size(), 20});
    head += name;
    Le(&head, "2288", {1, 16, size, m.compressed});
    std::fwrite(head.data(), 1, head.size(), f);
    if (data != nullptr) std::fwrite(data->data(), 1, data->size(), f);
    if (hole > 0) fseeko(f, static_cast<off_t>(hole), SEEK_CUR);  // zeros, not on disk
    made.push_back(m);
  };
  const uint64_t pad = 4096 * kMiB + 4096;
  add("db/pad.sql", 0, pad, ZerosCrc(pad), nullptr, pad);
  const std::string zeros = DeflatedZeros(4400);
  add("db/big.sql", 8, 4400 * kMiB, ZerosCrc(4400 * kMiB), &zeros, 0);
  const std::string text = "a\tb\r\n";
  add("db/after.csv", 0, text.size(), crc32(0, reinterpret_cast<const Bytef*>(text.data()), 5),
      &text, 0);

  const uint64_t directory = static_cast<uint64_t>(ftello(f));
  std::string tail;
  for (const Made& m : made) {
    Le(&tail, "42222224442222244",
       {0x02014b50, 45, 45, 0, m.method, 0, 0x21, m.crc, kFF, kFF, m.name.size(), 28, 0, 0, 0, 0,
        kFF});
    tail += m.name;
    Le(&tail, "22888", {1, 24, m.size, m.compressed, m.offset});
  }
  const uint64_t directory_size = tail.size(), end64 = directory + tail.size();
  Le(&tail, "4822448888", {0x06064b50, 44, 45, 45, 0, 0, 3, 3, directory_size, directory});
  Le(&tail, "4484", {0x07064b50, 0, end64, 1});
  Le(&tail, "42222442", {0x06054b50, 0, 0, 3, 3, kFF, kFF, 0});
  std::fwrite(tail.data(), 1, tail.size(), f);
  ASSERT_EQ(0, std::fclose(f));

  ArchiveReader reader(path);
  ASSERT_EQ(3u, reader.all_entries().size());
  ASSERT_EQ(3u, reader.entries().size());
  EXPECT_EQ(4400 * kMiB, reader.entries()[1].size);
  std::vector<char> buffer(4 * kMiB);
  for (size_t i = 0; i < made.size(); ++i) {
    reader.OpenIndex(i);  // the CRC-32 is checked at the end
    uint64_t size = 0;
    for (size_t n; (n = reader.Read(buffer.data(), buffer.size())) > 0;) size += n;
    EXPECT_EQ(made[i].size, size) << made[i].name;
  }
  EXPECT_EQ(text, reader.ReadEntry("db/after.csv", 100));
}

// The description of the failure that reading every byte of an entry
// raises, "" when it raises none.
std::string ReadFailure(ArchiveReader& reader, const std::string& name) {
  try {
    reader.ReadEntry(name, kMiB);
  } catch (const Failure& failure) {
    return failure.description();
  }
  return "";
}

// With a manifest, the tag says which key made the archive, the directory
// must be what the manifest lists, and an entry whose stored bytes are not
// the listed ones is named when its last byte is read.
TEST(ArchiveReaderTest, EntriesAreCheckedAgainstTheManifestAsTheyAreRead) {
  test::TempDir dir;
  auto env = NewDefaultEnv();
  const ArchiveKeyResult key = test::FixedArchiveKey('k'), other = test::FixedArchiveKey('o');
  const std::string path = dir.Sub("a.zip");
  RunArchive archive(env.get(), path);
  const std::string rows = "insert into t values (1),(2);\r\n";
  for (const char* name : {"db/t.sql", "db/u.sql"}) {
    archive.BeginEntry(name, rows.size());
    archive.Write(rows.data(), rows.size());
    archive.CommitEntry();
  }
  std::vector<ManifestEntry> listed = ManifestOfPacked(archive.packed(), {{"db/t.sql", 2}});
  listed.pop_back();  // db/u.sql is not listed
  const std::string manifest = BuildManifest(listed);
  archive.BeginEntry(kManifestEntry, manifest.size());
  archive.Write(manifest.data(), manifest.size());
  archive.CommitEntry();
  CompletenessMark mark{"0", "20260101000000", "db", {{"t", 2}}, 0, "+00:00"};
  ASSERT_TRUE(TagMark(key, manifest, &mark).ok());
  ASSERT_TRUE(SetArchiveComment(env.get(), path, BuildCompletenessMark(mark)).ok());

  ArchiveReader reader(path);
  ArchiveOrigin origin = ReadArchiveOrigin(reader, &key);
  EXPECT_FALSE(origin.authenticated);
  EXPECT_EQ(
      "entry db/u.sql is not listed in its manifest: it was added, or the manifest changed, "
      "after its run",
      origin.damage);

  listed = ManifestOfPacked(archive.packed(), {{"db/t.sql", 2}, {"db/u.sql", 2}});
  listed.pop_back();                               // the manifest itself
  EXPECT_EQ("", ReadFailure(reader, "db/t.sql"));  // nothing expected yet
  listed[0].sha256[5] ^= 1;                        // as if db/t.sql had been changed after the run
  reader.ExpectStored(listed);
  EXPECT_EQ(path +
                ": entry db/t.sql was changed after its run: its bytes are not those its "
                "manifest lists",
            ReadFailure(reader, "db/t.sql"));
  EXPECT_EQ("", ReadFailure(reader, "db/u.sql"));
  listed.pop_back();
  reader.ExpectStored(listed);
  EXPECT_EQ(path +
                ": entry db/u.sql is not listed in its manifest: it was added, or the manifest "
                "changed, after its run",
            ReadFailure(reader, "db/u.sql"));

  // The tag: only the key that made it verifies it.
  const std::string full = BuildManifest(ManifestOfPacked(
      {archive.packed()[0], archive.packed()[1]}, {{"db/t.sql", 2}, {"db/u.sql", 2}}));
  ASSERT_TRUE(TagMark(key, full, &mark).ok());
  RunArchive again(env.get(), path);
  again.BeginEntry(kManifestEntry, full.size());
  again.Write(full.data(), full.size());
  again.CommitEntry();
  ASSERT_TRUE(SetArchiveComment(env.get(), path, BuildCompletenessMark(mark)).ok());
  ArchiveReader tagged(path);
  EXPECT_TRUE(ReadArchiveOrigin(tagged, &key).authenticated);
  origin = ReadArchiveOrigin(tagged, &other);
  EXPECT_FALSE(origin.authenticated);
  EXPECT_EQ(
      "it is signed with archive key " + key.id + ", not with the one held here (" + other.id + ")",
      origin.why_not);
  EXPECT_EQ(0u, ReadArchiveOrigin(tagged, nullptr)
                    .why_not.find("it is signed with archive key " + key.id +
                                  ", and no archive key is held here"));
  mark.tables[0].second = 3;  // a mark changed after the run
  ASSERT_TRUE(SetArchiveComment(env.get(), path, UntaggedMark(BuildCompletenessMark(mark))).ok());
  ArchiveReader untagged(path);
  EXPECT_EQ("its run held no archive key (its mark carries no tag)",
            ReadArchiveOrigin(untagged, &key).why_not);
}

}  // namespace
}  // namespace vaultrun
