#include "run/export_key.h"

namespace vaultrun {

int ExportArchiveKey(Env* env, SettingsStore* settings, const std::string& path, std::ostream& out,
                     std::ostream& err) {
  // Never over another file: the copy is written as root, wherever it is
  // asked to go.
  if (path.empty() || env->Exists(path)) {
    err << "vaultrun: --export-key " << path << ": a file is already there (name a new file)\n";
    return 1;
  }
  const ArchiveKeyResult key = settings->LoadOrCreateArchiveKey();
  if (!key.ready()) {
    err << "vaultrun: --export-key: " << key.problem << "\n";
    return 1;
  }
  Status s = WriteKeyFile(env, path, key.key);
  if (!s.ok()) {
    err << "vaultrun: --export-key: " << s.description() << "\n";
    return 1;
  }
  out << "archive key " << key.id << " written to " << path
      << ".\nKeep this copy apart from the archives and their off-site copies: whoever can read "
         "it can sign archives that vaultrun-restore takes as this installation's. On a new "
         "machine, restore with vaultrun-restore --key-file "
      << path << " ...\n";
  return 0;
}

}  // namespace vaultrun
