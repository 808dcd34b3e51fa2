#include "run/metrics.h"

#include <charconv>
#include <cmath>
#include <map>
#include <set>

#include "archive/summary.h"
#include "core/failure.h"

namespace vaultrun {
namespace {

struct Family {
  const char* name;
  const char* help;
};

// Every metric of the file, in the order written.
constexpr Family kFamilies[] = {
    {"vaultrun_last_run_timestamp_seconds", "When the last backup run ended, as a Unix time."},
    {"vaultrun_last_success_timestamp_seconds",
     "When the last backup run that exited 0 ended, as a Unix time (0: none yet)."},
    {"vaultrun_last_run_success", "1 when the last backup run exited 0, else 0."},
    {"vaultrun_last_run_duration_seconds", "How long the last backup run took."},
    {"vaultrun_last_archive_bytes", "The size of the archive the last run wrote (0: none)."},
    {"vaultrun_last_run_tables", "The tables the last run packed."},
    {"vaultrun_last_run_rows", "The rows the last run packed."},
    {"vaultrun_last_complete_archive_timestamp_seconds",
     "The stamp of the newest complete archive in the database's backup folder, as a Unix "
     "time (0: none)."},
    {"vaultrun_offsite_last_success_timestamp_seconds",
     "When every complete archive was last confirmed on the off-site remote, as a Unix time "
     "(0: not yet)."},
};

bool IsNameStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
}
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }

void SkipBlanks(std::string_view line, size_t& i) {
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
}

// A quoted label value at line[i] (i at the opening quote), unescaped.
std::optional<std::string> QuotedValue(std::string_view line, size_t& i) {
  if (i >= line.size() || line[i] != '"') return std::nullopt;
  std::string value;
  for (++i; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') {
      ++i;
      return value;
    }
    if (c == '\\') {
      if (++i >= line.size()) return std::nullopt;
      c = line[i] == 'n' ? '\n' : line[i];
    }
    value += c;
  }
  return std::nullopt;
}

// A sample value: a number, NaN or an infinity.
std::optional<double> SampleValue(std::string_view text) {
  if (text == "NaN") return NAN;
  if (text == "+Inf" || text == "Inf") return INFINITY;
  if (text == "-Inf") return -INFINITY;
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// One sample line; nothing when it is not one. *database is the value of
// its database label (the sample is of no use without one).
std::optional<MetricSample> SampleLine(std::string_view line, bool* has_database) {
  size_t i = 0;
  SkipBlanks(line, i);
  if (i >= line.size() || !IsNameStart(line[i])) return std::nullopt;
  MetricSample sample;
  while (i < line.size() && IsNameChar(line[i])) sample.name += line[i++];
  SkipBlanks(line, i);
  *has_database = false;
  if (i < line.size() && line[i] == '{') {
    ++i;
    for (;;) {
      SkipBlanks(line, i);
      if (i < line.size() && line[i] == '}') break;
      std::string label;
      while (i < line.size() && IsNameChar(line[i])) label += line[i++];
      SkipBlanks(line, i);
      if (label.empty() || i >= line.size() || line[i] != '=') return std::nullopt;
      ++i;
      SkipBlanks(line, i);
      std::optional<std::string> value = QuotedValue(line, i);
      if (!value) return std::nullopt;
      if (label == "database") {
        sample.database = *value;
        *has_database = true;
      }
      SkipBlanks(line, i);
      if (i < line.size() && line[i] == ',') ++i;
    }
    ++i;  // the closing brace
  }
  SkipBlanks(line, i);
  size_t end = i;
  while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
  std::optional<double> value = SampleValue(line.substr(i, end - i));
  if (!value) return std::nullopt;
  sample.value = *value;
  // An optional timestamp may follow; nothing else.
  i = end;
  SkipBlanks(line, i);
  while (i < line.size() && (line[i] == '-' || (line[i] >= '0' && line[i] <= '9'))) ++i;
  SkipBlanks(line, i);
  if (i != line.size()) return std::nullopt;
  return sample;
}

std::string EscapeLabel(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

std::string FormatValue(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  // Times, counts and sizes as whole numbers, as people read them.
  if (value == std::trunc(value) && std::fabs(value) < 1e15) {
    return std::to_string(static_cast<int64_t>(value));
  }
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return ec == std::errc() ? std::string(buffer, end) : "NaN";
}

// The value of a series in parsed text, if it is there.
std::optional<double> Find(const ParsedMetrics& parsed, const std::string& name,
                           const std::string& database) {
  std::optional<double> found;
  for (const MetricSample& sample : parsed.samples) {
    if (sample.name == name && sample.database == database) found = sample.value;
  }
  return found;
}

// A stamp's local time; nothing for text that is not 14 digits.
std::optional<LocalTime> StampTime(const std::string& stamp) {
  if (stamp.size() < 14) return std::nullopt;
  auto number = [&](size_t at, size_t n) {
    int value = 0;
    for (size_t i = at; i < at + n; ++i) value = value * 10 + (stamp[i] - '0');
    return value;
  };
  return LocalTime{number(0, 4), number(4, 2),  number(6, 2),
                   number(8, 2), number(10, 2), number(12, 2)};
}

Failure MetricsFailure(const std::string& path, const Status& status) {
  return Failure(status.number(), "metrics_file " + path + ": " + status.description());
}

// Writes text to path through a temporary file beside it and a rename, so
// that a collector never reads half a file.
void ReplaceFile(Env* env, const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  std::unique_ptr<File> file;
  // Readable by the collector, which runs as another user.
  Status s = env->OpenFile(temporary, OpenMode::kWriteNew, 0644, &file);
  if (s.ok()) s = file->Write(text);
  if (s.ok()) s = file->Sync();
  if (s.ok()) s = file->Close();
  if (s.ok()) s = env->RenameFile(temporary, path);
  if (!s.ok()) {
    if (file != nullptr) (void)file->Close();
    if (env->Exists(temporary)) (void)env->DeleteFile(temporary);
    throw MetricsFailure(path, s);
  }
}

}  // namespace

ParsedMetrics ParseMetrics(std::string_view text) {
  ParsedMetrics parsed;
  size_t number = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;
    bool has_database = false;
    std::optional<MetricSample> sample = SampleLine(line, &has_database);
    if (!sample) {
      parsed.unreadable_lines.push_back(number);
    } else if (has_database) {
      parsed.samples.push_back(std::move(*sample));
    }
  }
  return parsed;
}

