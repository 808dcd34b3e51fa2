// The installation's archive key: 32 random bytes that authenticate the
// archives this installation writes. Whoever can read the key can sign
// archives, so it is kept apart from the settings values, where only the
// machine's administrators can reach it: on POSIX in a file beside the
// settings file, mode 0600, owned by root (or the user that runs the
// program); on Windows in a registry key whose access list admits only
// Administrators and SYSTEM. It is shown only by its id.
//
// The key file (also the form of an exported copy) is three lines:
//   vaultrun archive key 1
//   id <16 lower-case hex digits>
//   key <64 lower-case hex digits>
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace vaultrun {

class Env;

inline constexpr size_t kArchiveKeyBytes = 32;

// What looking for the key found.
enum class KeyOutcome {
  kReady,    // the key is there and only administrators can reach it
  kNone,     // there is no key, or it cannot be read or stored here: a run
             // goes on and writes an unauthenticated archive with a warning
  kRefused,  // a key is there but others may read or change it, or it is
             // damaged: it is not used, and never replaced silently
};

struct ArchiveKeyResult {
  KeyOutcome outcome = KeyOutcome::kNone;
  std::string key;      // kArchiveKeyBytes bytes when kReady
  std::string id;       // ArchiveKeyId(key) when kReady
  std::string problem;  // for kNone and kRefused: what and why, for an entry
  bool ready() const { return outcome == KeyOutcome::kReady; }
};

// The key's id, 16 lower-case hex digits: the first 8 bytes of
// HMAC-SHA256(key, "vaultrun archive key id"). It tells keys apart and
// reveals nothing of the key.
Status ArchiveKeyId(std::string_view key, std::string* id);

// The key file's text for key (kArchiveKeyBytes bytes).
Status FormatKeyFile(std::string_view key, std::string* text);
// The key that a key file's text holds. False, with *error saying what
// could not be read, unless text is exactly in the form above (a CR before
// each LF and a missing last LF are accepted) and its id matches its key.
bool ParseKeyFile(std::string_view text, std::string* key, std::string* error);

// Reads a key file that the user names (an exported copy, for a restore
// on another machine). The Status's description names the file and the
// problem.
Status ReadKeyFile(Env* env, const std::string& path, ArchiveKeyResult* result);
// Writes key as a key file at path, mode 0600, through a temporary file
// and a rename, so that a reader never finds half a key.
Status WriteKeyFile(Env* env, const std::string& path, std::string_view key);

// The key file that belongs beside the settings file at settings_path:
// its name with ".reg" replaced by ".key" (or ".key" added).
std::string KeyFileBeside(const std::string& settings_path);

// The key kept in the file at key_path (how a settings file store keeps it).
// With create, a missing key is made: 32 bytes from the system's random
// generator, written under the lock file lock_path that settings writes
// take too, so that two first runs at once agree on one key.
ArchiveKeyResult LoadKeyFile(Env* env, const std::string& key_path, const std::string& lock_path,
                             bool create);

}  // namespace vaultrun
