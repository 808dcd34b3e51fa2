#include "run/offsite.h"

#include <algorithm>
#include <map>
#include <set>
#include <string_view>

#include "archive/completeness_mark.h"
#include "archive/writer.h"
#include "core/failure.h"
#include "core/report.h"
#include "run/retention.h"

namespace vaultrun {
namespace {

// rclone on PATH, or on Windows rclone.exe in the program folder.
std::string DefaultRclone(Env* env) {
  if (env->Separator() != '\\') return "rclone";
  std::string folder = env->ProgramFolder();
  if (folder.empty() || folder.back() != '\\') folder += '\\';
  return env->Exists(folder + "rclone.exe") ? folder + "rclone.exe" : "rclone";
}

// The stamped archives of the folder that carry a completeness mark and
// have no pack in progress, oldest first.
std::vector<std::string> CompleteArchives(Env* env, const std::string& folder) {
  std::vector<std::string> complete;
  if (!env->FolderExists(folder)) return complete;
  for (const ArchiveInfo& archive : FolderArchives(env, folder)) {
    if (archive.marked) complete.push_back(archive.name);
  }
  std::sort(complete.begin(), complete.end());
  return complete;
}

// The complete archives that belong on the remote, oldest first: with
// offsite_keep_runs, the newest that many (and always the run's own), as
// an older one would only be deleted there again.
std::vector<std::string> ToCopy(Env* env, const std::string& folder, int32_t keep,
                                const std::string& current) {
  std::vector<std::string> complete = CompleteArchives(env, folder);
  if (keep < 1 || complete.size() <= static_cast<size_t>(keep)) return complete;
  std::vector<std::string> newest(complete.end() - keep, complete.end());
  if (std::binary_search(complete.begin(), complete.end(), current) &&
      !std::binary_search(newest.begin(), newest.end(), current)) {
    newest.insert(std::lower_bound(newest.begin(), newest.end(), current), current);
  }
  return newest;
}

// Deletes on the remote what offsite_keep_runs lets go: of the stamped
// archives found complete (those confirmed by this run, and those whose
// last bytes carry the mark), every one older than the newest keep; never
// one not found complete, never the run's own, nothing while an archive is
// stamped later than the run. What goes wrong here is a warning: the copies
// themselves are whole.
void PruneRemote(Process& process, Rclone& rclone, const std::string& folder,
                 const std::map<std::string, int64_t>& on_remote,
                 const std::set<std::string>& confirmed, int32_t keep, const std::string& current,
                 const std::string& shown) {
  const std::string context = "Vaultrun: offsite_keep_runs on " + shown + ": ";
  std::vector<ArchiveInfo> archives;
  for (const auto& [name, size] : on_remote) {
    if (IsStampedArchiveName(name)) archives.push_back({name, false});
  }
  const std::string future = FutureArchive(archives, current);
  if (!future.empty()) {
    WriteEventLogEntry(process,
                       context + "no archive deleted, as " + future +
                           " is stamped later than this run (" + current.substr(0, 14) + ")",
                       kEventWarning);
    return;
  }
  try {
    for (ArchiveInfo& archive : archives) {
      const int64_t size = on_remote.at(archive.name);
      archive.marked =
          confirmed.count(archive.name) > 0 ||
          (size > 0 && TailCarriesMark(rclone.Tail(
                           RemoteJoin(folder, archive.name),
                           std::min<uint64_t>(static_cast<uint64_t>(size), kCommentTailBytes))));
    }
  } catch (const Failure& failure) {
    WriteEventLogEntry(process, context + "nothing deleted: " + failure.description(),
                       kEventWarning);
    return;
  }
  for (const std::string& name : ArchivesToDelete(archives, keep, current)) {
    auto found = std::find_if(archives.begin(), archives.end(),
                              [&name](const ArchiveInfo& a) { return a.name == name; });
    if (found == archives.end() || !found->marked) continue;
    try {
      rclone.DeleteFile(RemoteJoin(folder, name));
    } catch (const Failure& failure) {
      WriteEventLogEntry(process, context + "an old archive stays: " + failure.description(),
                         kEventWarning);
    }
  }
}

}  // namespace

RcloneSetup RcloneSetupOf(Env* env, const RunSettings& settings) {
  RcloneSetup setup;
  setup.program = settings.rclone_path.empty() ? DefaultRclone(env) : settings.rclone_path;
  setup.config = settings.rclone_config;
  setup.timeout = std::chrono::seconds(settings.offsite_timeout);
  return setup;
}

bool TailCarriesMark(const std::string& tail) {
  const std::optional<std::string> comment = CommentOfTail(tail);
  return comment && ParseCompletenessMark(*comment).has_value();
}

OffsiteResult CopyOffsite(Process& process, const RunSettings& settings,
                          const std::string& database_folder, const std::string& current) {
  OffsiteResult result;
  const std::string& remote = settings.offsite_remote;
  if (remote.empty()) return result;  // off: the run of before
  const std::string shown = RemoteForDisplay(remote);
  if (remote[0] == '-') {
    throw Failure(EINVAL, "setting offsite_remote \"" + shown +
                              "\" begins with '-', which rclone would take for an option");
  }
  Env* env = process.env;
  Rclone rclone(env, RcloneSetupOf(env, settings), remote);
  const std::string folder = RemoteJoin(remote, process.DbName);
  std::map<std::string, int64_t> on_remote;
  std::set<std::string> confirmed;
  try {
    for (const RemoteFile& file : rclone.List(folder)) {
      if (!file.is_dir) on_remote[file.name] = file.size;
    }
    // Oldest first, so that a gap closes in order; the run's own is newest.
    for (const std::string& name :
         ToCopy(env, database_folder, settings.offsite_keep_runs, current)) {
      const std::string local = database_folder + env->Separator() + name;
      uint64_t size = 0;
      ThrowIfError(env->FileSize(local, &size));
      auto there = on_remote.find(name);
      if (there != on_remote.end() && there->second == static_cast<int64_t>(size)) continue;
      // Under another name until it is confirmed whole: an upload cut off
      // (some backends write in place) never stands under the archive's name.
      const std::string partial = RemoteJoin(folder, name + ".partial");
      rclone.CopyTo(local, partial);
      rclone.ConfirmSame(partial, local);
      rclone.MoveTo(partial, RemoteJoin(folder, name));
      on_remote[name] = static_cast<int64_t>(size);
      confirmed.insert(name);
      result.copied.push_back(name);
    }
  } catch (const Failure& failure) {
    throw Failure(failure.number(), "off-site copy to " + shown +
                                        " failed: " + ScrubRemote(failure.description(), remote));
  }
  result.success_time = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
  if (settings.offsite_keep_runs >= 1) {
    PruneRemote(process, rclone, folder, on_remote, confirmed, settings.offsite_keep_runs, current,
                shown);
  }
  return result;
}

}  // namespace vaultrun
