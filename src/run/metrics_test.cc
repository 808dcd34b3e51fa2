#include "run/metrics.h"

#include <gtest/gtest.h>

namespace vaultrun {
namespace {

// The parser takes any exposition text: what it cannot read is counted,
// never fatal, and a sample is kept only with its database label.
TEST(MetricsTest, ParsesTolerantlyAndFormatsWhatItParses) {
  const std::string text =
      "# HELP vaultrun_last_run_success 1 when ...\n"
      "# TYPE vaultrun_last_run_success gauge\n"
      "\n"
      "vaultrun_last_run_success{database=\"game\"} 1\n"
      "vaultrun_last_run_rows{ host=\"h\" , database=\"a\\\"b\\\\c\\nd\",} 12 1700000000000\r\n"
      "vaultrun_last_success_timestamp_seconds{database=\"game\"} 1.7e+09\n"
      "node_load1 0.5\n"
      "vaultrun_last_run_tables{database=\"game\"} twelve\n"
      "vaultrun_last_run_tables{database=\"game} 3\n"
      "{database=\"game\"} 3\n"
      "   \n";
  ParsedMetrics parsed = ParseMetrics(text);
  EXPECT_EQ((std::vector<size_t>{8, 9, 10}), parsed.unreadable_lines);
  ASSERT_EQ(3u, parsed.samples.size());
  EXPECT_EQ("vaultrun_last_run_success", parsed.samples[0].name);
  EXPECT_EQ("game", parsed.samples[0].database);
  EXPECT_EQ(1, parsed.samples[0].value);
  EXPECT_EQ("a\"b\\c\nd", parsed.samples[1].database);
  EXPECT_EQ(12, parsed.samples[1].value);
  EXPECT_EQ(1.7e9, parsed.samples[2].value);

  // Formatted: each metric once with HELP and TYPE, the same samples back.
  std::string formatted = FormatMetrics(parsed.samples);
  EXPECT_EQ('\n', formatted.back());
  EXPECT_NE(
      std::string::npos,
      formatted.find("# TYPE vaultrun_last_success_timestamp_seconds gauge\n"
                     "vaultrun_last_success_timestamp_seconds{database=\"game\"} 1700000000\n"));
  ParsedMetrics again = ParseMetrics(formatted);
  EXPECT_TRUE(again.unreadable_lines.empty());
  ASSERT_EQ(parsed.samples.size(), again.samples.size());
  for (const MetricSample& sample : parsed.samples) {
    bool found = false;
    for (const MetricSample& back : again.samples) {
      found |= back.name == sample.name && back.database == sample.database &&
               back.value == sample.value;
    }
    EXPECT_TRUE(found) << sample.name << " " << sample.database;
  }
}

}  // namespace
}  // namespace vaultrun
