// The outcome of an operating-system call: success, or a failure with a
// number (errno on POSIX, GetLastError on Windows) and a description of the
// form "context: detail".
#pragma once

#include <string>
#include <utility>

namespace vaultrun {

class Status {
 public:
  Status() = default;
  static Status OK() { return Status(); }
  static Status Error(int number, std::string description) {
    return Status(number == 0 ? -1 : number, std::move(description));
  }
  // A failure of a system call: number is errno, the description is
  // context + ": " + strerror(number).
  static Status FromErrno(const std::string& context, int err);

  bool ok() const { return number_ == 0; }
  int number() const { return number_; }
  const std::string& description() const { return description_; }

 private:
  Status(int number, std::string description)
      : number_(number), description_(std::move(description)) {}
  int number_ = 0;
  std::string description_;
};

}  // namespace vaultrun
