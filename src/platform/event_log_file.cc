// An event log kept in a plain file, one entry a line, for tests and for
// hosts without a system log.
#include <string>

#include "platform/env.h"
#include "platform/event_log.h"

namespace vaultrun {
namespace {

class FileEventLog : public EventLog {
 public:
  FileEventLog(Env* env, std::string path) : env_(env), path_(std::move(path)) {}

  void Write(const std::string& text, std::optional<int> type) override {
    std::string line = type ? std::to_string(*type) : "-";
    line += '\t';
    for (char c : text) line += (c == '\r' || c == '\n') ? ' ' : c;
    line += '\n';
    // One write of the whole line in append mode, so entries of concurrent
    // runs never interleave within a line.
    std::unique_ptr<File> file;
    if (!env_->OpenFile(path_, OpenMode::kAppend, 0600, &file).ok()) return;
    if (file->Write(line).ok()) file->Close();
  }

 private:
  Env* env_;
  std::string path_;
};

}  // namespace

std::unique_ptr<EventLog> NewFileEventLog(Env* env, const std::string& path) {
  return std::make_unique<FileEventLog>(env, path);
}

}  // namespace vaultrun
