// The system log on Windows: the application event log, event source
// "Vaultrun". The program carries a message table whose one message is
// "%1", so Event Viewer shows each entry's text once the source is
// registered with the program as its message file.
#include <windows.h>

#include "platform/event_log.h"
#include "platform/text_windows.h"
#include "vaultrun_messages.h"

namespace vaultrun {
namespace {

class WindowsEventLog : public EventLog {
 public:
  WindowsEventLog() : source_(::RegisterEventSourceW(nullptr, L"Vaultrun")) {}
  ~WindowsEventLog() override {
    if (source_ != nullptr) ::DeregisterEventSource(source_);
  }
  WindowsEventLog(const WindowsEventLog&) = delete;
  WindowsEventLog& operator=(const WindowsEventLog&) = delete;

  void Write(const std::string& text, std::optional<int> type) override {
    if (source_ == nullptr) return;
    // Without a type the entry is information, the event log's default.
    WORD kind = EVENTLOG_INFORMATION_TYPE;
    if (type == kEventError) kind = EVENTLOG_ERROR_TYPE;
    if (type == kEventWarning) kind = EVENTLOG_WARNING_TYPE;
    const std::wstring wide = Wide(text);
    const wchar_t* strings[] = {wide.c_str()};
    ::ReportEventW(source_, kind, 0, VAULTRUN_MSG_TEXT, nullptr, 1, 0, strings, nullptr);
  }

 private:
  HANDLE source_;
};

}  // namespace

std::unique_ptr<EventLog> NewDefaultEventLog(Env* env) {
  std::string path = EnvironmentValue("VAULTRUN_EVENT_LOG");
  if (!path.empty()) return NewFileEventLog(env, path);
  return NewSystemEventLog();
}

std::unique_ptr<EventLog> NewSystemEventLog() { return std::make_unique<WindowsEventLog>(); }

}  // namespace vaultrun
