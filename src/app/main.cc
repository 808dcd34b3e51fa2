// The process entry of vaultrun. Without arguments: one backup run, as a
// scheduler starts it; it prints nothing, reports failures to the event log
// and returns the exit status (0 after a run without a failure, 1
// otherwise). The forms of kForms ask the program something instead and
// print their answer; any other argument is a usage error (exit status 2).
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/process.h"
#include "core/report.h"
#include "db/session.h"
#include "platform/env.h"
#include "platform/event_log.h"
#include "platform/settings_store.h"
#include "platform/system.h"
#include "platform/terminal.h"
#include "run/backup_run.h"
#include "run/check.h"
#include "run/export_key.h"
#include "run/metrics.h"

namespace {

using namespace vaultrun;

constexpr int kExitUsage = 2;

// One backup run: the one failure path, then the metrics file, which
// reports the run whatever became of it.
int Backup() {
  std::unique_ptr<Env> env = NewDefaultEnv();
  std::unique_ptr<SettingsStore> settings = NewDefaultSettingsStore(env.get());
  std::unique_ptr<EventLog> event_log = NewDefaultEventLog(env.get());

  Process process;
  process.env = env.get();
  process.settings = settings.get();
  process.event_log = event_log.get();
  Session session;
  RunRecord record;
  // Whatever ends the run early is caught here once and written as its one
  // entry; then the session is closed.
  int status = RunReported(process, [&] { Main(process, session, &record); });
  CloseConnection(session);
  status = RunReported(process, [&] { WriteRunMetrics(process, record, status); });
  return status;
}

int Help(const std::string&);

int Version(const std::string&) {
  std::cout << "vaultrun " << VAULTRUN_VERSION << "\n";
  return 0;
}

int Check(const std::string&) {
  std::unique_ptr<Env> env = NewDefaultEnv();
  std::unique_ptr<SettingsStore> settings = NewDefaultSettingsStore(env.get());
  return CheckSetup(env.get(), settings.get(), std::cout) ? 0 : 1;
}

int ExportKey(const std::string& file) {
  std::unique_ptr<Env> env = NewDefaultEnv();
  std::unique_ptr<SettingsStore> settings = NewDefaultSettingsStore(env.get());
  return ExportArchiveKey(env.get(), settings.get(), file, std::cout, std::cerr);
}

// The forms of the command line, one row each: the option, the name of its
// one argument (nullptr when it takes none), what it does, and the function
// that does it (with the argument, or "").
struct Form {
  const char* option;
  const char* argument;
  const char* help;
  int (*run)(const std::string& argument);
};

constexpr Form kForms[] = {
    {"--check", nullptr,
     "checks the setup as a run would use it (settings, the game server's\n"
     "configuration, the connection, the account's privileges, the backup\n"
     "folder and its free space) and lists the tables with their flags;\n"
     "backs up nothing and writes nothing. Exit status 0 when a run would\n"
     "succeed and leave nothing out, 1 otherwise",
     Check},
    {"--export-key", "FILE",
     "writes a copy of this installation's archive key (made first when\n"
     "there is none yet) to the new file FILE, readable by its owner only;\n"
     "vaultrun-restore --key-file FILE restores this installation's\n"
     "archives elsewhere with it. Keep it apart from the archives and their\n"
     "off-site copies: whoever can read it can sign archives",
     ExportKey},
    {"--help", nullptr, "shows this text", Help},
    {"--version", nullptr, "shows the version", Version},
};

int Help(const std::string&) {
  std::cout << "Usage: vaultrun\n";
  for (const Form& form : kForms) {
    std::cout << "       vaultrun " << form.option
              << (form.argument != nullptr ? std::string(" ") + form.argument : "") << "\n";
  }
  std::cout << "\nWithout arguments: one backup run of the game server's database, as a\n"
               "scheduler starts it. It prints nothing when it succeeds (exit status 0);\n"
               "a failure goes to the system log (and to standard error, unless that is\n"
               "the journal) and the exit status is 1.\n\n";
  for (const Form& form : kForms) {
    std::string lines = form.help;
    std::string indent = "\n    ";
    for (size_t at = lines.find('\n'); at != std::string::npos; at = lines.find('\n', at + 1)) {
      lines.replace(at, 1, indent);
    }
    std::cout << form.option << (form.argument != nullptr ? std::string(" ") + form.argument : "")
              << "\n    " << lines << ".\n";
  }
  std::cout << "\nA usage error exits with status 2.\n";
  return 0;
}

// The form the arguments name, with its argument ("--form ARG" or
// "--form=ARG"); nullptr when they name none, or not as it takes them.
const Form* FindForm(const std::vector<std::string>& args, std::string* argument) {
  std::string option = args[0];
  std::optional<std::string> attached;
  if (size_t equals = option.find('='); equals != std::string::npos && option.rfind("--", 0) == 0) {
    attached = option.substr(equals + 1);
    option.resize(equals);
  }
  for (const Form& form : kForms) {
    if (option != form.option) continue;
    if (form.argument == nullptr) return !attached && args.size() == 1 ? &form : nullptr;
    if (attached && args.size() == 1) {
      *argument = *attached;
      return &form;
    }
    if (!attached && args.size() == 2) {
      *argument = args[1];
      return &form;
    }
    return nullptr;
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  PrepareProcess();
  const std::vector<std::string> args = CommandLineArguments(argc, argv);
  if (args.empty()) return Backup();

  // A form typed at a prompt prints there, also on Windows, where
  // vaultrun.exe has no console of its own.
  std::unique_ptr<ParentConsole> console = UseParentConsole();
  std::unique_ptr<UnicodeConsole> unicode = UseUnicodeConsole();
  std::string argument;
  const Form* form = FindForm(args, &argument);
  int status = kExitUsage;
  if (form != nullptr) {
    status = form->run(argument);
  } else {
    std::cerr << "vaultrun: unknown arguments:";
    for (const std::string& arg : args) std::cerr << " " << arg;
    std::cerr << "\nUsage: vaultrun [";
    for (const Form& each : kForms) {
      std::cerr << (&each == kForms ? "" : " | ") << each.option
                << (each.argument != nullptr ? std::string(" ") + each.argument : "");
    }
    std::cerr << "]\nTry 'vaultrun --help' for more.\n";
  }
  std::cout.flush();
  std::cerr.flush();
  unicode.reset();  // before the console it writes to
  return status;
}
