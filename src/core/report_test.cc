#include "core/report.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "fakes.h"

namespace vaultrun {
namespace {

// Whatever ends a run early is told with one error entry and exit status 1.
TEST(RunReportedTest, EveryKindOfThrowIsOneEntry) {
  struct Row {
    std::function<void()> body;
    const char* entry;  // nullptr: none
  } rows[] = {
      {[] {}, nullptr},
      {[] { throw Failure(7, "disk gone"); }, "Vaultrun: disk gone"},
      {[] { throw Failure(7, "Can't find", "Can't find"); }, "Can't find"},
      {[] { throw std::runtime_error("stoull"); }, "Vaultrun: stoull"},
      {[] { throw 42; }, "Vaultrun: an unknown failure"},
  };
  for (const Row& row : rows) {
    test::RecordingEventLog log;
    Process process;
    process.event_log = &log;
    EXPECT_EQ(row.entry == nullptr ? 0 : 1, RunReported(process, row.body));
    ASSERT_EQ(row.entry == nullptr ? 0u : 1u, log.entries.size());
    if (row.entry == nullptr) continue;
    EXPECT_EQ(row.entry, log.entries[0].text);
    EXPECT_EQ(kEventError, log.entries[0].type);
  }
}

}  // namespace
}  // namespace vaultrun
