// The POSIX implementation of Env.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <thread>

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

// Owns a file descriptor.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// The program that execv runs for name: a name with a '/' as it is, a bare
// name from the first folder of PATH that holds an executable file of that
// name. Empty when there is none. Looked up before fork, so that the child
// only calls what is safe between fork and exec.
std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  for (;;) {
    size_t end = folders.find(':', start);
    std::string folder = folders.substr(start, end == std::string::npos ? end : end - start);
    std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    struct stat st;
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (end == std::string::npos) return std::string();
    start = end + 1;
  }
}

// Kills every process of the child's group. The group id stays reserved
// while the leader is not reaped, so this never reaches another group.
void KillGroup(pid_t leader) { (void)::kill(-leader, SIGKILL); }

// Reads what a pipe holds into a tail; false at its end (or on an error).
bool ReadPipe(int fd, std::string* tail, uint64_t* total, size_t limit) {
  char buf[16384];
  ssize_t n = ::read(fd, buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (n <= 0) return false;
  AppendTail(tail, total, buf, static_cast<size_t>(n), limit);
  return true;
}

// Starts the child: its own process group, killed when this thread ends
// (PR_SET_PDEATHSIG), standard input from /dev/null. Only calls that are
// safe after fork run in the child; an exec failure goes back through
// exec_error as its errno.
pid_t StartChild(const std::string& program, std::vector<char*>& argv, int in, int out, int err,
                 int exec_error) {
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::setpgid(0, 0);
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);  // the parent is gone already
  ::signal(SIGPIPE, SIG_DFL);
  if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(127);
  ::execv(program.c_str(), argv.data());
  int e = errno;
  (void)!::write(exec_error, &e, sizeof e);
  ::_exit(127);
}

// Waits for the child to end without reaping it (so its group id stays
// reserved), until the deadline; true when it ended.
bool WaitForEnd(pid_t pid, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    siginfo_t info = {};
    int r = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    if (r != 0 && errno != EINTR) return true;  // nothing to wait for
    if (r == 0 && info.si_pid == pid) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

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

  Status RunChild(const ChildRequest& request, ChildResult* result) override {
    *result = ChildResult();
    if (request.argv.empty()) return Status::Error(EINVAL, "run: no program named");
    const std::string& name = request.argv[0];
    const std::string program = FindProgram(name);
    if (program.empty()) return Status::Error(ENOENT, "run " + name + ": not found on PATH");
    std::vector<char*> argv;
    for (const std::string& arg : request.argv) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    UniqueFd in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) return Status::FromErrno("open /dev/null", errno);
    UniqueFd out_file;
    if (!request.output_file.empty()) {
      out_file.Reset(::open(request.output_file.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (out_file.get() < 0) return Status::FromErrno("create " + request.output_file, errno);
    }
    int fds[6];
    if (::pipe2(fds, O_CLOEXEC) != 0 || ::pipe2(fds + 2, O_CLOEXEC) != 0 ||
        ::pipe2(fds + 4, O_CLOEXEC) != 0) {
      return Status::FromErrno("run " + name + ": pipe", errno);
    }
    UniqueFd out_read(fds[0]), out_write(fds[1]), err_read(fds[2]), err_write(fds[3]);
    UniqueFd exec_read(fds[4]), exec_write(fds[5]);

    const auto deadline = std::chrono::steady_clock::now() + request.timeout;
    const pid_t pid =
        StartChild(program, argv, in.get(), out_file.get() >= 0 ? out_file.get() : out_write.get(),
                   err_write.get(), exec_write.get());
    if (pid < 0) return Status::FromErrno("run " + name + ": fork", errno);
    ::setpgid(pid, pid);  // also here, so that no kill below can precede it
    in.Reset();
    out_file.Reset();
    out_write.Reset();
    err_write.Reset();
    exec_write.Reset();

    int exec_errno = 0;
    ssize_t got;
    do {
      got = ::read(exec_read.get(), &exec_errno, sizeof exec_errno);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof exec_errno)) {
      ::waitpid(pid, nullptr, 0);
      return Status::FromErrno("run " + name, exec_errno);
    }

    // Output is read until both pipes end. Once the child has ended, what
    // is left of its group dies, so that nothing it left behind holding
    // the pipes keeps this call waiting.
    bool out_open = true, err_open = true, ended = false;
    while (out_open || err_open) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        result->timed_out = !ended;
        break;
      }
      struct pollfd polled[2] = {{out_open ? out_read.get() : -1, POLLIN, 0},
                                 {err_open ? err_read.get() : -1, POLLIN, 0}};
      int r = ::poll(polled, 2, static_cast<int>(std::min<int64_t>(left.count(), 50)));
      if (r < 0 && errno != EINTR) break;
      if (r > 0 && out_open && polled[0].revents != 0) {
        out_open = ReadPipe(out_read.get(), &result->out, &result->out_bytes, request.output_limit);
      }
      if (r > 0 && err_open && polled[1].revents != 0) {
        err_open = ReadPipe(err_read.get(), &result->err, &result->err_bytes, request.output_limit);
      }
      if (!ended && WaitForEnd(pid, std::chrono::steady_clock::now())) {
        ended = true;
        KillGroup(pid);
      }
    }
    if (!result->timed_out && !ended && !WaitForEnd(pid, deadline)) result->timed_out = true;
    // Whatever of the group is left (the child at its timeout, or what it
    // started and left behind) dies with the call.
    KillGroup(pid);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result->exit_code = !result->timed_out && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
