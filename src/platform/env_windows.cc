// The Windows implementation of Env: wide-character Win32 calls, UTF-8
// paths inside the program. Writes never go through a symbolic link or
// junction in the last path component, as the POSIX implementation never
// writes through a symbolic link; other reparse points (deduplicated or
// cloud files) are ordinary data. Files that another program holds for a
// moment are tried again, and long paths take the extended-length form.
#include <windows.h>
// After windows.h: the SDDL conversions.
#include <sddl.h>
// The names below are Env methods; keep the Win32 macros off them.
#undef DeleteFile
#undef CreateFile

#include <algorithm>
#include <chrono>

#include "platform/env.h"
#include "platform/path_rules.h"
#include "platform/text_windows.h"

namespace vaultrun {
namespace {

// Shared like POSIX files: other handles may read, write, rename or delete.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Owns a Win32 file handle.
class Handle {
 public:
  explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~Handle() { Reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE release() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }
  void Reset(HANDLE h = INVALID_HANDLE_VALUE) {
    if (valid()) ::CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_;
};

class WindowsFile : public File {
 public:
  WindowsFile(HANDLE h, std::string path) : h_(h), path_(std::move(path)) {}

  Status Read(char* buf, size_t n, size_t* read) override {
    *read = 0;
    if (!h_.valid()) return Closed();
    DWORD chunk = static_cast<DWORD>(n > (1u << 30) ? (1u << 30) : n);
    DWORD got = 0;
    if (!::ReadFile(h_.get(), buf, chunk, &got, nullptr)) {
      return LastWindowsStatus("read " + path_);
    }
    *read = got;
    pos_ += got;
    return Status::OK();
  }

  Status Write(const char* data, size_t n) override {
    if (!h_.valid()) return Closed();
    while (n > 0) {
      DWORD chunk = static_cast<DWORD>(n > (1u << 30) ? (1u << 30) : n);
      DWORD put = 0;
      if (!::WriteFile(h_.get(), data, chunk, &put, nullptr)) {
        return LastWindowsStatus("write " + path_);
      }
      data += put;
      n -= put;
      pos_ += put;
    }
    return Status::OK();
  }

  Status Seek(uint64_t offset) override {
    if (!h_.valid()) return Closed();
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(h_.get(), to, nullptr, FILE_BEGIN)) {
      return LastWindowsStatus("seek " + path_);
    }
    pos_ = offset;
    return Status::OK();
  }

  Status SeekToEnd(uint64_t* offset) override {
    if (!h_.valid()) return Closed();
    LARGE_INTEGER zero, end;
    zero.QuadPart = 0;
    if (!::SetFilePointerEx(h_.get(), zero, &end, FILE_END)) {
      return LastWindowsStatus("seek " + path_);
    }
    pos_ = static_cast<uint64_t>(end.QuadPart);
    *offset = pos_;
    return Status::OK();
  }

  uint64_t Tell() const override { return pos_; }

  Status Truncate(uint64_t length) override {
    if (!h_.valid()) return Closed();
    // SetEndOfFile cuts at the file pointer: move it there and back.
    FILE_END_OF_FILE_INFO info;
    info.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    if (!::SetFileInformationByHandle(h_.get(), FileEndOfFileInfo, &info, sizeof info)) {
      return LastWindowsStatus("truncate " + path_);
    }
    return Status::OK();
  }

  Status Sync() override {
    if (!h_.valid()) return Closed();
    if (!::FlushFileBuffers(h_.get())) return LastWindowsStatus("sync " + path_);
    return Status::OK();
  }

  Status Close() override {
    if (!h_.valid()) return Status::OK();
    HANDLE h = h_.release();
    if (!::CloseHandle(h)) return LastWindowsStatus("close " + path_);
    return Status::OK();
  }

 private:
  Status Closed() const {
    return WindowsStatus("file " + path_ + ": already closed", ERROR_INVALID_HANDLE);
  }
  Handle h_;
  std::string path_;
  uint64_t pos_ = 0;
};

class WindowsFileLock : public FileLock {
 public:
  explicit WindowsFileLock(HANDLE h) : h_(h) {}
  // Closing the handle releases the lock.

