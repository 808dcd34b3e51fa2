// The archive key in the registry (the Windows settings store's half of
// platform/archive_key.h).
#pragma once

#include <string>

#include "platform/archive_key.h"

namespace vaultrun {

// The key kept as the REG_BINARY value "key" of HKEY_LOCAL_MACHINE\key_path
// (32-bit view, as every setting). The registry key's access list must admit
// Administrators and SYSTEM only; one that lets anyone else in is refused.
// With create, a missing key is made under a machine-wide mutex, with that
// access list, so that two first runs at once agree on one key.
ArchiveKeyResult LoadRegistryArchiveKey(const std::string& key_path, bool create);

}  // namespace vaultrun
