// The system log that failures are reported to: the application event log
// on Windows, syslog(3) on POSIX, or a plain file named by the environment
// for tests and hosts without a system log.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace vaultrun {

class Env;

// Event types, as the Windows event log numbers them.
enum EventType : int {
  kEventError = 1,
  kEventWarning = 2,
  kEventInformation = 4,
};

class EventLog {
 public:
  virtual ~EventLog() = default;
  // Writes one entry with the text as given. Without a type the log's
  // default applies (information). Never fails outward: an entry that cannot
  // be written is lost.
  virtual void Write(const std::string& text, std::optional<int> type) = 0;
};

// The log that a run reports to: the file named by the environment variable
// VAULTRUN_EVENT_LOG when it is set, else the platform's system log. On
// POSIX the text of every failure (an error entry, or one without a type)
// also goes to standard error, one line each, so that cron mails it; not
// when standard error is the journal (JOURNAL_STREAM names its device and
// inode), which holds the system log's entry already. Warnings and
// information entries stay in the log alone.
std::unique_ptr<EventLog> NewDefaultEventLog(Env* env);

// The platform's system log (event_log_posix.cc or event_log_windows.cc).
std::unique_ptr<EventLog> NewSystemEventLog();

// Appends each entry as one line to the file at path: the type ("1", "2",
// "4", or "-" when none was given), a tab, the text with CR and LF turned
// into blanks.
std::unique_ptr<EventLog> NewFileEventLog(Env* env, const std::string& path);

}  // namespace vaultrun
