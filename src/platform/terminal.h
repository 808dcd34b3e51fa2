// The terminal services of the command-line tool vaultrun-restore. The
// backup program itself has no terminal and never uses these.
#pragma once

#include <optional>
#include <string>

namespace vaultrun {

// Shows prompt on the controlling terminal and reads one line with echo
// off; nothing when there is no terminal.
std::optional<std::string> ReadPasswordFromTerminal(const std::string& prompt);

// True when the standard error stream is a terminal (progress lines go there).
bool ErrorStreamIsTerminal();

// This process's identifier.
int CurrentProcessId();

// Calls handler(signal) when the user asks the process to stop (Ctrl-C, a
// termination request, a closed terminal).
void OnStopRequest(void (*handler)(int));

}  // namespace vaultrun
