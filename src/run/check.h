// vaultrun --check: asks the setup everything a run needs and prints what
// it found, without backing up and without writing anything (no archive,
// no settings, no flag, no event-log entry): the settings and the game
// server's configuration as a run reads them (a default that a run would
// seed is used, not stored), the connection, the backup account's
// privileges, the backup folder and its free space, and the tables with
// their exclusion flags.
#pragma once

#include <ostream>

#include "platform/env.h"
#include "platform/settings_store.h"

namespace vaultrun {

// Prints the report to out. True when a run would succeed and back up every
// table that is not excluded, with all of the database's definitions.
bool CheckSetup(Env* env, SettingsStore* settings, std::ostream& out);

}  // namespace vaultrun
