// The operating-system services that the program uses, behind one narrow
// interface so that a Windows build adds an implementation file and tests
// can wrap the real one to inject faults. The real Env is created in main()
// and passed down; nothing else in the program calls the operating system
// for files, folders, the clock or the program folder.
//
// Paths are UTF-8 text. No method throws: failures come back as a Status.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace vaultrun {

// An open file. Not thread-safe; one owner at a time. Closed by the
// destructor when Close() was not called (errors are then lost).
class File {
 public:
  virtual ~File() = default;
  // Reads up to n bytes at the current position into buf; *read is the count
  // (0 at end of file).
  virtual Status Read(char* buf, size_t n, size_t* read) = 0;
  // Writes all n bytes at the current position, or fails.
  virtual Status Write(const char* data, size_t n) = 0;
  Status Write(std::string_view s) { return Write(s.data(), s.size()); }
  // Moves the position to offset bytes from the start.
  virtual Status Seek(uint64_t offset) = 0;
  // Moves the position to the end of the file and returns it in *offset.
  virtual Status SeekToEnd(uint64_t* offset) = 0;
  virtual uint64_t Tell() const = 0;
  // Cuts the file to length bytes; the position is not changed.
  virtual Status Truncate(uint64_t length) = 0;
  // Pushes written data to the storage device.
  virtual Status Sync() = 0;
  // Closes the file; any later call fails. A second Close() is OK.
  virtual Status Close() = 0;
};

// An advisory lock held on a lock file until the object is destroyed.
class FileLock {
 public:
  virtual ~FileLock() = default;
};

// Local calendar time to the second.
struct LocalTime {
  int year = 0;    // e.g. 2006
  int month = 0;   // 1..12
  int day = 0;     // 1..31
  int hour = 0;    // 0..23
  int minute = 0;  // 0..59
  int second = 0;  // 0..59
};

// A program to run as a child process (see Env::RunChild).
struct ChildRequest {
  // The program and its arguments, passed as they are: never through a
  // shell. argv[0] is a path, or a bare name looked up on PATH.
  std::vector<std::string> argv;
  // The child (and every process it started) is killed when it runs longer.
  std::chrono::milliseconds timeout{0};
  // Of each of standard output and standard error, the last output_limit
  // bytes are kept; the rest is read and dropped.
  size_t output_limit = 64 * 1024;
  // When set, standard output goes to this new file (created with the
  // owner's rights only; an existing file or a link there is a failure)
  // instead of being kept.
  std::string output_file;
};

struct ChildResult {
  int exit_code = -1;      // the program's exit status; -1 when it was killed
  bool timed_out = false;  // killed at the timeout
  std::string out;         // the tail of standard output
  std::string err;         // the tail of standard error
  uint64_t out_bytes = 0;  // bytes written in all, before the tail was cut
  uint64_t err_bytes = 0;
};

enum class OpenMode {
  kRead,       // existing file, read only
  kReadOwn,    // a file the program wrote itself: read only, never through a link
  kWriteNew,   // create or empty, write only
  kReadWrite,  // existing file, read and write, position at the start
  kCreateRW,   // create when missing (never emptied), read and write
  kAppend,     // create when missing, every write goes to the end
};

class Env {
 public:
  virtual ~Env() = default;

  // True when a file or a folder exists at path (a dangling symbolic link
  // counts as existing, so nobody writes through it).
  virtual bool Exists(const std::string& path) = 0;
  // True when a folder exists at path (a link to a folder counts).
  virtual bool FolderExists(const std::string& path) = 0;
  // Creates one folder level with the given permission bits; the parent
  // must exist. Fails when anything exists at path.
  virtual Status CreateFolder(const std::string& path, int mode) = 0;
  // Opens a file. Modes that write (and kReadOwn) never follow a symbolic
  // link in the last path component and open regular files only: a planted
  // link, FIFO or device is a failure, so it cannot redirect the program's
  // writes or stall it. New files get the permission bits mode.
  virtual Status OpenFile(const std::string& path, OpenMode how, int mode,
                          std::unique_ptr<File>* result) = 0;
  // Reads a whole file into *contents. A missing file gives a Status whose
  // number is ENOENT (or the platform's equivalent, see IsNotFound).
  virtual Status ReadFile(const std::string& path, std::string* contents) = 0;
  // True when status is the failure that ReadFile/OpenFile give for a
  // missing file.
  virtual bool IsNotFound(const Status& status) = 0;
  // Replaces target by source atomically (same folder, same file system).
  virtual Status RenameFile(const std::string& source, const std::string& target) = 0;
  // Removes one file (never a folder).
  virtual Status DeleteFile(const std::string& path) = 0;
  // Cuts the file at path to length bytes. The default opens the file with
  // OpenFile, so it never follows a link either.
  virtual Status TruncateFile(const std::string& path, uint64_t length);
  // Size of the file at path in bytes.
  virtual Status FileSize(const std::string& path, uint64_t* size) = 0;
  // The names in a folder, without "." and "..", in no particular order.
  virtual Status ListFolder(const std::string& path, std::vector<std::string>* names) = 0;
  // Bytes available to this user on the file system that holds path.
  virtual Status FreeSpace(const std::string& path, uint64_t* bytes) = 0;
  // Blocks until this process holds the exclusive advisory lock on the lock
  // file at path (created 0600 when missing). The lock is held until
  // *lock is destroyed. Other processes that call LockFile wait.
  virtual Status LockFile(const std::string& path, std::unique_ptr<FileLock>* lock) = 0;
  // LockFile without the wait: when another process holds the lock, returns
  // OK and leaves *lock empty.
  virtual Status TryLockFile(const std::string& path, std::unique_ptr<FileLock>* lock) = 0;
  // Takes the machine-wide lock called name (letters, digits and dots)
  // without waiting, held until *lock is destroyed by the thread that took
  // it. On Windows a named mutex that every session of the machine sees; OK
  // with *lock empty when another process holds it. Where no such object can
  // be made (POSIX has none; the file locks serve there), OK with a lock
  // that holds nothing.
  virtual Status TryLockMachineWide(const std::string& name, std::unique_ptr<FileLock>* lock) = 0;

