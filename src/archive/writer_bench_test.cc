// Packing throughput, printed and never asserted: RunArchive (ISA-L level 1
// on a second thread) against minizip's own zlib deflate, on ~200 MB of
// SQL-like text; also the ratio and the extra peak memory of a pack.
// Run with: vaultrun_tests --gtest_also_run_disabled_tests
//           --gtest_filter='ArchiveBenchmark.*'
#include <gtest/gtest.h>
#include <malloc.h>
#include <minizip/zip.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <string>

#include "archive/check.h"
#include "archive/deflate.h"
#include "archive/writer.h"
#include "platform/env.h"
#include "test_util.h"

namespace vaultrun {
namespace {

constexpr size_t kCorpus = size_t{16} << 20;
constexpr size_t kTotal = size_t{200} << 20;
constexpr size_t kChunk = size_t{64} << 10;  // what a table dump hands over at a time

// INSERT statements of 20 rows, CR LF line ends, as the dumps write them.
const std::string& Corpus() {
  static const std::string corpus = [] {
    static const char* kWords[] = {"sword", "shield", "potion", "dragon", "castle", "ranger",
                                   "mage",  "rogue",  "gold",   "elixir", "it\\'s", "Zoë"};
    std::mt19937 rng(42);
    std::string s;
    s.reserve(kCorpus + 512);
    uint64_t id = 1;
    while (s.size() < kCorpus) {
      s += "INSERT INTO `inventory` VALUES ";
      for (int row = 0; row < 20; ++row, ++id) {
        s += (row ? ",(" : "(") + std::to_string(id) + "," + std::to_string(rng() % 200000) + ",'" +
             kWords[rng() % 12] + "_" + std::to_string(rng() % 5000) + "'," +
             std::to_string(rng() % 100) + "," + std::to_string(rng() % 2) + ",'2024-" +
             std::to_string(10 + rng() % 3) + "-" + std::to_string(10 + rng() % 18) + " " +
             std::to_string(10 + rng() % 14) + ":" + std::to_string(10 + rng() % 50) + ":" +
             std::to_string(10 + rng() % 50) + "',NULL)";
      }
      s += ";\r\n";
    }
    s.resize(kCorpus);
    return s;
  }();
  return corpus;
}

// Feeds total bytes of the corpus to write(data, n) in kChunk pieces.
template <typename F>
void Feed(F write, uint64_t total = kTotal) {
  const std::string& c = Corpus();
  for (uint64_t done = 0; done < total;) {
    size_t at = static_cast<size_t>(done % c.size());
    size_t n = static_cast<size_t>(std::min<uint64_t>({kChunk, c.size() - at, total - done}));
    write(c.data() + at, n);
    done += n;
  }
}

long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::string(key).size()));
  }
  return 0;
}

// Resets the peak RSS so VmHWM afterwards is the peak of what ran since.
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

struct Figures {
  double seconds = 0;
  uint64_t out_bytes = 0;
  long extra_peak_kb = 0;
};

Figures Measure(const std::function<uint64_t()>& run) {
  Corpus();
  malloc_trim(0);  // freed buffers of an earlier round would hide this one's peak
  long rss = StatusKb("VmRSS:");
  ResetPeak();
  auto start = std::chrono::steady_clock::now();
  Figures f;
  f.out_bytes = run();
  f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  f.extra_peak_kb = StatusKb("VmHWM:") - rss;
  return f;
}

void Print(const char* what, const Figures& f) {
  std::printf("%-46s %7.1f MB/s  ratio %5.2f  out %6.1f MB  extra peak %5.1f MB\n", what,
              static_cast<double>(kTotal) / 1048576.0 / f.seconds,
              static_cast<double>(kTotal) / static_cast<double>(f.out_bytes),
              static_cast<double>(f.out_bytes) / 1048576.0,
              static_cast<double>(f.extra_peak_kb) / 1024.0);
}

uint64_t SizeOf(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  return static_cast<uint64_t>(f.tellg());
}

