// vaultrun --export-key FILE: a copy of this installation's archive key,
// for a restore on another machine (vaultrun-restore --key-file FILE).
#pragma once

#include <ostream>
#include <string>

#include "platform/env.h"
#include "platform/settings_store.h"

namespace vaultrun {

// Writes the archive key (made first, as a first run would, when there is
// none yet) to a new file at path, mode 0600, and says so on out; a key
// that is refused, a path that exists and a write that fails are told on
// err. Returns the exit status: 0 when the copy is written, 1 otherwise.
int ExportArchiveKey(Env* env, SettingsStore* settings, const std::string& path, std::ostream& out,
                     std::ostream& err);

}  // namespace vaultrun
