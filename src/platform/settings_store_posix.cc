// The POSIX settings store: the registry-export file named by the
// environment, else the machine-wide one under /etc.
#include <cstdlib>

#include "platform/settings_store.h"

namespace vaultrun {

std::unique_ptr<SettingsStore> NewDefaultSettingsStore(Env* env) {
  const char* path = std::getenv("VAULTRUN_REGISTRY");
  return NewRegFileSettingsStore(env, path != nullptr && *path != '\0'
                                          ? std::string(path)
                                          : std::string("/etc/cobaltine/vaultrun.reg"));
}

}  // namespace vaultrun
