#include <windows.h>

#include <random>

#include "test_util.h"

namespace vaultrun::test {

std::string MakeTempFolder(const std::string& prefix) {
  std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = prefix + std::to_string(random() % 1000000000u);
    if (::CreateDirectoryA(path.c_str(), nullptr)) return path;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return std::string();
}

int RunCommand(const std::string& command, std::string* out) {
  FILE* pipe = _popen(command.c_str(), "rb");
  if (pipe == nullptr) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) text.append(buf, n);
  int status = _pclose(pipe);
  if (out != nullptr) *out = text;
  return status;
}

}  // namespace vaultrun::test
