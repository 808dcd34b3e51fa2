// The entry of vaultrun-restore: hands the command line, the terminal and
// the signal flag to the command, and returns its exit status (0 success,
// 1 failure, 2 bad usage).
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "restore/command.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void RequestStop(int) { g_stop = 1; }

// Reads a line from the controlling terminal with echo off.
std::optional<std::string> ReadPassword(const std::string& prompt) {
  int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  termios saved{};
  bool restore = tcgetattr(fd, &saved) == 0;
  if (restore) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  ssize_t ignored = write(fd, prompt.data(), prompt.size());
  (void)ignored;
  std::string password;
  char c;
  bool got_line = false;
  while (read(fd, &c, 1) == 1) {
    if (c == '\n') {
      got_line = true;
      break;
    }
    password += c;
  }
  if (restore) tcsetattr(fd, TCSAFLUSH, &saved);
  close(fd);
  if (!got_line && password.empty()) return std::nullopt;
  return password;
}

std::string ScratchName() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
  return "vaultrun_verify_" + std::string(stamp) + "_" + std::to_string(getpid());
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
  std::vector<std::string> args(argv + 1, argv + argc);
  HidePassword(argc, argv);

  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);

  vaultrun::restore::Terminal terminal;
  terminal.console.out = &std::cout;
  terminal.console.err = &std::cerr;
  terminal.console.progress = isatty(STDERR_FILENO) != 0;
  terminal.console.stop = &g_stop;
  terminal.read_password = ReadPassword;
  terminal.scratch_name = ScratchName;
  int status = vaultrun::restore::RunRestoreCommand(args, terminal);
  std::cout.flush();
  return status;
}
