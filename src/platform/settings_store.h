// The machine-wide store of named text settings: the registry on Windows,
// a registry-export text file on POSIX. The store knows no setting names
// and never writes a default on its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/status.h"

namespace vaultrun {

class Env;

// The predefined root key that every call passes.
inline constexpr uint32_t kHkeyLocalMachine = 0x80000002;

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  // The text stored under root\key_path as value_name, or default_text when
  // the key or value is missing or the value is not a plain string. A key
  // path with a trailing backslash names the same key. Never fails outward.
  virtual std::string ReadRegString(uint32_t root, const std::string& key_path,
                                    const std::string& value_name,
                                    const std::string& default_text) = 0;
  // Stores text as value_name under root\key_path, creating the key (and
  // every missing key along its path) when needed. True when stored.
  virtual bool WriteRegString(uint32_t root, const std::string& key_path,
                              const std::string& value_name, const std::string& text) = 0;
  // OK when every line of the store can be read (a missing or unreadable
  // store reads as empty); otherwise a failure naming the first line that
  // cannot, so that no run goes on with settings it silently skipped. The
  // registry has no lines: always OK.
  virtual Status CheckFormat() { return Status::OK(); }
};

// The store that a run uses on this platform: on POSIX the file named by
// the environment variable VAULTRUN_REGISTRY, else
// /etc/cobaltine/vaultrun.reg; on Windows the registry.
std::unique_ptr<SettingsStore> NewDefaultSettingsStore(Env* env);

// A store kept in a registry-export file. On POSIX: the file at path (a REGEDIT4-style text
// file, see reg_file.h), written atomically under a lock file beside it.
std::unique_ptr<SettingsStore> NewRegFileSettingsStore(Env* env, const std::string& path);

}  // namespace vaultrun
