// The error model above the platform seam: a failure is raised where it
// happens, as an exception that carries a number (the server's error code,
// errno, or one of the program's own below) and a description ("context:
// detail"), and is reported once, by the one failure path (core/report.h).
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "platform/status.h"

namespace vaultrun {

class Failure : public std::exception {
 public:
  // entry: the text the system log shows, when it is not "Vaultrun: " +
  // description (the configuration step's messages, which stand alone).
  Failure(int number, std::string description, std::string entry = "")
      : number_(number), description_(std::move(description)), entry_(std::move(entry)) {}
  explicit Failure(const Status& status) : Failure(status.number(), status.description()) {}

  int number() const { return number_; }
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }
  // The text of the failure's one entry.
  std::string EntryText() const { return entry_.empty() ? "Vaultrun: " + description_ : entry_; }

 private:
  int number_;
  std::string description_;
  std::string entry_;
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
inline constexpr int kErrConfiguration = 3010;  // the game server's configuration file
inline constexpr int kErrSetting = 3011;        // a setting, or the settings file
inline constexpr int kErrUnexpected = 3012;     // anything else that reached the top

}  // namespace vaultrun
