#include "archive/summary.h"

#include <algorithm>
#include <set>
#include <utility>

#include "archive/definitions_entry.h"
#include "core/failure.h"

namespace vaultrun {
namespace {

// Decompresses every entry; a CRC-32, size or (once the reader expects the
// manifest's) SHA-256 that does not match raises. The manifest, which the
// tag covers, is not listed in itself.
void ReadEveryEntry(ArchiveReader& reader, bool skip_manifest) {
  std::string buffer(1 << 16, '\0');
  for (size_t i = 0; i < reader.all_entries().size(); ++i) {
    const ZipEntry& entry = reader.all_entries()[i];
    if (skip_manifest && entry.name == kManifestEntry) continue;
    reader.OpenIndex(i);
    uint64_t total = 0;
    for (size_t n; (n = reader.Read(buffer.data(), buffer.size())) > 0;) total += n;
    if (total != entry.size) {
      throw Failure(kErrArchive, reader.path() + ": entry " + entry.name + " is damaged (" +
                                     std::to_string(total) + " bytes instead of " +
                                     std::to_string(entry.size) + ")");
    }
  }
}

}  // namespace

bool IsStampedArchiveName(const std::string& name) {
  if (name.size() != 18 || name.compare(14, 4, ".zip") != 0) return false;
  return std::all_of(name.begin(), name.begin() + 14, [](char c) { return c >= '0' && c <= '9'; });
}

Status StampedArchives(Env* env, const std::string& folder, std::vector<std::string>* names) {
  names->clear();
  std::vector<std::string> all;
  Status s = env->ListFolder(folder, &all);
  if (!s.ok()) return s;
  for (std::string& name : all) {
    if (IsStampedArchiveName(name)) names->push_back(std::move(name));
  }
  std::sort(names->begin(), names->end(), std::greater<>());
  return Status::OK();
}

const char* StateName(ArchiveState state) {
  switch (state) {
    case ArchiveState::kComplete:
      return "complete";
    case ArchiveState::kIncomplete:
      return "incomplete";
    case ArchiveState::kDamaged:
      return "damaged";
  }
  return "damaged";
}

std::string CompletenessProblem(const ArchiveReader& reader) {
  std::optional<CompletenessMark> mark = ParseCompletenessMark(reader.comment());
  if (!mark) return "no completeness mark: its run failed or was cut off";
  std::set<std::string> held;
  for (const DataEntry& entry : reader.entries()) {
    if (entry.database == mark->database) held.insert(entry.table);
  }
  for (const auto& [table, rows] : mark->tables) {
    if (held.count(table) == 0) return "the mark lists table " + table + ", which has no entry";
  }
  if (held.size() < mark->tables.size() + mark->more_tables) {
    return "the mark counts " + std::to_string(mark->tables.size() + mark->more_tables) +
           " tables, the archive holds " + std::to_string(held.size());
  }
  return "";
}

ArchiveSummary SummarizeArchive(Env* env, const std::string& path, bool deep,
                                const ArchiveKeyResult* key) {
  ArchiveSummary summary;
  summary.path = path;
  const size_t slash = path.find_last_of(env->Separator());
  summary.name = slash == std::string::npos ? path : path.substr(slash + 1);
  (void)env->FileSize(path, &summary.bytes);
  // A pack that a killed run left: the archive's end is in the tail file,
  // and the next run of the database puts it back.
  const bool cut_off = env->Exists(path + ".tail");
  try {
    ArchiveReader reader(path, env);
    bool sql = false, csv = false;
    for (const DataEntry& entry : reader.entries()) {
      (entry.form == DataForm::kSql ? sql : csv) = true;
    }
    summary.format = sql && csv ? "sql+csv" : sql ? "sql" : csv ? "csv" : "";
    summary.tables = reader.entries().size();
    summary.definitions =
        std::any_of(reader.all_entries().begin(), reader.all_entries().end(),
                    [](const ZipEntry& entry) { return entry.name == kDefinitionsEntry; });
    summary.problem = CompletenessProblem(reader);
    if (summary.problem.empty()) {
      const CompletenessMark mark = *ParseCompletenessMark(reader.comment());
      summary.state = ArchiveState::kComplete;
      summary.tables = mark.tables.size() + mark.more_tables;
      if (mark.more_tables == 0) {
        uint64_t rows = 0;
        for (const auto& [table, count] : mark.tables) rows += count;
        summary.rows = rows;
      }
    } else if (!ParseCompletenessMark(reader.comment())) {
      summary.state = ArchiveState::kIncomplete;
    } else {
      summary.state = ArchiveState::kDamaged;  // a mark that the entries belie
    }
    const ArchiveOrigin origin = ReadArchiveOrigin(reader, key);
    summary.authenticated = origin.authenticated;
    if (!origin.damage.empty()) {
      summary.state = ArchiveState::kDamaged;
      summary.problem = origin.damage;
    }
    if (deep) {
      const bool expect = origin.manifest && origin.damage.empty();
      if (expect) reader.ExpectStored(*origin.manifest);
      ReadEveryEntry(reader, expect);
    }
  } catch (const Failure& failure) {
    summary.state = ArchiveState::kDamaged;
    summary.authenticated = false;
    summary.problem = failure.description();
  }
  if (cut_off) {
    summary.state = ArchiveState::kIncomplete;
    summary.problem = "a pack was cut off (" + summary.name +
                      ".tail is beside it): the next run of its database puts it back";
  }
  return summary;
}

}  // namespace vaultrun
