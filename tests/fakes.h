// Recording and fault-injecting fakes that sit behind the platform seam.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/event_log.h"

namespace vaultrun::test {

// Keeps every entry in memory.
class RecordingEventLog : public EventLog {
 public:
  struct Entry {
    std::string text;
    std::optional<int> type;
  };
  void Write(const std::string& text, std::optional<int> type) override {
    entries.push_back({text, type});
  }
  std::vector<Entry> entries;
};

// Forwards to the real Env and fails what a test asks it to: the writes to
// files whose path contains a given text after a byte budget is spent (as a
// full disk does), and any other call through a hook.
class FaultEnv : public EnvWrapper {
 public:
  explicit FaultEnv(Env* target, std::string program_folder = "")
      : EnvWrapper(target), program_folder_(std::move(program_folder)) {}

  // The program folder given to the constructor, else the real one.
  std::string ProgramFolder() override {
    return program_folder_.empty() ? EnvWrapper::ProgramFolder() : program_folder_;
  }

  // Writes to a file whose path contains path_part fail with ENOSPC once
  // byte_budget bytes have been written to such files in total.
  void FailWritesAfter(const std::string& path_part, uint64_t byte_budget) {
    write_path_part_ = path_part;
    write_budget_ = byte_budget;
    write_fault_armed_ = true;
  }
  void DisarmWrites() { write_fault_armed_ = false; }

  // Called before every forwarded operation with its name ("OpenFile",
  // "RenameFile", "DeleteFile", "CreateFolder", "TruncateFile", "Sync",
  // "Close") and path; a non-OK result is returned instead of forwarding.
  std::function<Status(const std::string& op, const std::string& path)> hook;

  Status OpenFile(const std::string& path, OpenMode how, int mode,
                  std::unique_ptr<File>* result) override;
  Status CreateFolder(const std::string& path, int mode) override;
  Status RenameFile(const std::string& source, const std::string& target) override;
  Status DeleteFile(const std::string& path) override;
  Status TruncateFile(const std::string& path, uint64_t length) override;

  // Consumes budget for a write of n bytes to path; false when it must fail.
  bool AllowWrite(const std::string& path, size_t n);
  Status Hook(const std::string& op, const std::string& path) {
    return hook ? hook(op, path) : Status::OK();
  }

 private:
  std::string program_folder_;
  std::string write_path_part_;
  uint64_t write_budget_ = 0;
  bool write_fault_armed_ = false;
};

}  // namespace vaultrun::test
