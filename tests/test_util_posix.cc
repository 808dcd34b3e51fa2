#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include "test_util.h"

namespace vaultrun::test {

std::string MakeTempFolder(const std::string& prefix) {
  std::string pattern = prefix + "XXXXXX";
  return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

int RunCommand(const std::string& command, std::string* out) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) text.append(buf, n);
  int status = pclose(pipe);
  if (out != nullptr) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vaultrun::test
