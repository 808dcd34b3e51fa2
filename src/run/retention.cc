#include "run/retention.h"

#include <algorithm>

#include "archive/completeness_mark.h"
#include "archive/writer.h"
#include "core/failure.h"

namespace vaultrun {

bool IsStampedArchiveName(const std::string& name) {
  if (name.size() != 18 || name.compare(14, 4, ".zip") != 0) return false;
  return std::all_of(name.begin(), name.begin() + 14, [](char c) { return c >= '0' && c <= '9'; });
}

std::string FutureArchive(const std::vector<ArchiveInfo>& archives, const std::string& current) {
  std::string newest;
  for (const ArchiveInfo& archive : archives) {
    if (archive.name > current && archive.name > newest) newest = archive.name;
  }
  return newest;
}

std::vector<std::string> ArchivesToDelete(std::vector<ArchiveInfo> archives, int keep,
                                          const std::string& current) {
  std::vector<std::string> doomed;
  if (keep < 1 || !FutureArchive(archives, current).empty()) return doomed;
  // Stamps sort by time as text.
  std::sort(archives.begin(), archives.end(),
            [](const ArchiveInfo& a, const ArchiveInfo& b) { return a.name > b.name; });
  int kept = 0;
  size_t oldest_kept = archives.size();
  for (size_t i = 0; i < archives.size() && kept < keep; ++i) {
    if (archives[i].marked) {
      ++kept;
      oldest_kept = i;
    }
  }
  if (kept < keep) return doomed;
  for (size_t i = oldest_kept + 1; i < archives.size(); ++i) {
    if (archives[i].name != current) doomed.push_back(archives[i].name);
  }
  return doomed;
}

std::vector<ArchiveInfo> FolderArchives(Env* env, const std::string& database_folder) {
  std::vector<std::string> names;
  ThrowIfError(env->ListFolder(database_folder, &names));
  std::vector<ArchiveInfo> archives;
  for (const std::string& name : names) {
    if (!IsStampedArchiveName(name)) continue;
    std::string path = database_folder + env->Separator() + name;
    if (env->Exists(path + ".tail")) continue;  // mid-pack: not ours to judge
    std::string comment;
    // An archive that cannot be read carries no mark; it may still be old
    // enough to go.
    bool marked =
        ReadArchiveComment(env, path, &comment).ok() && ParseCompletenessMark(comment).has_value();
    archives.push_back({name, marked});
  }
  return archives;
}

PruneResult PruneArchives(Env* env, const std::string& database_folder, int keep,
                          const std::string& current) {
  const std::vector<ArchiveInfo> archives = FolderArchives(env, database_folder);
  PruneResult result;
  for (const std::string& name : ArchivesToDelete(archives, keep, current)) {
    Status s = env->DeleteFile(database_folder + env->Separator() + name);
    if (!s.ok()) result.not_deleted.push_back(s.description());
  }
  result.future = FutureArchive(archives, current);
  return result;
}

}  // namespace vaultrun
