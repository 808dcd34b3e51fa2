// The error model above the platform seam: a failure is raised where it
// happens, as an exception that carries a number and a description
// ("context: detail"), and is caught by the nearest handler that the design
// names (the run-level handler of Main, the configuration file reader's
// handler, the backup folder's handler).
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "platform/status.h"

namespace vaultrun {

class Failure : public std::exception {
 public:
  Failure(int number, std::string description)
      : number_(number), description_(std::move(description)) {}
  explicit Failure(const Status& status) : Failure(status.number(), status.description()) {}

  int number() const { return number_; }
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  int number_;
  std::string description_;
};

// Raises the failure that status describes, if any.
inline void ThrowIfError(const Status& status) {
  if (!status.ok()) throw Failure(status);
}

// Failure numbers of the program's own checks.
inline constexpr int kErrInvalidDrive = 49872;  // backup folder on a missing drive
inline constexpr int kErrOverflow = 6;          // a number outside its range
inline constexpr int kErrBadFileName = 52;      // a name that cannot be a file name
inline constexpr int kErrDatabase = 3000;       // a database failure without a server code

// Ends the process. Raised by ShutDown and the other ways of ending, caught
// only in main(), so that destructors close the connection, the result sets
// and the archive on the way out. It is not a std::exception, so no handler
// of a failure can catch it by mistake.
struct ProcessEnd {};

}  // namespace vaultrun
