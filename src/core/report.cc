#include "core/report.h"

#include <exception>

namespace vaultrun {

void WriteEventLogEntry(Process& process, const std::string& text, std::optional<int> type) {
  // Errors, and reports written without a type, are failures; warnings and
  // information entries are not.
  if (!type || *type == kEventError) process.Failed = true;
  if (process.event_log != nullptr) process.event_log->Write(text, type);
}

int RunReported(Process& process, const std::function<void()>& body) {
  try {
    body();
  } catch (const Failure& failure) {
    WriteEventLogEntry(process, failure.EntryText(), kEventError);
  } catch (const std::exception& e) {
    WriteEventLogEntry(process, Failure(kErrUnexpected, e.what()).EntryText(), kEventError);
  } catch (...) {
    WriteEventLogEntry(process, Failure(kErrUnexpected, "an unknown failure").EntryText(),
                       kEventError);
  }
  return ExitStatus(process);
}

int ExitStatus(const Process& process) { return process.Failed ? 1 : 0; }

}  // namespace vaultrun
