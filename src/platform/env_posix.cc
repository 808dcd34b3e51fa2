// The POSIX implementation of Env.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/env.h"
#include "platform/path_rules.h"

namespace vaultrun {
namespace {

// How far LowerThreadPriority lowers a thread: nice 10 leaves it about a
// tenth of a core that a normal thread also wants.
constexpr int kLowerNiceSteps = 10;

class PosixFile : public File {
 public:
  PosixFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  Status Read(char* buf, size_t n, size_t* read) override {
    *read = 0;
    if (fd_ < 0) return Closed();
    for (;;) {
      ssize_t r = ::read(fd_, buf, n);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return Status::FromErrno("read " + path_, errno);
      *read = static_cast<size_t>(r);
      pos_ += static_cast<uint64_t>(r);
      return Status::OK();
    }
  }

  Status Write(const char* data, size_t n) override {
    if (fd_ < 0) return Closed();
    while (n > 0) {
      ssize_t w = ::write(fd_, data, n);
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return Status::FromErrno("write " + path_, errno);
      data += w;
      n -= static_cast<size_t>(w);
      pos_ += static_cast<uint64_t>(w);
    }
    return Status::OK();
  }

  Status Seek(uint64_t offset) override {
    if (fd_ < 0) return Closed();
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
      return Status::FromErrno("seek " + path_, errno);
    }
    pos_ = offset;
    return Status::OK();
  }

  Status SeekToEnd(uint64_t* offset) override {
    if (fd_ < 0) return Closed();
    off_t end = ::lseek(fd_, 0, SEEK_END);
    if (end < 0) return Status::FromErrno("seek " + path_, errno);
    pos_ = static_cast<uint64_t>(end);
    *offset = pos_;
    return Status::OK();
  }

  uint64_t Tell() const override { return pos_; }

  Status Truncate(uint64_t length) override {
    if (fd_ < 0) return Closed();
    if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
      return Status::FromErrno("truncate " + path_, errno);
    }
    return Status::OK();
  }

  Status Sync() override {
    if (fd_ < 0) return Closed();
    if (::fdatasync(fd_) != 0) return Status::FromErrno("sync " + path_, errno);
    return Status::OK();
  }

  Status Close() override {
    if (fd_ < 0) return Status::OK();
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return Status::FromErrno("close " + path_, errno);
    return Status::OK();
  }

 private:
  Status Closed() const { return Status::Error(EBADF, "file " + path_ + ": already closed"); }
  int fd_;
  std::string path_;
  uint64_t pos_ = 0;
};

class PosixFileLock : public FileLock {
 public:
  explicit PosixFileLock(int fd) : fd_(fd) {}
  ~PosixFileLock() override { ::close(fd_); }  // closing releases the flock

 private:
  int fd_;
};

class PosixEnv : public Env {
 public:
  bool Exists(const std::string& path) override {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
  }

  bool FolderExists(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  Status CreateFolder(const std::string& path, int mode) override {
    if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0) {
      return Status::FromErrno("create folder " + path, errno);
    }
    return Status::OK();
  }

