#include "run/offsite.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <set>
#include <string_view>

#include "config/registry.h"
#include "core/report.h"
#include "platform/failure.h"
#include "run/archive.h"
#include "run/completeness_mark.h"
#include "run/retention.h"

namespace vaultrun {
namespace {

constexpr int32_t kDefaultTimeoutSeconds = 3600;

// A whole number of decimal digits from 0 to 2147483647, or nothing.
std::optional<int32_t> Count(std::string_view text) {
  int32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || text.front() == '-' || ec != std::errc() ||
      end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::string Refused(const std::string& key, const std::string& text, const std::string& problem,
                    const std::string& used) {
  return "setting " + key + " \"" + text + "\" " + problem + "; " + used + " is used instead";
}

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
  std::vector<std::string> names;
  ThrowIfError(env->ListFolder(folder, &names));
  for (const std::string& name : names) {
    if (!IsStampedArchiveName(name)) continue;
    const std::string path = folder + env->Separator() + name;
    if (env->Exists(path + ".tail")) continue;
    std::string comment;
    if (ReadArchiveComment(env, path, &comment).ok() && ParseCompletenessMark(comment)) {
      complete.push_back(name);
    }
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
                           std::min<uint64_t>(static_cast<uint64_t>(size), kMarkTailBytes))));
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

OffsiteSettings ReadOffsiteSettings(Env* env, const SettingLookup& lookup, int32_t keep_runs,
                                    std::vector<std::string>* warnings) {
  OffsiteSettings settings;
  settings.remote = lookup("offsite_remote");
  settings.keep_runs = std::max(keep_runs, 0);
  const std::string keep_text = lookup("offsite_keep_runs");
  if (!keep_text.empty()) {
    if (std::optional<int32_t> keep = Count(keep_text)) {
      settings.keep_runs = *keep;
    } else {
      warnings->push_back(Refused("offsite_keep_runs", keep_text,
                                  "is not a whole number from 0 to 2147483647",
                                  std::to_string(settings.keep_runs)));
    }
  }
  settings.rclone.program = lookup("rclone_path");
  if (settings.rclone.program.empty()) settings.rclone.program = DefaultRclone(env);
  settings.rclone.config = lookup("rclone_config");
  settings.rclone.timeout = std::chrono::seconds(kDefaultTimeoutSeconds);
  const std::string timeout_text = lookup("offsite_timeout");
  if (!timeout_text.empty()) {
    std::optional<int32_t> seconds = Count(timeout_text);
    if (seconds && *seconds > 0) {
      settings.rclone.timeout = std::chrono::seconds(*seconds);
    } else {
      warnings->push_back(Refused("offsite_timeout", timeout_text,
                                  "is not a whole number of seconds from 1 to 2147483647",
                                  std::to_string(kDefaultTimeoutSeconds)));
    }
  }
  return settings;
}

bool TailCarriesMark(const std::string& tail) {
  constexpr size_t kEndRecord = 22;
  if (tail.size() < kEndRecord) return false;
  for (size_t i = tail.size() - kEndRecord + 1; i-- > 0;) {
    if (tail.compare(i, 4, "PK\x05\x06") != 0) continue;
    const size_t comment = static_cast<unsigned char>(tail[i + 20]) |
                           static_cast<size_t>(static_cast<unsigned char>(tail[i + 21])) << 8;
    if (i + kEndRecord + comment != tail.size()) continue;
    return ParseCompletenessMark(std::string_view(tail).substr(i + kEndRecord)).has_value();
  }
  return false;
}

OffsiteResult CopyOffsite(Process& process, const std::string& database_folder,
                          const std::string& current, int32_t keep_runs) {
  OffsiteResult result;
  const SettingLookup lookup = [&process](const std::string& name) {
    return ReadRegString(process, kSettingsKey, name, "");
  };
  if (lookup("offsite_remote").empty()) return result;  // off: the run of before
  std::vector<std::string> warnings;
  const OffsiteSettings settings = ReadOffsiteSettings(process.env, lookup, keep_runs, &warnings);
  for (const std::string& warning : warnings) {
    WriteEventLogEntry(process, "Vaultrun: " + warning, kEventWarning);
  }
  const std::string shown = RemoteForDisplay(settings.remote);
  if (settings.remote[0] == '-') {
    throw Failure(EINVAL, "setting offsite_remote \"" + shown +
                              "\" begins with '-', which rclone would take for an option");
  }
  Env* env = process.env;
  Rclone rclone(env, settings.rclone, settings.remote);
  const std::string folder = RemoteJoin(settings.remote, process.DbName);
  std::map<std::string, int64_t> on_remote;
  std::set<std::string> confirmed;
  try {
    for (const RemoteFile& file : rclone.List(folder)) {
      if (!file.is_dir) on_remote[file.name] = file.size;
    }
    // Oldest first, so that a gap closes in order; the run's own is newest.
    for (const std::string& name : ToCopy(env, database_folder, settings.keep_runs, current)) {
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
    throw Failure(failure.number(), "off-site copy to " + shown + " failed: " +
                                        ScrubRemote(failure.description(), settings.remote));
  }
  result.success_time = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
  if (settings.keep_runs >= 1) {
    PruneRemote(process, rclone, folder, on_remote, confirmed, settings.keep_runs, current, shown);
  }
  return result;
}

}  // namespace vaultrun
