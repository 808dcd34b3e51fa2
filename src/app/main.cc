// The process entry: creates the real platform services, runs one backup
// and turns the way it ended into the exit status (0 after a run without a
// failure, 1 otherwise). Nothing is printed and the command line is not
// read; failures go to the event log.
#include <memory>

#include "core/process.h"
#include "core/report.h"
#include "db/access.h"
#include "platform/env.h"
#include "platform/event_log.h"
#include "platform/failure.h"
#include "platform/settings_store.h"
#include "platform/system.h"
#include "run/backup_run.h"

int main() {
  using namespace vaultrun;
  PrepareProcess();
  std::unique_ptr<Env> env = NewDefaultEnv();
  std::unique_ptr<SettingsStore> settings = NewDefaultSettingsStore(env.get());
  std::unique_ptr<EventLog> event_log = NewDefaultEventLog(env.get());

  Process process;
  process.env = env.get();
  process.settings = settings.get();
  process.event_log = event_log.get();
  try {
    Main(process);
  } catch (const ProcessEnd&) {
    // The one way out: the run has ended and its handles are closed.
  } catch (...) {
    // A failure that reached no handler (before the run-level handler was
    // armed, or inside its own shutdown) ends the run without an entry.
    process.Failed = true;
  }
  return ExitStatus(process);
}
