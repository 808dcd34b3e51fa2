// The one failure path: every failure of a run is raised where it happens
// and reported here, once, as one event-log entry; the exit status follows
// from it. Warnings and information entries go through here too.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "core/failure.h"
#include "core/process.h"
#include "platform/event_log.h"

namespace vaultrun {

// Writes one event-log entry. An entry of type error, or one written
// without a type, reports a failure and marks the run as failed.
void WriteEventLogEntry(Process& process, const std::string& text,
                        std::optional<int> type = std::nullopt);

// Runs body, one whole run of a program, and catches what it raises: a
// Failure, any other exception or anything else thrown is written as the
// run's one error entry. Returns the exit status: 1 after any failure
// (an error entry written before counts too), else 0.
int RunReported(Process& process, const std::function<void()>& body);

// The exit status of a process that ended: 1 after any failure, else 0.
int ExitStatus(const Process& process);

}  // namespace vaultrun
