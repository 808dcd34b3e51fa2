// Helpers of the fault tests: the real program started as a child process
// that a test can kill, snapshots of archives and of the settings file to
// compare after a fault, and the figures that the fault tests print.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vaultrun::test {

class ProgramFolder;

// The vaultrun program of folder, started without waiting: its settings file
// is settings_path (the folder's own when empty), its event log the
// folder's events.log; env adds or replaces environment variables.
class ProgramChild {
 public:
  ProgramChild(const ProgramFolder& folder, const std::string& settings_path = "",
               const std::vector<std::pair<std::string, std::string>>& env = {});
  ~ProgramChild();  // kills and reaps a child still running
  ProgramChild(const ProgramChild&) = delete;
  ProgramChild& operator=(const ProgramChild&) = delete;

  pid_t pid() const { return pid_; }
  // Waits for the end; the exit status, or -signal when a signal ended it.
  int Wait();
  // True once the child has ended (reaped; Wait then returns at once).
  bool Ended();
  void Kill();  // SIGKILL, then reaped

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  bool reaped_ = false;
};

// Polls done every 10 ms until it returns true (then true) or limit has
// passed (then false).
bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit);

// Every file of a folder tree with its bytes, by path relative to root,
// keeping only names that end in suffix.
std::map<std::string, std::string> SnapshotFiles(const std::string& root,
                                                 const std::string& suffix);

// The values of a settings file as "ROOT\key|name" (lower case) -> "s:text"
// for strings, "o:<line>" for other forms; *unreadable counts the lines
// that the parser could not read.
std::map<std::string, std::string> SettingsValues(const std::string& bytes,
                                                  size_t* unreadable = nullptr);

// A text as one shell word.
std::string ShellQuote(const std::string& text);

// What the fault tests counted. Print() writes one line that
// bench/fault_figures.sh adds up:
//   fault-figures kind=<kind> trials=N entries=N archives=N bytes=N losses=N
struct FaultFigures {
  std::string kind;
  uint64_t trials = 0;
  uint64_t entries = 0;   // event-log entries seen
  uint64_t archives = 0;  // archives checked (compared or tested)
  uint64_t bytes = 0;     // bytes compared with a snapshot
  uint64_t losses = 0;    // anything lost or damaged: must stay 0
  void Print() const;
};

// Compares every archive of before with the file now at the same path
// (byte for byte) and counts into figures; a missing or changed one is a
// loss and a test failure.
void ExpectArchivesUnchanged(const std::string& root,
                             const std::map<std::string, std::string>& before,
                             FaultFigures* figures);

// Compares every value of before with the settings now; a missing or
// changed value is a loss and a test failure.
void ExpectSettingsKept(const std::map<std::string, std::string>& before,
                        const std::string& settings_bytes, FaultFigures* figures);

}  // namespace vaultrun::test
