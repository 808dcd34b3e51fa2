#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

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

Status ReadPrivateFile(Env*, const std::string& path, size_t limit, std::string* contents,
                       std::string* exposure) {
  // O_NONBLOCK: a FIFO planted at the path cannot stall the open.
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Status::FromErrno("open " + path, errno);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) return Status::FromErrno("stat " + path, errno);
  if (!S_ISREG(st.st_mode)) return Status::Error(EINVAL, "open " + path + ": not a regular file");
  exposure->clear();
  if ((st.st_mode & 077) != 0) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *exposure = std::string("its mode is ") + mode;
  } else if (st.st_uid != ::geteuid() && st.st_uid != 0) {
    *exposure = "it belongs to user " + std::to_string(st.st_uid);
  }
  contents->clear();
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::FromErrno("read " + path, errno);
    }
    if (n == 0) break;
    if (contents->size() + static_cast<size_t>(n) > limit) {
      return Status::Error(EFBIG,
                           "read " + path + ": larger than " + std::to_string(limit) + " bytes");
    }
    contents->append(buf, static_cast<size_t>(n));
  }
  return Status::OK();
}

}  // namespace vaultrun
