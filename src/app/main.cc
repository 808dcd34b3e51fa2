// The process entry: creates the real platform services, runs one backup
// and returns the exit status (0 after a run without a failure, 1
// otherwise). Nothing is printed and the command line is not read;
// failures go to the event log.
#include <memory>

#include "core/process.h"
#include "core/report.h"
#include "db/session.h"
#include "platform/env.h"
#include "platform/event_log.h"
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
  Session session;
  // The one failure path: whatever ends the run early is caught here once
  // and written as its one entry; then the session is closed.
  const int status = RunReported(process, [&] { Main(process, session); });
  CloseConnection(session);
  return status;
}
