// Event-log reporting and the ways the process ends.
#pragma once

#include <optional>
#include <string>

#include "core/process.h"
#include "platform/event_log.h"

namespace vaultrun {

// Writes one event-log entry. An entry of type error, or one written
// without a type (the backup folder failure), reports a failure and marks
// the run as failed. Does not change LastErrorDescription.
void WriteEventLogEntry(Process& process, const std::string& text,
                        std::optional<int> type = std::nullopt);

// Ends the process at once: raises ProcessEnd, which only main() catches.
[[noreturn]] void EndProcess(Process& process);

// Reports a failure with one entry and ends the process: the one way out
// for the steps before the run holds a connection or a result set. (Once it
// does, a step raises Failure and the run-level handler of Main reports it
// and shuts down.)
[[noreturn]] void ReportAndEnd(Process& process, const std::string& text,
                               std::optional<int> type = kEventError);

// The exit status of a process that ended: 1 after any failure, else 0.
int ExitStatus(const Process& process);

}  // namespace vaultrun
