// The process entry: creates the real platform services, runs one backup
// and turns the way it ended into the exit status (0 after a run without a
// failure, 1 otherwise). Nothing is printed; failures go to the event log.
#include <cstdlib>
#include <string>

#include "app/process.h"
#include "app/report.h"
#include "platform/env.h"
#include "platform/event_log.h"
#include "platform/settings_store.h"
#include "run/backup_run.h"

namespace {

// The only environment the program reads besides the MariaDB client's
// MYSQL_TCP_PORT and MYSQL_UNIX_PORT: where the settings file and the
// event-log file are, for tests and for hosts without a system log.
std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

int main() {
  using namespace vaultrun;
  std::unique_ptr<Env> env = NewDefaultEnv();

  std::string settings_path = EnvironmentValue("VAULTRUN_REGISTRY");
  if (settings_path.empty()) settings_path = "/etc/cobaltine/vaultrun.reg";
  std::unique_ptr<SettingsStore> settings = NewRegFileSettingsStore(env.get(), settings_path);

  std::string event_log_path = EnvironmentValue("VAULTRUN_EVENT_LOG");
  std::unique_ptr<EventLog> event_log = event_log_path.empty()
                                            ? NewSystemEventLog()
                                            : NewFileEventLog(env.get(), event_log_path);

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
