// The system log on POSIX: syslog(3), ident "Vaultrun", facility daemon;
// failures also on standard error unless that is the journal.
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "platform/event_log.h"

namespace vaultrun {
namespace {

class SyslogEventLog : public EventLog {
 public:
  SyslogEventLog() { ::openlog("Vaultrun", LOG_PID, LOG_DAEMON); }
  ~SyslogEventLog() override { ::closelog(); }

  void Write(const std::string& text, std::optional<int> type) override {
    int priority = LOG_INFO;
    if (type == kEventError) priority = LOG_ERR;
    if (type == kEventWarning) priority = LOG_WARNING;
    ::syslog(priority, "%s", text.c_str());
  }
};

// Writes the text of every failure to standard error as well.
class FailuresOnStandardError : public EventLog {
 public:
  explicit FailuresOnStandardError(std::unique_ptr<EventLog> log) : log_(std::move(log)) {}

  void Write(const std::string& text, std::optional<int> type) override {
    log_->Write(text, type);
    if (type && *type != kEventError) return;
    std::string line;
    for (char c : text) line += (c == '\r' || c == '\n') ? ' ' : c;
    line += '\n';
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
  }

 private:
  std::unique_ptr<EventLog> log_;
};

// True when standard error is open and is not the journal's stream: systemd
// sets JOURNAL_STREAM to "<device>:<inode>" of the stream it connects.
bool StandardErrorTakesFailures() {
  struct stat st {};
  if (::fstat(STDERR_FILENO, &st) != 0) return false;
  const char* journal = std::getenv("JOURNAL_STREAM");
  if (journal == nullptr) return true;
  uintmax_t device = 0, inode = 0;
  char end = 0;
  if (std::sscanf(journal, "%" SCNuMAX ":%" SCNuMAX "%c", &device, &inode, &end) != 2) {
    return true;
  }
  return !(static_cast<uintmax_t>(st.st_dev) == device &&
           static_cast<uintmax_t>(st.st_ino) == inode);
}

}  // namespace

std::unique_ptr<EventLog> NewDefaultEventLog(Env* env) {
  const char* path = std::getenv("VAULTRUN_EVENT_LOG");
  std::unique_ptr<EventLog> log =
      path != nullptr && *path != '\0' ? NewFileEventLog(env, path) : NewSystemEventLog();
  if (!StandardErrorTakesFailures()) return log;
  return std::make_unique<FailuresOnStandardError>(std::move(log));
}

std::unique_ptr<EventLog> NewSystemEventLog() { return std::make_unique<SyslogEventLog>(); }

}  // namespace vaultrun
