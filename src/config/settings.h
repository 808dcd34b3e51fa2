// The program's settings, read once per run from the settings key into one
// typed struct, by one table of keys (settings.cc): each key's name, its
// default, the rule that reads its text and what a value the rule refuses
// gives. Nothing else looks a setting up by name, except the per-database
// backup folder (backup_folder.h), whose name holds the database's.
//
// To add a setting: a field below, and one row in the table of settings.cc.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/process.h"

namespace vaultrun {

struct RunSettings {
  // The game server's configuration file and the four key lists that find
  // the connection parameters in it (seeded when empty).
  std::string config_filename;
  std::array<std::string, 4> key_lists;  // by ServerParam (server_config.h)

  // 0: tab-separated .csv files; 1: .sql INSERT statements; another number
  // the reduced SQL form (values only), which cannot be restored.
  int32_t format_sql = 0;
  // Exactly "0": INSERT statements name their columns.
  std::string format_insert = "0";
  bool consistent_snapshot = true;
  bool lock_tables = false;
  // N >= 1: keep the newest N whole backups; 0: keep everything.
  int32_t keep_runs = 0;
  bool warn_low_space = false;
  bool store_definitions = true;
  bool log_success = false;
  // Seconds a run waits for another run of the same database to end.
  int32_t run_lock_wait = 300;

  // Off-site copies through rclone (run/offsite.h): the remote and path
  // ("" turns them off), how many complete archives it keeps (unset:
  // keep_runs' value; 0 keeps every one), rclone itself ("": rclone on
  // PATH, or on Windows rclone.exe in the program folder), its configuration
  // file ("": its own), and the seconds that a run's whole off-site step, or
  // a restore's fetch from a remote, may take.
  std::string offsite_remote;
  int32_t offsite_keep_runs = 0;
  std::string rclone_path;
  std::string rclone_config;
  int32_t offsite_timeout = 3600;
};

// What a value that the key's rule refuses gives.
enum class BadValue {
  kWarn,  // a warning entry naming key, value and the text used instead
  kKeep,  // a warning entry; the value is used as the rule read it
  kFail,  // a failure of the run, before the first table
};

struct SettingKey {
  const char* name;
  // The text that applies when the value is missing or empty ("/" stands
  // for the platform's path separator).
  const char* default_text;
  // Reads text into settings; returns what is wrong with it, or "". A rule
  // may also raise a Failure, which fails the run with the key named.
  std::string (*rule)(std::string_view text, RunSettings& settings);
  BadValue bad = BadValue::kWarn;
  // The text used in place of a refused value (default_text when null).
  const char* fallback = nullptr;
  // An empty value is replaced by the default and the default stored, so
  // that a user finds the setting (spaces at both ends are cut first).
  bool seeded = false;
  // Where the text used in place of a refused value is another key's value,
  // read before this one: that text (fallback and default_text are then
  // not used for it).
  std::string (*fallback_from)(const RunSettings& settings) = nullptr;
};

// The table of every key of the settings key that the run reads, in the
// order they are read.
const std::vector<SettingKey>& SettingKeys();

// Reads every setting of the table once. A settings store that cannot be
// parsed, or a value whose key says kFail, raises a Failure naming it; a
// kWarn or kKeep value writes its warning entry and the run goes on.
RunSettings ReadRunSettings(Process& process);

// Reads only the keys named (by the table's rules, in its order) for a
// program that runs no backup, such as vaultrun-restore fetching an
// archive from a remote: nothing is seeded, and each warning text
// ("setting ... is used instead") goes to *warnings instead of an entry.
// A store that cannot be parsed, or a kFail value, raises as above. The
// fields of the keys not named keep their defaults.
RunSettings ReadSomeSettings(Process& process, const std::vector<std::string_view>& names,
                             std::vector<std::string>* warnings);

}  // namespace vaultrun