 private:
  Handle h_;
};

// A named mutex this thread owns; released and closed by the destructor,
// which must run on the same thread.
class MutexLock : public FileLock {
 public:
  explicit MutexLock(HANDLE h) : h_(h) {}
  ~MutexLock() override { ::ReleaseMutex(h_.get()); }

 private:
  Handle h_;
};

bool IsReparsePoint(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Paths from 248 characters on (CreateDirectory's limit, MAX_PATH - 12) go
// to Windows in the extended-length form, which has no such limit but
// takes full paths only: GetFullPathName makes one (it has no limit).
std::wstring WidePath(const std::string& path) {
  std::wstring wide = Wide(path);
  if (wide.size() < 248) return wide;
  DWORD n = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return wide;
  std::wstring full(n, L'\0');
  n = ::GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  if (n == 0 || n >= full.size()) return wide;
  full.resize(n);
  return Wide(ExtendedLengthPath(Utf8(full)));
}

// The reparse tag of the file or folder at path; 0 when it is none or
// cannot be opened. The reparse point itself is opened, never its target.
DWORD ReparseTag(const std::wstring& path) {
  Handle h(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.valid()) return 0;
  FILE_ATTRIBUTE_TAG_INFO info;
  if (!::GetFileInformationByHandleEx(h.get(), FileAttributeTagInfo, &info, sizeof info)) return 0;
  return (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? info.ReparseTag : 0;
}

// Antivirus scanners, the search indexer, sync clients and copy jobs open a
// file for a moment right after the program closed it, without sharing
// deletion or writes. Such a file is tried again with growing pauses for
// this long before the call fails.
constexpr ULONGLONG kLockedWindowMs = 5000;

bool MayBeHeldForAMoment(DWORD error, const std::wstring& path) {
  if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION &&
      error != ERROR_ACCESS_DENIED) {
    return false;
  }
  // Access to a folder or a read-only file stays denied: no waiting.
  DWORD a = ::GetFileAttributesW(path.c_str());
  return error != ERROR_ACCESS_DENIED || a == INVALID_FILE_ATTRIBUTES ||
         !(a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
}

// Runs attempt, a Win32 call that returns false and sets the last error on
// failure, until it succeeds, fails for another reason, or the window is
// over. Returns the last error (ERROR_SUCCESS on success); *held tells
// that the file stayed held for the whole window.
template <typename Attempt>
DWORD RetryWhileHeld(const std::wstring& path, bool* held, Attempt attempt) {
  *held = false;
  const ULONGLONG start = ::GetTickCount64();
  DWORD pause = 10;
  for (;;) {
    if (attempt()) return ERROR_SUCCESS;
    const DWORD error = ::GetLastError();
    if (!MayBeHeldForAMoment(error, path)) return error;
    const ULONGLONG waited = ::GetTickCount64() - start;
    if (waited >= kLockedWindowMs) {
      *held = true;
      return error;
    }
    ::Sleep(static_cast<DWORD>(std::min<ULONGLONG>(pause, kLockedWindowMs - waited)));
    pause = std::min<DWORD>(pause * 2, 500);
  }
}

// The failure of a call that RetryWhileHeld gave up on: it names the file
// and says that another program kept it.
Status HeldStatus(const std::string& context, DWORD error, bool held) {
  if (!held) return WindowsStatus(context, error);
  return WindowsStatus(context + ": still in use by another program after " +
                           std::to_string(kLockedWindowMs / 1000) + " s",
                       error);
}

// Owns a security descriptor made from SDDL.
class SecurityDescriptor {
 public:
  explicit SecurityDescriptor(const std::string& sddl) {
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(Wide(sddl).c_str(), SDDL_REVISION_1,
                                                                &sd_, nullptr)) {
      sd_ = nullptr;
    }
  }
  ~SecurityDescriptor() {
    if (sd_ != nullptr) ::LocalFree(sd_);
  }
  SecurityDescriptor(const SecurityDescriptor&) = delete;
  SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;
  PSECURITY_DESCRIPTOR get() const { return sd_; }

 private:
  PSECURITY_DESCRIPTOR sd_ = nullptr;
};

// The SID of the account this process runs as, e.g. "S-1-5-18"; empty on
// failure.
std::string ProcessAccountSid() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return std::string();
  Handle owned(raw);
  DWORD size = 0;
  ::GetTokenInformation(owned.get(), TokenUser, nullptr, 0, &size);
  std::string buffer(size, '\0');
  if (size == 0 || !::GetTokenInformation(owned.get(), TokenUser, buffer.data(), size, &size)) {
    return std::string();
  }
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
    return std::string();
  }
  std::string sid = Utf8(std::wstring(text));
  ::LocalFree(text);
  return sid;
}

// True when the folder at path would be on a network share: a UNC path, or
// a drive letter mapped to a share.
bool OnNetworkShare(const std::string& path) {
  const std::wstring wide = Wide(path);
  DWORD n = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  std::wstring full(n, L'\0');
  n = n == 0 ? 0 : ::GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  full.resize(n < full.size() ? n : 0);
  const std::string utf8 = Utf8(full);
  if (IsNetworkSharePath(utf8)) return true;
  const size_t root = PathRootLength(utf8, '\\');
  if (root < 3 || utf8[root - 2] != ':') return false;
  return ::GetDriveTypeW(Wide(utf8.substr(root - 3, 3)).c_str()) == DRIVE_REMOTE;
}

// The program that CreateProcessW starts for name: a path as it is, a bare
// name (with ".exe" added when it has no extension) from PATH. Empty when
// there is none.
std::wstring FindProgram(const std::string& name) {
  const std::wstring wide = Wide(name);
  if (name.find_first_of("\\/:") != std::string::npos) return wide;
  DWORD n = ::SearchPathW(nullptr, wide.c_str(), L".exe", 0, nullptr, nullptr);
  if (n == 0) return std::wstring();
  std::wstring found(n, L'\0');
  n = ::SearchPathW(nullptr, wide.c_str(), L".exe", n, found.data(), nullptr);
  if (n == 0 || n >= found.size()) return std::wstring();
  found.resize(n);
  return found;
}

// Reads what a pipe holds without blocking; with wait, blocks until its end
// (every writer gone). Output beyond the tail is dropped.
void DrainPipe(HANDLE pipe, bool wait, std::string* tail, uint64_t* total, size_t limit) {
  char buf[16384];
  for (;;) {
    DWORD available = 0;
    if (!wait) {
      if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0) {
        return;
      }
    }
    DWORD got = 0;
    const DWORD want = wait ? sizeof buf : std::min<DWORD>(available, sizeof buf);
    if (!::ReadFile(pipe, buf, want, &got, nullptr) || got == 0) return;
    AppendTail(tail, total, buf, got, limit);
  }
}

// An anonymous pipe whose write end the child inherits.
struct ChildPipe {
  Handle read, write;
  bool Create() {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    if (!::CreatePipe(&r, &w, &inherit, 0)) return false;
    read.Reset(r);
    write.Reset(w);
    return ::SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0) != 0;
  }
};

