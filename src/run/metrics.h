// The metrics file: after every run (success, failure, or a run refused by
// the run lock) the file that the setting "metrics_file" names is replaced
// atomically with Prometheus text exposition, which node_exporter's and
// windows_exporter's textfile collectors read. Every series is labelled
// with the database; the series of other databases in the file are kept.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/process.h"

namespace vaultrun {

// One sample of the file: a series of ours, by its database label.
struct MetricSample {
  std::string name;
  std::string database;
  double value = 0;
};

struct ParsedMetrics {
  std::vector<MetricSample> samples;     // every sample that has a database label
  std::vector<size_t> unreadable_lines;  // 1-based numbers of lines not read
};

// Reads exposition text tolerantly: comments and blank lines are skipped,
// and a line that is no sample is counted, not fatal.
ParsedMetrics ParseMetrics(std::string_view text);

// The text of the samples: the series of each metric of ours, in a fixed
// order, each metric with its HELP and TYPE lines; samples of other names
// are left out. Ends with a newline.
std::string FormatMetrics(const std::vector<MetricSample>& samples);

// What a run did, as the metrics file reports it; filled as the run goes.
struct RunRecord {
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  std::string metrics_file;     // full path; empty: none
  std::string database_folder;  // "" when the run ended before it was known
  std::string archive_path;     // the run's archive, once named
  uint64_t tables = 0;          // packed
  uint64_t rows = 0;
  // Off-site copies are on; when every complete archive was last
  // confirmed on the remote (by this run, when it got that far).
  bool offsite = false;
  std::optional<int64_t> offsite_success_time;
};

// The Unix time of the newest complete archive of a database folder (a
// pack in progress does not count), or 0 when there is none.
int64_t NewestCompleteArchiveTime(Env* env, const std::string& database_folder);

// Replaces the metrics file after a run that exited with `status` (0: a
// success), for the process's database (when the run ended before it was
// known: for each database the file reports). A failed run keeps the last
// success's time, read back from the file it replaces. Raises a Failure
// when the file cannot be written.
void WriteRunMetrics(Process& process, const RunRecord& record, int status);

}  // namespace vaultrun