TEST(ArchiveBenchmark, DISABLED_PackThroughput) {
  auto env = NewDefaultEnv();
  test::TempDir dir;
  std::printf("%zu MB of SQL-like text, fed in %zu KB pieces\n", kTotal >> 20, kChunk >> 10);
  for (int round = 0; round < 2; ++round) {
    Print("RunArchive, ISA-L level 1 on a second thread", Measure([&] {
            const std::string path = dir.Sub("isal" + std::to_string(round) + ".zip");
            RunArchive archive(env.get(), path);
            archive.BeginEntry("gamedb/inventory.sql", kTotal);
            Feed([&](const char* d, size_t n) { archive.Write(d, n); });
            archive.CommitEntry();
            return SizeOf(path);
          }));
  }
  for (int level : {1, 6}) {
    std::string what = "minizip + zlib level " + std::to_string(level) + ", one thread";
    Print(what.c_str(), Measure([&] {
            const std::string path = dir.Sub("zlib" + std::to_string(level) + ".zip");
            zipFile z = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
            zip_fileinfo zi{};
            zipOpenNewFileInZip64(z, "gamedb/inventory.sql", &zi, nullptr, 0, nullptr, 0, nullptr,
                                  Z_DEFLATED, level, 0);
            Feed([&](const char* d, size_t n) {
              zipWriteInFileInZip(z, d, static_cast<unsigned>(n));
            });
            zipCloseFileInZip(z);
            zipClose(z, nullptr);
            return SizeOf(path);
          }));
  }
  for (int level = 0; level <= 3; ++level) {
    std::string what = "ISA-L raw deflate level " + std::to_string(level) + " alone, one thread";
    Print(what.c_str(), Measure([&] {
            uint64_t out = 0;
            RawDeflater d(level);
            DeflateSink sink = [&](const char*, size_t n) {
              out += n;
              return Status::OK();
            };
            Feed([&](const char* p, size_t n) { d.Add(p, n, sink); });
            d.Finish(sink);
            return out;
          }));
  }
}

// One entry over 4 GiB of unknown size (as a table dump is packed), then a
// small one after it: unzip, 7-Zip, Python's zipfile and the
// run's own read-back must all test the archive clean. Takes minutes and
// about 1.2 GB of disk in the temp folder, so it is not in the default run:
//   vaultrun_tests --gtest_also_run_disabled_tests
//                  --gtest_filter='ArchiveBenchmark.DISABLED_EntryOver4GiB*'
TEST(ArchiveBenchmark, DISABLED_EntryOver4GiBTestsCleanInEveryReader) {
  constexpr uint64_t kBig = (uint64_t{4} << 30) + (uint64_t{300} << 20);
  auto env = NewDefaultEnv();
  test::TempDir dir;
  const std::string path = dir.Sub("20261207043000.zip");
  auto start = std::chrono::steady_clock::now();
  auto seconds = [&start] {
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    start = std::chrono::steady_clock::now();
    return s;
  };
  {
    RunArchive archive(env.get(), path);
    archive.BeginEntry("gamedb/inventory.sql", UINT64_MAX);
    Feed([&](const char* d, size_t n) { archive.Write(d, n); }, kBig);
    archive.CommitEntry();
    archive.BeginEntry("gamedb/after.sql", UINT64_MAX);
    archive.Write("insert into `after` values (1);\r\n", 33);
    archive.CommitEntry();
  }
  std::printf("packed %.2f GiB into %.1f MB in %.1f s\n", static_cast<double>(kBig) / (1 << 30),
              static_cast<double>(SizeOf(path)) / 1048576.0, seconds());
  std::string out;
  EXPECT_EQ(0, test::RunCommand("unzip -tq '" + path + "' 2>&1", &out)) << out;
  std::printf("unzip -t: %.1f s\n", seconds());
  EXPECT_EQ(0, test::RunCommand("7zz t -bd '" + path + "' 2>&1", &out)) << out;
  EXPECT_EQ(std::string::npos, out.find("Warning")) << out;
  std::printf("7zz t: %.1f s\n", seconds());
  EXPECT_EQ(0, test::RunCommand("python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]);"
                                " sys.exit(z.testzip() is not None)' '" +
                                    path + "' 2>&1",
                                &out))
      << out;
  std::printf("python3 zipfile testzip: %.1f s\n", seconds());
  std::string comment;
  Status checked = CheckArchive(env.get(), path, &comment);
  EXPECT_TRUE(checked.ok()) << checked.description();
  std::printf("CheckArchive (minizip + zlib): %.1f s\n", seconds());
}

}  // namespace
}  // namespace vaultrun