  // Runs a program to its end and waits for it, with standard input empty
  // and its output captured as ChildRequest says. The child lives in a
  // group of its own (a process group on POSIX, a job object on Windows):
  // at the timeout and when this call returns, every process of the group
  // is killed. When this process dies, the child dies too (Windows: the
  // whole job; Linux: the child, by a death signal tied to the calling
  // thread, so call it from a thread that outlives the call). Fails (and
  // runs nothing) when the program cannot be started; a program that ran
  // gives OK whatever its exit status.
  virtual Status RunChild(const ChildRequest& request, ChildResult* result) = 0;

  // The current local date and time to the second.
  virtual LocalTime Now() = 0;
  // The folder that holds the running executable, without a trailing
  // separator except at a root.
  virtual std::string ProgramFolder() = 0;
  // Lets the platform process the thread's pending window messages. The
  // program has no window; on POSIX this does nothing.
  virtual void ProcessPendingMessages() = 0;
  // Lowers the calling thread's scheduling priority a few steps, for work
  // that can wait (compressing a table while it is read): it then gives way
  // to the thread that reads from the database server, and to the game
  // server itself. Best effort; a refusal changes nothing.
  virtual void LowerThreadPriority() = 0;
  // The path separator of this platform ("/" or "\").
  virtual char Separator() const = 0;
  // True when name can be a file name in a folder of this platform's file
  // system as it stands (see platform/path_rules.h for each platform's rules).
  virtual bool IsUsableFileName(const std::string& name) const = 0;
};

// Creates one folder level unless a folder is there already. A folder that
// another process creates at the same moment (two runs of one database
// start together) counts as created, not as a failure.
inline Status CreateFolderLevel(Env* env, const std::string& path, int mode) {
  if (env->FolderExists(path)) return Status::OK();
  Status s = env->CreateFolder(path, mode);
  return s.ok() || env->FolderExists(path) ? Status::OK() : s;
}

// Reads the rest of an open file into *contents and closes it.
Status ReadRest(File* file, std::string* contents);

// Appends n bytes of a child's output to *tail, keeping only its last
// limit bytes, and counts them in *total.
void AppendTail(std::string* tail, uint64_t* total, const char* data, size_t n, size_t limit);

// The real Env of this platform (env_posix.cc or env_windows.cc).
std::unique_ptr<Env> NewDefaultEnv();

// Forwards every call to a target Env. Tests derive from it and override
// the calls in which they inject faults.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  bool Exists(const std::string& p) override { return target_->Exists(p); }
  bool FolderExists(const std::string& p) override { return target_->FolderExists(p); }
  Status CreateFolder(const std::string& p, int mode) override {
    return target_->CreateFolder(p, mode);
  }
  Status OpenFile(const std::string& p, OpenMode how, int mode, std::unique_ptr<File>* r) override {
    return target_->OpenFile(p, how, mode, r);
  }
  Status ReadFile(const std::string& p, std::string* c) override { return target_->ReadFile(p, c); }
  bool IsNotFound(const Status& s) override { return target_->IsNotFound(s); }
  Status RenameFile(const std::string& s, const std::string& t) override {
    return target_->RenameFile(s, t);
  }
  Status DeleteFile(const std::string& p) override { return target_->DeleteFile(p); }
  Status TruncateFile(const std::string& p, uint64_t n) override {
    return target_->TruncateFile(p, n);
  }
  Status FileSize(const std::string& p, uint64_t* n) override { return target_->FileSize(p, n); }
  Status ListFolder(const std::string& p, std::vector<std::string>* n) override {
    return target_->ListFolder(p, n);
  }
  Status FreeSpace(const std::string& p, uint64_t* n) override { return target_->FreeSpace(p, n); }
  Status LockFile(const std::string& p, std::unique_ptr<FileLock>* l) override {
    return target_->LockFile(p, l);
  }
  Status TryLockFile(const std::string& p, std::unique_ptr<FileLock>* l) override {
    return target_->TryLockFile(p, l);
  }
  Status TryLockMachineWide(const std::string& n, std::unique_ptr<FileLock>* l) override {
    return target_->TryLockMachineWide(n, l);
  }
  Status RunChild(const ChildRequest& q, ChildResult* r) override {
    return target_->RunChild(q, r);
  }
  LocalTime Now() override { return target_->Now(); }
  std::string ProgramFolder() override { return target_->ProgramFolder(); }
  void ProcessPendingMessages() override { target_->ProcessPendingMessages(); }
  void LowerThreadPriority() override { target_->LowerThreadPriority(); }
  char Separator() const override { return target_->Separator(); }
  bool IsUsableFileName(const std::string& n) const override {
    return target_->IsUsableFileName(n);
  }

 private:
  Env* target_;
};

}  // namespace vaultrun
