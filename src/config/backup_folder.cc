#include "config/backup_folder.h"

#include "config/registry.h"
#include "core/failure.h"
#include "platform/path_rules.h"

namespace vaultrun {
namespace {

// Creates the missing levels of path (which ends in the separator), left to
// right, below its root ("C:\", "/" or a network share "\\server\share\",
// which are never created).
void CreateLevels(Process& process, const std::string& path) {
  const char sep = process.env->Separator();
  const size_t root_length = PathRootLength(path, sep);
  const std::string root = path.substr(0, root_length);
  // A drive-letter path whose drive is missing.
  if (root.find(':') != std::string::npos && !process.env->FolderExists(root)) {
    throw Failure(kErrInvalidDrive, "Invalid drive -> " + root);
  }
  for (size_t slash = path.find(sep, root_length); slash != std::string::npos;
       slash = path.find(sep, slash + 1)) {
    std::string level = path.substr(0, slash + 1);
    if (process.env->FolderExists(level)) continue;
    std::string folder = level.size() > 1 ? level.substr(0, level.size() - 1) : level;
    ThrowIfError(CreateFolderLevel(process.env, folder, 0700));
  }
}

}  // namespace

std::string GetBackupFolder(Process& process, const std::string& db_name) {
  std::string name = db_name;
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  name += "_path";
  const char sep = process.env->Separator();
  std::string folder = ReadRegString(process, kSettingsKey, name, "");
  if (folder.empty()) {
    std::string program = process.env->ProgramFolder();
    folder = program;
    if (program.empty() || program.back() != sep) folder += sep;
    folder += "backup";
    folder += sep;
    WriteRegString(process, kSettingsKey, name, folder);
  }
  if (folder.back() != sep) folder += sep;
  return folder;
}

void EnsureFolder(Process& process, std::string& path) {
  const char sep = process.env->Separator();
  if (path.empty() || path.back() != sep) path += sep;
  // A failure is reported by the one failure path as an error entry (so
  // that error-level alerting sees the failed run), whatever its number.
  CreateLevels(process, path);
}

}  // namespace vaultrun
