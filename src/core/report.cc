#include "core/report.h"

#include "platform/failure.h"

namespace vaultrun {

void WriteEventLogEntry(Process& process, const std::string& text, std::optional<int> type) {
  // Errors, and the one report written without a type, are failures;
  // warnings and information entries are not.
  if (!type || *type == kEventError) process.Failed = true;
  if (process.event_log != nullptr) process.event_log->Write(text, type);
}

void EndProcess(Process& process) {
  (void)process;
  throw ProcessEnd{};
}

void ReportAndEnd(Process& process, const std::string& text, std::optional<int> type) {
  WriteEventLogEntry(process, text, type);
  EndProcess(process);
}

int ExitStatus(const Process& process) { return process.Failed ? 1 : 0; }

}  // namespace vaultrun
