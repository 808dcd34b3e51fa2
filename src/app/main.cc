// The process entry: creates the real platform services, runs one backup
// and returns the exit status (0 after a run without a failure, 1
// otherwise). Nothing is printed; failures go to the event log. The one
// form with arguments, --export-key FILE, writes a copy of the archive key
// instead and prints what it did.
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "core/process.h"
#include "core/report.h"
#include "db/session.h"
#include "platform/env.h"
#include "platform/event_log.h"
#include "platform/settings_store.h"
#include "platform/system.h"
#include "run/backup_run.h"
#include "run/export_key.h"

namespace {

// "--export-key FILE" or "--export-key=FILE": the file, else nothing.
const char* ExportKeyArgument(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--export-key") == 0) return argv[2];
  if (argc == 2 && std::strncmp(argv[1], "--export-key=", 13) == 0) return argv[1] + 13;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vaultrun;
  PrepareProcess();
  if (argc >= 2 && std::strncmp(argv[1], "--export-key", 12) == 0) {
    const char* file = ExportKeyArgument(argc, argv);
    if (file == nullptr) {
      std::cerr << "Usage: vaultrun --export-key FILE\n";
      return 2;
    }
    std::unique_ptr<Env> env = NewDefaultEnv();
    std::unique_ptr<SettingsStore> settings = NewDefaultSettingsStore(env.get());
    return ExportArchiveKey(env.get(), settings.get(), file, std::cout, std::cerr);
  }
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
