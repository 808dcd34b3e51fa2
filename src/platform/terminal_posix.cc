#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "platform/terminal.h"

namespace vaultrun {

std::optional<std::string> ReadPasswordFromTerminal(const std::string& prompt) {
  int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  termios saved{};
  bool restore = ::tcgetattr(fd, &saved) == 0;
  if (restore) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  ssize_t ignored = ::write(fd, prompt.data(), prompt.size());
  (void)ignored;
  std::string password;
  char c;
  bool got_line = false;
  while (::read(fd, &c, 1) == 1) {
    if (c == '\n') {
      got_line = true;
      break;
    }
    password += c;
  }
  if (restore) ::tcsetattr(fd, TCSAFLUSH, &saved);
  ::close(fd);
  if (!got_line && password.empty()) return std::nullopt;
  return password;
}

std::unique_ptr<UnicodeConsole> UseUnicodeConsole() { return std::make_unique<UnicodeConsole>(); }

bool ErrorStreamIsTerminal() { return ::isatty(STDERR_FILENO) != 0; }

int CurrentProcessId() { return static_cast<int>(::getpid()); }

void OnStopRequest(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGHUP, &action, nullptr);
}

}  // namespace vaultrun