// A job object that kills every process in it when its last handle closes:
// at the end of RunChild, or when this process dies in any way.
HANDLE NewKillOnCloseJob() {
  Handle job(::CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!job.valid() || !::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation,
                                                 &limits, sizeof limits)) {
    return nullptr;
  }
  return job.release();
}

class WindowsEnv : public Env {
 public:
  bool Exists(const std::string& path) override {
    // Without following a link: a dangling link exists.
    return ::GetFileAttributesW(WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  bool FolderExists(const std::string& path) override {
    DWORD a = ::GetFileAttributesW(WidePath(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
  }

  Status CreateFolder(const std::string& path, int mode) override {
    // Folders for the owner only (the backup folders: player data and
    // account hashes) get a protected DACL for SYSTEM, the Administrators
    // and this account, whatever the parent folder lets others do. Not on
    // a network share: there those SIDs are the file server's own accounts
    // (this machine's SYSTEM is its computer account), so such a DACL would
    // lock this machine out of the next level; the share's rules are
    // inherited instead.
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
    std::unique_ptr<SecurityDescriptor> descriptor;
    if ((mode & 077) == 0 && !OnNetworkShare(path)) {
      const std::string sid = ProcessAccountSid();
      if (!sid.empty()) descriptor = std::make_unique<SecurityDescriptor>(ProtectedFolderSddl(sid));
      if (descriptor == nullptr || descriptor->get() == nullptr) {
        return LastWindowsStatus("create folder " + path + ": access rules for the owner");
      }
      attributes.lpSecurityDescriptor = descriptor->get();
    }
    if (!::CreateDirectoryW(WidePath(path).c_str(),
                            descriptor != nullptr ? &attributes : nullptr)) {
      return LastWindowsStatus("create folder " + path);
    }
    return Status::OK();
  }

  Status OpenFile(const std::string& path, OpenMode how, int,
                  std::unique_ptr<File>* result) override {
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    switch (how) {
      case OpenMode::kRead:
      case OpenMode::kReadOwn:
        break;
      case OpenMode::kWriteNew:
        access = GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        break;
      case OpenMode::kReadWrite:
        access = GENERIC_READ | GENERIC_WRITE;
        break;
      case OpenMode::kCreateRW:
        access = GENERIC_READ | GENERIC_WRITE;
        disposition = OPEN_ALWAYS;
        break;
      case OpenMode::kAppend:
        // Append-only access: every write lands at the end, as O_APPEND.
        access = FILE_APPEND_DATA | SYNCHRONIZE;
        disposition = OPEN_ALWAYS;
        break;
    }
    const std::wstring wide = WidePath(path);
    // Writes, and reads of the program's own files, refuse links.
    const bool writes = how != OpenMode::kRead;
    const DWORD tag = writes ? ReparseTag(wide) : 0;
    if (IsRedirectingReparseTag(tag)) return RefuseLink(path);
    // A file that is no reparse point is opened as itself, never a target,
    // so that a link planted after the check above is still caught below;
    // a data reparse point is opened through its file system filter.
    const bool as_itself = writes && tag == 0;
    DWORD flags = FILE_ATTRIBUTE_NORMAL | (as_itself ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    Handle h;
    bool held = false;
    DWORD error = RetryWhileHeld(wide, &held, [&] {
      h.Reset(::CreateFileW(wide.c_str(), access, kShareAll, nullptr, disposition, flags, nullptr));
      return h.valid();
    });
    if (error != ERROR_SUCCESS) return HeldStatus("open " + path, error, held);
    if (writes) {
      BY_HANDLE_FILE_INFORMATION info;
      if (!::GetFileInformationByHandle(h.get(), &info)) {
        return LastWindowsStatus("open " + path);
      }
      if (as_itself && IsReparsePoint(info.dwFileAttributes)) return RefuseLink(path);
      // Only plain disk files are written: no folder, device or pipe.
      if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
          ::GetFileType(h.get()) != FILE_TYPE_DISK) {
        return WindowsStatus("open " + path + ": not a regular file", ERROR_ACCESS_DENIED);
      }
    }
    *result = std::make_unique<WindowsFile>(h.release(), path);
    return Status::OK();
  }

  Status ReadFile(const std::string& path, std::string* contents) override {
    contents->clear();
    std::unique_ptr<File> file;
    Status s = OpenFile(path, OpenMode::kRead, 0, &file);
    if (!s.ok()) return s;
    return ReadRest(file.get(), contents);
  }

  bool IsNotFound(const Status& status) override {
    return status.number() == ERROR_FILE_NOT_FOUND || status.number() == ERROR_PATH_NOT_FOUND;
  }

  Status RenameFile(const std::string& source, const std::string& target) override {
    const std::wstring from = WidePath(source);
    const std::wstring to = WidePath(target);
    bool held = false;
    DWORD error = RetryWhileHeld(from, &held, [&] {
      return ::MoveFileExW(from.c_str(), to.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    });
    if (error != ERROR_SUCCESS)
      return HeldStatus("rename " + source + " to " + target, error, held);
    return Status::OK();
  }

  Status DeleteFile(const std::string& path) override {
    const std::wstring wide = WidePath(path);
    bool held = false;
    DWORD error = RetryWhileHeld(wide, &held, [&] { return ::DeleteFileW(wide.c_str()) != 0; });
    if (error != ERROR_SUCCESS) return HeldStatus("delete " + path, error, held);
    return Status::OK();
  }

  Status FileSize(const std::string& path, uint64_t* size) override {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, &data)) {
      return LastWindowsStatus("stat " + path);
    }
    *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return Status::OK();
  }

  Status ListFolder(const std::string& path, std::vector<std::string>* names) override {
    names->clear();
    std::wstring pattern = WidePath(path);
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW(pattern.c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) {
      DWORD err = ::GetLastError();
      if (err == ERROR_FILE_NOT_FOUND) return Status::OK();  // an empty drive root
      return WindowsStatus("list folder " + path, err);
    }
    do {
      std::string name = Utf8(std::wstring(found.cFileName));
      if (name != "." && name != "..") names->push_back(name);
    } while (::FindNextFileW(find, &found));
    DWORD err = ::GetLastError();
    ::FindClose(find);
    if (err != ERROR_NO_MORE_FILES) return WindowsStatus("list folder " + path, err);
    return Status::OK();
  }

  Status FreeSpace(const std::string& path, uint64_t* bytes) override {
    // GetDiskFreeSpaceEx wants a folder; a file's own folder holds it.
    std::string folder = path;
    if (!FolderExists(folder)) {
      size_t sep = folder.find_last_of("\\/");
      if (sep != std::string::npos) folder.erase(sep + 1);
    }
    ULARGE_INTEGER available;
    std::wstring wide = WidePath(folder);
    // A network share or an extended-length path needs the trailing backslash.
    if (!wide.empty() && wide.back() != L'\\') wide += L'\\';
    if (!::GetDiskFreeSpaceExW(wide.c_str(), &available, nullptr, nullptr)) {
      return LastWindowsStatus("free space " + path);
    }
    *bytes = available.QuadPart;
    return Status::OK();
  }

  Status LockFile(const std::string& path, std::unique_ptr<FileLock>* lock) override {
    return Lock(path, true, lock);
  }

  Status TryLockFile(const std::string& path, std::unique_ptr<FileLock>* lock) override {
    return Lock(path, false, lock);
  }

  Status TryLockMachineWide(const std::string& name, std::unique_ptr<FileLock>* lock) override {
    lock->reset();
    // The Global namespace reaches every session (the nightly task runs in
    // session 0, an administrator's double-click in another). Where this
    // account may not create or open it, the file locks still serve.
    Handle h(::CreateMutexW(nullptr, FALSE, Wide("Global\\" + name).c_str()));
    if (!h.valid()) {
      *lock = std::make_unique<FileLock>();
      return Status::OK();
    }
    // An abandoned mutex (its owner died) is this thread's now too.
    DWORD r = ::WaitForSingleObject(h.get(), 0);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
      *lock = std::make_unique<MutexLock>(h.release());
      return Status::OK();
    }
    if (r == WAIT_TIMEOUT) return Status::OK();
    return LastWindowsStatus("lock " + name);
  }

  Status RunChild(const ChildRequest& request, ChildResult* result) override {
    *result = ChildResult();
    if (request.argv.empty())
      return WindowsStatus("run: no program named", ERROR_INVALID_PARAMETER);
    const std::string& name = request.argv[0];
    const std::wstring program = FindProgram(name);
    if (program.empty())
      return WindowsStatus("run " + name + ": not found on PATH", ERROR_FILE_NOT_FOUND);
    std::wstring command_line = Wide(WindowsCommandLine(request.argv));

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    Handle in(::CreateFileW(L"NUL", GENERIC_READ, kShareAll, &inherit, OPEN_EXISTING, 0, nullptr));
    if (!in.valid()) return LastWindowsStatus("open NUL");
    Handle out_file;
    if (!request.output_file.empty()) {
      // For the owner only, like the program's folders: it holds an archive.
      SECURITY_ATTRIBUTES own = {sizeof own, nullptr, TRUE};
      const std::string sid = ProcessAccountSid();
      SecurityDescriptor descriptor(ProtectedFolderSddl(sid));
      if (sid.empty() || descriptor.get() == nullptr) {
        return LastWindowsStatus("create " + request.output_file + ": access rules for the owner");
      }
      own.lpSecurityDescriptor = descriptor.get();
      out_file.Reset(::CreateFileW(WidePath(request.output_file).c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ, &own, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      if (!out_file.valid()) return LastWindowsStatus("create " + request.output_file);
    }
    ChildPipe out, err;
    if (!out.Create() || !err.Create()) return LastWindowsStatus("run " + name + ": pipe");
    Handle job(NewKillOnCloseJob());
    if (!job.valid()) return LastWindowsStatus("run " + name + ": job object");

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.get();
    startup.hStdOutput = out_file.valid() ? out_file.get() : out.write.get();
    startup.hStdError = err.write.get();
    PROCESS_INFORMATION started = {};
    // Suspended until it is in the job, so that nothing it starts escapes;
    // no console window for a console program started by one without.
    if (!::CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                          CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, nullptr,
                          nullptr, &startup, &started)) {
      return LastWindowsStatus("run " + name);
    }
    Handle process(started.hProcess), thread(started.hThread);
    if (!::AssignProcessToJobObject(job.get(), process.get())) {
      Status s = LastWindowsStatus("run " + name + ": job object");
      ::TerminateProcess(process.get(), 1);
      return s;
    }
    ::ResumeThread(thread.get());
    in.Reset();
    out_file.Reset();
    out.write.Reset();
    err.write.Reset();

    const auto deadline = std::chrono::steady_clock::now() + request.timeout;
    for (;;) {
      DrainPipe(out.read.get(), false, &result->out, &result->out_bytes, request.output_limit);
      DrainPipe(err.read.get(), false, &result->err, &result->err_bytes, request.output_limit);
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        result->timed_out = true;
        break;
      }
      const DWORD pause = static_cast<DWORD>(std::min<int64_t>(left.count(), 10));
      if (::WaitForSingleObject(process.get(), pause) == WAIT_OBJECT_0) break;
    }
    // Whatever of the job is left (the child at its timeout, or what it
    // started and left behind) dies with the call; then the pipes end.
    ::TerminateJobObject(job.get(), 1);
    ::WaitForSingleObject(process.get(), 5000);
    DrainPipe(out.read.get(), true, &result->out, &result->out_bytes, request.output_limit);
    DrainPipe(err.read.get(), true, &result->err, &result->err_bytes, request.output_limit);
    DWORD code = 0;
    if (!result->timed_out && ::GetExitCodeProcess(process.get(), &code)) {
      result->exit_code = static_cast<int>(code);
    }
    return Status::OK();
  }

  LocalTime Now() override {
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
  }

  std::string ProgramFolder() override {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
      DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
      if (n == 0) return ".";
      if (n < buf.size()) {
        buf.resize(n);
        break;
      }
      buf.resize(buf.size() * 2);
    }
    std::string path = Utf8(buf);
    size_t sep = path.find_last_of('\\');
    if (sep == std::string::npos) return ".";
    // A drive root keeps its separator ("C:\").
    if (sep > 0 && path[sep - 1] == ':') return path.substr(0, sep + 1);
    return path.substr(0, sep);
  }

  void LowerThreadPriority() override {
    (void)::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
  }

  void ProcessPendingMessages() override {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }

  char Separator() const override { return '\\'; }

  bool IsUsableFileName(const std::string& name) const override {
    return IsUsableWindowsFileName(name);
  }

 private:
  // LockFileEx on the lock file at path; without wait, a lock held
  // elsewhere gives OK and an empty *lock.
  static Status Lock(const std::string& path, bool wait, std::unique_ptr<FileLock>* lock) {
    lock->reset();
    const std::wstring wide = WidePath(path);
    const DWORD tag = ReparseTag(wide);
    if (IsRedirectingReparseTag(tag)) return RefuseLink(path);
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (tag == 0 ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    Handle h;
    bool held = false;
    DWORD error = RetryWhileHeld(wide, &held, [&] {
      h.Reset(::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                            OPEN_ALWAYS, flags, nullptr));
      return h.valid();
    });
    if (error != ERROR_SUCCESS) return HeldStatus("open lock file " + path, error, held);
    OVERLAPPED at = {};
    const DWORD how = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (!::LockFileEx(h.get(), how, 0, MAXDWORD, MAXDWORD, &at)) {
      if (!wait && ::GetLastError() == ERROR_LOCK_VIOLATION) return Status::OK();
      return LastWindowsStatus("lock " + path);
    }
    *lock = std::make_unique<WindowsFileLock>(h.release());
    return Status::OK();
  }

  static Status RefuseLink(const std::string& path) {
    return WindowsStatus("open " + path + ": refusing to write through a link",
                         ERROR_CANT_ACCESS_FILE);
  }
};

}  // namespace

std::unique_ptr<Env> NewDefaultEnv() { return std::make_unique<WindowsEnv>(); }

}  // namespace vaultrun
