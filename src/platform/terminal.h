// The terminal services of the command-line tool vaultrun-restore. The
// backup program itself has no terminal and never uses these.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace vaultrun {

// Shows prompt on the controlling terminal and reads one line with echo
// off; nothing when there is no terminal.
std::optional<std::string> ReadPasswordFromTerminal(const std::string& prompt);

// Held while std::cout and std::cerr write to the console in UTF-16; the
// destructor flushes them and puts their own buffers back.
class UnicodeConsole {
 public:
  virtual ~UnicodeConsole() = default;
};

// Makes std::cout and std::cerr show UTF-8 text as it is on a Windows
// console, whatever its code page (they write UTF-16 to it), until the
// result is destroyed; output into a file or a pipe stays UTF-8. Nothing to
// do on POSIX, where the terminal takes UTF-8.
std::unique_ptr<UnicodeConsole> UseUnicodeConsole();

// True when the standard error stream is a terminal (progress lines go there).
bool ErrorStreamIsTerminal();

// This process's identifier.
int CurrentProcessId();

// Calls handler(signal) when the user asks the process to stop (Ctrl-C, a
// termination request, a closed terminal).
void OnStopRequest(void (*handler)(int));

}  // namespace vaultrun