  Status OpenFile(const std::string& path, OpenMode how, int mode,
                  std::unique_ptr<File>* result) override {
    int flags = O_CLOEXEC;
    switch (how) {
      case OpenMode::kRead:
        flags |= O_RDONLY;
        break;
      case OpenMode::kReadOwn:
        flags |= O_RDONLY | O_NOFOLLOW;
        break;
      case OpenMode::kWriteNew:
        flags |= O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW;
        break;
      case OpenMode::kReadWrite:
        flags |= O_RDWR | O_NOFOLLOW;
        break;
      case OpenMode::kCreateRW:
        flags |= O_RDWR | O_CREAT | O_NOFOLLOW;
        break;
      case OpenMode::kAppend:
        flags |= O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW;
        break;
    }
    // Opening a FIFO would wait for its other end: not where it is refused.
    const bool regular_only = how != OpenMode::kRead;
    if (regular_only) flags |= O_NONBLOCK;
    int fd;
    do {
      fd = ::open(path.c_str(), flags, static_cast<mode_t>(mode));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      // O_NOFOLLOW reports a link in the last component as ELOOP.
      if (errno == ELOOP) {
        return Status::Error(ELOOP, "open " + path + ": refusing to write through a symbolic link");
      }
      return Status::FromErrno("open " + path, errno);
    }
    if (regular_only) {
      // Only regular files are written: a planted FIFO or device is refused.
      struct stat st;
      if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Status::Error(EINVAL, "open " + path + ": not a regular file");
      }
      int status_flags = ::fcntl(fd, F_GETFL);
      if (status_flags < 0 || ::fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK) != 0) {
        int err = errno;
        ::close(fd);
        return Status::FromErrno("open " + path, err);
      }
    }
    *result = std::make_unique<PosixFile>(fd, path);
    return Status::OK();
  }

  Status ReadFile(const std::string& path, std::string* contents) override {
    contents->clear();
    std::unique_ptr<File> file;
    Status s = OpenFile(path, OpenMode::kRead, 0, &file);
    if (!s.ok()) return s;
    return ReadRest(file.get(), contents);
  }

  bool IsNotFound(const Status& status) override { return status.number() == ENOENT; }

  Status RenameFile(const std::string& source, const std::string& target) override {
    if (::rename(source.c_str(), target.c_str()) != 0) {
      return Status::FromErrno("rename " + source + " to " + target, errno);
    }
    return Status::OK();
  }

  Status DeleteFile(const std::string& path) override {
    if (::unlink(path.c_str()) != 0) return Status::FromErrno("delete " + path, errno);
    return Status::OK();
  }

  Status FileSize(const std::string& path, uint64_t* size) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Status::FromErrno("stat " + path, errno);
    *size = static_cast<uint64_t>(st.st_size);
    return Status::OK();
  }

  Status ListFolder(const std::string& path, std::vector<std::string>* names) override {
    names->clear();
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return Status::FromErrno("list folder " + path, errno);
    while (struct dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names->push_back(name);
    }
    ::closedir(dir);
    return Status::OK();
  }

  Status FreeSpace(const std::string& path, uint64_t* bytes) override {
    struct statvfs st;
    if (::statvfs(path.c_str(), &st) != 0) return Status::FromErrno("free space " + path, errno);
    *bytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
    return Status::OK();
  }

  Status LockFile(const std::string& path, std::unique_ptr<FileLock>* lock) override {
    return Lock(path, true, lock);
  }

  Status TryLockFile(const std::string& path, std::unique_ptr<FileLock>* lock) override {
    return Lock(path, false, lock);
  }

  Status TryLockMachineWide(const std::string&, std::unique_ptr<FileLock>* lock) override {
    *lock = std::make_unique<FileLock>();
    return Status::OK();
  }

  LocalTime Now() override {
    time_t now = ::time(nullptr);
    struct tm tm;
    ::localtime_r(&now, &tm);
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                     tm.tm_hour,        tm.tm_min,     tm.tm_sec};
  }

  std::string ProgramFolder() override {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
  }

  void ProcessPendingMessages() override {}

  void LowerThreadPriority() override {
    // On Linux the nice value belongs to each thread, named by its id.
    const id_t thread = static_cast<id_t>(gettid());
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, thread);
    if (nice == -1 && errno != 0) return;
    (void)setpriority(PRIO_PROCESS, thread, std::min(nice + kLowerNiceSteps, 19));
  }

  char Separator() const override { return '/'; }

  bool IsUsableFileName(const std::string& name) const override {
    return IsUsablePosixFileName(name);
  }

 private:
  // flock on the lock file at path; without wait, a lock held elsewhere
  // gives OK and an empty *lock.
  static Status Lock(const std::string& path, bool wait, std::unique_ptr<FileLock>* lock) {
    lock->reset();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return Status::FromErrno("open lock file " + path, errno);
    int r;
    do {
      r = ::flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
      int err = errno;
      ::close(fd);
      if (!wait && err == EWOULDBLOCK) return Status::OK();
      return Status::FromErrno("lock " + path, err);
    }
    *lock = std::make_unique<PosixFileLock>(fd);
    return Status::OK();
  }
};

}  // namespace

std::unique_ptr<Env> NewDefaultEnv() { return std::make_unique<PosixEnv>(); }

}  // namespace vaultrun
