// The process-wide values of a run, gathered in one place. main() creates
// one Process with the real platform services; tests create their own with
// temp folders and fakes. Everything below the process entry reaches the
// operating system only through the services held here. The database
// session belongs to the db layer above (db/session.h).
#pragma once

#include <array>
#include <string>

#include "platform/env.h"
#include "platform/event_log.h"
#include "platform/settings_store.h"

namespace vaultrun {

struct Process {
  // Platform services, owned by main() (or the test).
  Env* env = nullptr;
  EventLog* event_log = nullptr;
  SettingsStore* settings = nullptr;

  // Connection parameters, filled once by LoadServerConfig.
  std::string DbServer;
  std::string DbName;
  std::string DbUser;
  std::string DbPassword;

  // The configuration file name and the four key lists, as LoadServerConfig
  // read them from the settings.
  std::string ConfigFileName;
  std::array<std::string, 4> KeyLists;

  // The backup folder for DbName, always ending in the path separator.
  std::string BackupFolder;

  // Set by every error entry; decides the exit status.
  bool Failed = false;
};

}  // namespace vaultrun
