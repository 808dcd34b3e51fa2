#include "test_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace vaultrun::test {

TempDir::TempDir() {
  std::string base = std::string(VAULTRUN_BUILD_DIR) + "/tmp";
  std::filesystem::create_directories(base);
  path_ = MakeTempFolder(base + "/t.");
  if (path_.empty()) ADD_FAILURE() << "no temp folder under " << base;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFileOrDie(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFileOrDie(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  EXPECT_TRUE(out.good()) << "cannot write " << path;
  out << contents;
}

ArchiveKeyResult FixedArchiveKey(char fill) {
  ArchiveKeyResult key;
  key.outcome = KeyOutcome::kReady;
  key.key.assign(kArchiveKeyBytes, fill);
  EXPECT_TRUE(ArchiveKeyId(key.key, &key.id).ok());
  return key;
}

}  // namespace vaultrun::test
