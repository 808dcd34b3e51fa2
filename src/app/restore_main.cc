// The entry of vaultrun-restore: hands the command line, the terminal and
// the signal flag to the command, and returns its exit status (0 success,
// 1 failure, 2 bad usage).
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/system.h"
#include "platform/terminal.h"
#include "restore/command.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void RequestStop(int) { g_stop = 1; }

std::string ScratchName() {
  std::time_t now = std::time(nullptr);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", std::localtime(&now));
  return "vaultrun_verify_" + std::string(stamp) + "_" +
         std::to_string(vaultrun::CurrentProcessId());
}

// Overwrites a password given on the command line, so that the process
// list shows it only for the moment before this runs.
void HidePassword(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    char* arg = argv[i];
    if (std::strcmp(arg, "--") == 0) return;
    char* value = nullptr;
    if (std::strncmp(arg, "--password=", 11) == 0) value = arg + 11;
    if (std::strncmp(arg, "-p", 2) == 0 && arg[2] != '\0') value = arg + 2;
    if (value != nullptr) std::memset(value, 'x', std::strlen(value));
  }
}

}  // namespace

int main(int argc, char** argv) {
  vaultrun::PrepareProcess();
  std::unique_ptr<vaultrun::UnicodeConsole> console = vaultrun::UseUnicodeConsole();
  std::vector<std::string> args = vaultrun::CommandLineArguments(argc, argv);
  HidePassword(argc, argv);

  vaultrun::OnStopRequest(RequestStop);

  std::unique_ptr<vaultrun::Env> env = vaultrun::NewDefaultEnv();
  vaultrun::restore::Terminal terminal;
  terminal.env = env.get();
  terminal.console.out = &std::cout;
  terminal.console.err = &std::cerr;
  terminal.console.progress = vaultrun::ErrorStreamIsTerminal();
  terminal.console.stop = &g_stop;
  terminal.read_password = vaultrun::ReadPasswordFromTerminal;
  terminal.scratch_name = ScratchName;
  std::error_code no_temp;
  const std::u8string temp = std::filesystem::temp_directory_path(no_temp).u8string();
  terminal.temp_folder.assign(temp.begin(), temp.end());
  int status = vaultrun::restore::RunRestoreCommand(args, terminal);
  std::cout.flush();
  return status;
}
