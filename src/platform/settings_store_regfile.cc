// The settings store kept in one registry-export text file (see
// platform/reg_file.h), read whole and replaced atomically on every write. The
// store of POSIX runs, and of tests on every platform.
#include <cerrno>

#include "platform/env.h"
#include "platform/file_mode.h"
#include "platform/reg_file.h"
#include "platform/settings_store.h"

namespace vaultrun {
namespace {

class RegFileSettingsStore : public SettingsStore {
 public:
  RegFileSettingsStore(Env* env, std::string path) : env_(env), path_(std::move(path)) {}

  std::string ReadRegString(uint32_t root, const std::string& key_path,
                            const std::string& value_name,
                            const std::string& default_text) override {
    std::string root_name = regfile::RootName(root);
    std::string bytes;
    if (root_name.empty() || !env_->ReadFile(path_, &bytes).ok()) return default_text;
    regfile::RegDocument doc = regfile::Parse(bytes);
    const regfile::RegValue* value = regfile::FindValue(doc, root_name, key_path, value_name);
    return value != nullptr && value->is_string ? value->text : default_text;
  }

  Status CheckFormat() override {
    std::string bytes;
    if (!env_->ReadFile(path_, &bytes).ok()) return Status::OK();
    regfile::RegDocument doc = regfile::Parse(bytes);
    if (doc.unreadable_lines.empty()) return Status::OK();
    return Status::Error(EINVAL, "settings file " + path_ + " line " +
                                     std::to_string(doc.unreadable_lines.front()) +
                                     ": not a header, a key, a value or a comment");
  }

  bool WriteRegString(uint32_t root, const std::string& key_path, const std::string& value_name,
                      const std::string& text) override {
    std::string root_name = regfile::RootName(root);
    if (root_name.empty() || !EnsureFolders()) return false;
    // The lock lives in its own file: the settings file itself is replaced
    // by the rename, so a lock on it would leave a waiting writer on the old copy.
    std::unique_ptr<FileLock> lock;
    if (!env_->LockFile(path_ + ".lock", &lock).ok()) return false;

    std::string bytes;
    int mode = 0600;
    bool existed = false;
    if (!ReadCurrent(&bytes, &mode, &existed)) return false;
    regfile::RegDocument doc = regfile::Parse(bytes);
    std::optional<std::string> updated =
        regfile::SetString(doc, root_name, key_path, value_name, text);
    if (!updated) return false;

    std::string temp = path_ + ".tmp";
    std::unique_ptr<File> file;
    if (!env_->OpenFile(temp, OpenMode::kWriteNew, mode, &file).ok()) return false;
    bool written = file->Write(*updated).ok() && file->Sync().ok();
    written = file->Close().ok() && written;
    // The umask may have narrowed the bits of an existing file's copy. A
    // link put in the temp file's place meanwhile is not followed.
    if (written && existed) written = SetFileMode(temp, mode);
    if (written) written = env_->RenameFile(temp, path_).ok();
    if (!written) env_->DeleteFile(temp);
    return written;
  }

 private:
  // Creates the missing folders above the file, 0700 each.
  bool EnsureFolders() {
    const char sep = env_->Separator();
    auto is_sep = [sep](char c) { return c == '/' || c == sep; };
    size_t slash = path_.find_last_of(sep == '/' ? "/" : "/\\");
    if (slash == std::string::npos || slash == 0) return true;
    std::string folder = path_.substr(0, slash);
    if (env_->FolderExists(folder)) return true;
    for (size_t i = 1; i <= folder.size(); ++i) {
      if (i < folder.size() && !is_sep(folder[i])) continue;
      std::string level = folder.substr(0, i);
      if (is_sep(level.back()) || env_->FolderExists(level)) continue;
      if (!CreateFolderLevel(env_, level, 0700).ok()) return false;
    }
    return true;
  }

  // The current bytes and permission bits; a missing file is empty. A link
  // planted at the path fails (never read or replaced through).
  bool ReadCurrent(std::string* bytes, int* mode, bool* existed) {
    std::unique_ptr<File> file;
    Status s = env_->OpenFile(path_, OpenMode::kReadWrite, 0, &file);
    if (!s.ok()) return env_->IsNotFound(s) && !env_->Exists(path_);
    if (!GetFileMode(path_, mode)) return false;
    *existed = true;
    return ReadRest(file.get(), bytes).ok();
  }

  Env* env_;
  std::string path_;
};

}  // namespace

std::unique_ptr<SettingsStore> NewRegFileSettingsStore(Env* env, const std::string& path) {
  return std::make_unique<RegFileSettingsStore>(env, path);
}

}  // namespace vaultrun
