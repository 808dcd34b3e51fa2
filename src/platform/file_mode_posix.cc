#include <sys/stat.h>

#include "platform/file_mode.h"

namespace vaultrun {

bool GetFileMode(const std::string& path, int* mode) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  *mode = static_cast<int>(st.st_mode & 07777);
  return true;
}

bool SetFileMode(const std::string& path, int mode) {
  return ::chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

}  // namespace vaultrun
