// The system log on POSIX: syslog(3), ident "Vaultrun", facility daemon.
#include <syslog.h>

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

}  // namespace

std::unique_ptr<EventLog> NewDefaultEventLog(Env* env) {
  const char* path = std::getenv("VAULTRUN_EVENT_LOG");
  if (path != nullptr && *path != '\0') return NewFileEventLog(env, path);
  return NewSystemEventLog();
}

std::unique_ptr<EventLog> NewSystemEventLog() { return std::make_unique<SyslogEventLog>(); }

}  // namespace vaultrun
