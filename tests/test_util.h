// Shared helpers of the test suite: temp folders and small file utilities.
#pragma once

#include <string>

#include "platform/archive_key.h"

namespace vaultrun::test {

// A fresh folder under the build tree's temp area, removed with everything
// in it when the object goes out of scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string Sub(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole-file helpers that fail the current test on error.
std::string ReadFileOrDie(const std::string& path);
void WriteFileOrDie(const std::string& path, const std::string& contents);

// Creates a new folder whose path is prefix plus a unique suffix and returns
// that path; empty on failure.
std::string MakeTempFolder(const std::string& prefix);

// A ready archive key of kArchiveKeyBytes bytes fill, with its id.
ArchiveKeyResult FixedArchiveKey(char fill);

// Runs a shell command and returns its exit status; its standard output
// goes to *out when out is not null.
int RunCommand(const std::string& command, std::string* out = nullptr);

}  // namespace vaultrun::test
