#include <fcntl.h>
#include <sys/stat.h>

#include "platform/file_mode.h"

namespace vaultrun {

bool GetFileMode(const std::string& path, int* mode) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *mode = static_cast<int>(st.st_mode & 07777);
  return true;
}

bool SetFileMode(const std::string& path, int mode) {
  return ::fchmodat(AT_FDCWD, path.c_str(), static_cast<mode_t>(mode), AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace vaultrun
