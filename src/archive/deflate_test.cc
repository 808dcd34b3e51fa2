#include "archive/deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <string>

namespace vaultrun {
namespace {

std::string Inflate(const std::string& raw) {
  z_stream z{};
  EXPECT_EQ(Z_OK, inflateInit2(&z, -MAX_WBITS));
  std::string out;
  char buf[65536];
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
  z.avail_in = static_cast<uInt>(raw.size());
  int r;
  do {
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    r = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
  } while (r == Z_OK);
  EXPECT_EQ(Z_STREAM_END, r);
  EXPECT_EQ(0u, z.avail_in);  // nothing after the final block
  inflateEnd(&z);
  return out;
}

std::string Text(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) s += "(" + std::to_string(rng() % 5000) + ",'row'),";
  s.resize(n);
  return s;
}

DeflateSink AppendTo(std::string* out) {
  return [out](const char* d, size_t n) {
    out->append(d, n);
    return Status::OK();
  };
}

TEST(RawDeflaterTest, RoundTripsAtEveryLevel) {
  const std::string text = Text(3 << 20, 1);
  for (int level = 0; level <= 3; ++level) {
    RawDeflater deflater(level);
    std::string out;
    ASSERT_TRUE(deflater.Add(text.data(), text.size() / 2, AppendTo(&out)).ok());
    ASSERT_TRUE(
        deflater.Add(text.data() + text.size() / 2, text.size() - text.size() / 2, AppendTo(&out))
            .ok());
    ASSERT_TRUE(deflater.Finish(AppendTo(&out)).ok());
    // A raw stream (Inflate refuses bytes after it), and the compressor's
    // own sum of its input.
    EXPECT_TRUE(Inflate(out) == text) << "level " << level;
    EXPECT_EQ(Crc32(0, text.data(), text.size()), deflater.crc()) << "level " << level;
  }
  RawDeflater empty;
  std::string out;
  ASSERT_TRUE(empty.Finish(AppendTo(&out)).ok());
  EXPECT_EQ("", Inflate(out));
  EXPECT_EQ(0u, empty.crc());
}

TEST(RawDeflaterTest, CrcMatchesZlib) {
  const std::string text = Text(100000, 2);
  uint32_t mine = Crc32(Crc32(0, text.data(), 1000), text.data() + 1000, text.size() - 1000);
  EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())),
            mine);
}

// The check proves what a stream decodes to when fed in any pieces, and
// refuses damaged streams and bytes after the last block.
TEST(InflateCheckTest, ProvesStreamsAndRefusesDamage) {
  const std::string text = Text(1 << 20, 3);
  RawDeflater deflater;
  std::string raw;
  ASSERT_TRUE(deflater.Add(text.data(), text.size(), AppendTo(&raw)).ok());
  ASSERT_TRUE(deflater.Finish(AppendTo(&raw)).ok());

  InflateCheck whole;
  for (size_t at = 0; at < raw.size(); at += 7777) {
    ASSERT_TRUE(whole.Add(raw.data() + at, std::min<size_t>(7777, raw.size() - at)).ok());
  }
  EXPECT_TRUE(whole.finished());
  EXPECT_EQ(text.size(), whole.size());
  EXPECT_EQ(Crc32(0, text.data(), text.size()), whole.crc());
  EXPECT_EQ(raw.size(), whole.deflated_size());
  EXPECT_EQ(Crc32(0, raw.data(), raw.size()), whole.deflated_crc());

  InflateCheck cut;
  ASSERT_TRUE(cut.Add(raw.data(), raw.size() / 2).ok());
  EXPECT_FALSE(cut.finished());

  InflateCheck trailing;
  EXPECT_FALSE(trailing.Add((raw + "x").data(), raw.size() + 1).ok());

  std::string damaged = raw;
  for (size_t i = 0; i < 64; ++i) damaged[i] = static_cast<char>(0xFF);
  InflateCheck bad;
  Status s = bad.Add(damaged.data(), damaged.size());
  EXPECT_FALSE(s.ok() && bad.finished() && bad.crc() == whole.crc());
}

// Copied pieces (Write) and whole blocks (Submit), mixed, of every size
// around the block size, one block larger than any the writer keeps.
TEST(CompressingWriterTest, OutputInflatesToInputAcrossBufferBoundaries) {
  constexpr size_t kBuf = CompressingWriter::kBufferSize;
  for (size_t size : {size_t{0}, size_t{1}, kBuf - 1, kBuf, kBuf + 1, 7 * kBuf / 2, 12 * kBuf}) {
    const std::string text = Text(size, static_cast<uint32_t>(size));
    std::string out;
    CompressingWriter writer(kDeflateLevel, AppendTo(&out));
    auto block = std::make_unique<ByteBuffer>();
    size_t piece = 333333;
    for (size_t at = 0, i = 0; at < size; at += piece, ++i) {
      piece = i % 5 == 4 ? 3 * CompressingWriter::kBlockCapacity : 333333 * (1 + i % 4);
      piece = std::min(piece, size - at);
      if (i % 2 == 0) {
        ASSERT_TRUE(writer.Write(text.data() + at, piece).ok());
      } else {
        block->Append(text.data() + at, piece);
        ASSERT_TRUE(writer.Submit(&block).ok());
        ASSERT_TRUE(block != nullptr && block->empty());
      }
    }
    uint32_t crc = 0;
    uint64_t total = 0;
    ASSERT_TRUE(writer.Finish(&crc, &total).ok());
    EXPECT_EQ(size, total);
    EXPECT_EQ(Crc32(0, text.data(), text.size()), crc);
    EXPECT_TRUE(Inflate(out) == text) << size;
  }
}

TEST(CompressingWriterTest, SinkFailureReachesTheProducer) {
  std::atomic<int> calls{0};
  CompressingWriter writer(kDeflateLevel, [&](const char*, size_t) {
    ++calls;
    return Status::Error(ENOSPC, "write x: No space left on device");
  });
  const std::string text = Text(1 << 20, 3);
  Status s;
  // The failure shows within a few buffers, never blocking the producer.
  for (int i = 0; i < 64 && s.ok(); ++i) s = writer.Write(text.data(), text.size());
  EXPECT_EQ(ENOSPC, s.number());
  uint32_t crc;
  uint64_t total;
  EXPECT_EQ(ENOSPC, writer.Finish(&crc, &total).number());
  EXPECT_EQ(1, calls.load());  // nothing is passed on after the first failure
}

TEST(CompressingWriterTest, CancelStopsWithoutFinishing) {
  std::atomic<size_t> bytes{0};
  {
    CompressingWriter writer(kDeflateLevel, [&](const char*, size_t n) {
      bytes += n;
      return Status::OK();
    });
    const std::string text = Text(3 << 20, 4);
    ASSERT_TRUE(writer.Write(text.data(), text.size()).ok());
    writer.Cancel();
    size_t seen = bytes.load();
    writer.Cancel();  // a second Cancel is harmless
    EXPECT_EQ(seen, bytes.load());
  }  // the destructor cancels again
}

}  // namespace
}  // namespace vaultrun