std::string FormatMetrics(const std::vector<MetricSample>& samples) {
  std::string text;
  for (const Family& family : kFamilies) {
    // One sample per series: the last one given for a database counts.
    std::map<std::string, double> series;
    for (const MetricSample& sample : samples) {
      if (sample.name == family.name) series[sample.database] = sample.value;
    }
    if (series.empty()) continue;
    text += std::string("# HELP ") + family.name + " " + family.help + "\n";
    text += std::string("# TYPE ") + family.name + " gauge\n";
    for (const auto& [database, value] : series) {
      text += std::string(family.name) + "{database=\"" + EscapeLabel(database) + "\"} " +
              FormatValue(value) + "\n";
    }
  }
  return text;
}

int64_t NewestCompleteArchiveTime(Env* env, const std::string& database_folder) {
  std::vector<std::string> names;
  if (!env->FolderExists(database_folder) || !StampedArchives(env, database_folder, &names).ok()) {
    return 0;
  }
  for (const std::string& name : names) {
    const std::string path = database_folder + env->Separator() + name;
    if (env->Exists(path + ".tail")) continue;  // a pack in progress
    try {
      ArchiveReader reader(path, env);
      if (!CompletenessProblem(reader).empty()) continue;
    } catch (const Failure&) {
      continue;
    }
    std::optional<LocalTime> time = StampTime(name);
    if (time) return env->UnixTimeOf(*time);
  }
  return 0;
}

void WriteRunMetrics(Process& process, const RunRecord& record, int status) {
  if (record.metrics_file.empty()) return;
  Env* env = process.env;
  const std::string& path = record.metrics_file;
  // Runs of other databases may share the file: one at a time reads and
  // replaces it.
  std::unique_ptr<FileLock> lock;
  Status locked = env->LockFile(path + ".lock", &lock);
  if (!locked.ok()) throw MetricsFailure(path, locked);

  std::string old_text;
  Status read = env->ReadFile(path, &old_text);
  if (!read.ok() && !env->IsNotFound(read)) throw MetricsFailure(path, read);
  const ParsedMetrics old = ParseMetrics(old_text);

  // The run's own database; when it ended before the database was known,
  // every database the file reports had this run.
  std::set<std::string> databases;
  if (!process.DbName.empty()) {
    databases.insert(process.DbName);
  } else {
    for (const MetricSample& sample : old.samples) databases.insert(sample.database);
    if (databases.empty()) databases.insert("");
  }

  std::vector<MetricSample> samples;
  for (const MetricSample& sample : old.samples) {
    if (databases.count(sample.database) == 0) samples.push_back(sample);
  }
  const double now = static_cast<double>(env->UnixTime());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - record.started).count();
  uint64_t archive_bytes = 0;
  if (!record.archive_path.empty() && env->Exists(record.archive_path)) {
    (void)env->FileSize(record.archive_path, &archive_bytes);
  }
  for (const std::string& database : databases) {
    auto add = [&](const char* name, double value) { samples.push_back({name, database, value}); };
    const double complete =
        !record.database_folder.empty()
            ? static_cast<double>(NewestCompleteArchiveTime(env, record.database_folder))
            : Find(old, "vaultrun_last_complete_archive_timestamp_seconds", database).value_or(0);
    add("vaultrun_last_run_timestamp_seconds", now);
    add("vaultrun_last_success_timestamp_seconds",
        status == 0 ? now
                    : Find(old, "vaultrun_last_success_timestamp_seconds", database).value_or(0));
    add("vaultrun_last_run_success", status == 0 ? 1 : 0);
    add("vaultrun_last_run_duration_seconds", std::round(seconds * 1000) / 1000);
    add("vaultrun_last_archive_bytes", static_cast<double>(archive_bytes));
    add("vaultrun_last_run_tables", static_cast<double>(record.tables));
    add("vaultrun_last_run_rows", static_cast<double>(record.rows));
    add("vaultrun_last_complete_archive_timestamp_seconds", complete);
    // Only while off-site copies are on; a run that did not get that far
    // keeps the last confirmation's time.
    if (record.offsite) {
      const char* offsite = "vaultrun_offsite_last_success_timestamp_seconds";
      add(offsite, record.offsite_success_time ? static_cast<double>(*record.offsite_success_time)
                                               : Find(old, offsite, database).value_or(0));
    }
  }
  ReplaceFile(env, path, FormatMetrics(samples));
}

}  // namespace vaultrun
