#include "run/retention.h"

#include <algorithm>

#include "archive/completeness_mark.h"
#include "archive/manifest.h"
#include "archive/reader.h"
#include "archive/writer.h"
#include "core/failure.h"

namespace vaultrun {

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
    if (archives[i].verified) {
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

bool IsVerifiedBackup(Env* env, const std::string& path, const ArchiveKeyResult& key,
                      const std::string& database) {
  if (!key.ready()) return false;
  try {
    ArchiveReader reader(path, env, OpenMode::kReadOwn);
    // The cheap look first: most archives that do not count carry no mark.
    std::optional<CompletenessMark> mark = ParseCompletenessMark(reader.comment());
    if (!mark || mark->database != database || mark->tag_key_id != key.id) return false;
    ArchiveOrigin origin = ReadArchiveOrigin(reader, &key);
    return origin.authenticated && origin.mark->database == database;
  } catch (const Failure&) {
    return false;
  }
}

std::vector<ArchiveInfo> FolderArchives(Env* env, const std::string& database_folder,
                                        const ArchiveKeyResult& key, const std::string& database) {
  std::vector<std::string> names;
  ThrowIfError(env->ListFolder(database_folder, &names));
  std::vector<ArchiveInfo> archives;
  for (const std::string& name : names) {
    if (!IsStampedArchiveName(name)) continue;
    std::string path = database_folder + env->Separator() + name;
    if (env->Exists(path + ".tail")) continue;  // mid-pack: not ours to judge
    // An archive that cannot be read is neither; it may still be old enough
    // to go.
    std::string comment;
    const bool marked =
        ReadArchiveComment(env, path, &comment).ok() && ParseCompletenessMark(comment).has_value();
    archives.push_back({name, marked, marked && IsVerifiedBackup(env, path, key, database)});
  }
  return archives;
}

PruneResult PruneArchives(Env* env, const std::string& database_folder, int keep,
                          const std::string& current, const ArchiveKeyResult& key,
                          const std::string& database) {
  const std::vector<ArchiveInfo> archives = FolderArchives(env, database_folder, key, database);
  PruneResult result;
  for (const std::string& name : ArchivesToDelete(archives, keep, current)) {
    Status s = env->DeleteFile(database_folder + env->Separator() + name);
    if (!s.ok()) result.not_deleted.push_back(s.description());
  }
  result.future = FutureArchive(archives, current);
  return result;
}

}  // namespace vaultrun
