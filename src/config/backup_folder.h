// The folder that receives the backups of one database.
#pragma once

#include <string>

#include "core/process.h"

namespace vaultrun {

// The setting "<db_name lower-cased>_path", seeded with the program folder's
// "backup/" when empty, always ending in "/" (not stored back).
std::string GetBackupFolder(Process& process, const std::string& db_name);

// Adds a trailing "/" to path when missing and creates every missing level
// of it (0700). Raises a Failure when it cannot.
void EnsureFolder(Process& process, std::string& path);

}  // namespace vaultrun
