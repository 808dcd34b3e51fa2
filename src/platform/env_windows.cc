// The Windows implementation of Env: wide-character Win32 calls, UTF-8
// paths inside the program. Writes never go through a reparse point
// (symbolic link or junction) in the last path component, as the POSIX
// implementation never writes through a symbolic link.
#include <windows.h>
// The names below are Env methods; keep the Win32 macros off them.
#undef DeleteFile
#undef CreateFile

#include "platform/env.h"
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
  void Reset() {
    if (valid()) ::CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
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

bool IsReparsePoint(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

class WindowsEnv : public Env {
 public:
  bool Exists(const std::string& path) override {
    // Without following a link: a dangling link exists.
    return ::GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  bool FolderExists(const std::string& path) override {
    DWORD a = ::GetFileAttributesW(Wide(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
  }

  Status CreateFolder(const std::string& path, int) override {
    if (!::CreateDirectoryW(Wide(path).c_str(), nullptr)) {
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
    const std::wstring wide = Wide(path);
    // Writes, and reads of the program's own files, refuse links.
    const bool writes = how != OpenMode::kRead;
    if (writes && IsReparsePoint(::GetFileAttributesW(wide.c_str()))) {
      return RefuseLink(path);
    }
    // For writes the link itself is opened, never its target, so a link
    // planted after the check above is still caught below.
    DWORD flags = FILE_ATTRIBUTE_NORMAL | (writes ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    Handle h(::CreateFileW(wide.c_str(), access, kShareAll, nullptr, disposition, flags, nullptr));
    if (!h.valid()) return LastWindowsStatus("open " + path);
    if (writes) {
      BY_HANDLE_FILE_INFORMATION info;
      if (!::GetFileInformationByHandle(h.get(), &info)) {
        return LastWindowsStatus("open " + path);
      }
      if (IsReparsePoint(info.dwFileAttributes)) return RefuseLink(path);
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
    if (!::MoveFileExW(Wide(source).c_str(), Wide(target).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return LastWindowsStatus("rename " + source + " to " + target);
    }
    return Status::OK();
  }

  Status DeleteFile(const std::string& path) override {
    if (!::DeleteFileW(Wide(path).c_str())) return LastWindowsStatus("delete " + path);
    return Status::OK();
  }

  Status FileSize(const std::string& path, uint64_t* size) override {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) {
      return LastWindowsStatus("stat " + path);
    }
    *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return Status::OK();
  }

  Status ListFolder(const std::string& path, std::vector<std::string>* names) override {
    names->clear();
    std::wstring pattern = Wide(path);
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
    if (!::GetDiskFreeSpaceExW(Wide(folder).c_str(), &available, nullptr, nullptr)) {
      return LastWindowsStatus("free space " + path);
    }
    *bytes = available.QuadPart;
    return Status::OK();
  }

  Status LockFile(const std::string& path, std::unique_ptr<FileLock>* lock) override {
    const std::wstring wide = Wide(path);
    if (IsReparsePoint(::GetFileAttributesW(wide.c_str()))) return RefuseLink(path);
    Handle h(::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                           nullptr));
    if (!h.valid()) return LastWindowsStatus("open lock file " + path);
    OVERLAPPED at = {};
    if (!::LockFileEx(h.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &at)) {
      return LastWindowsStatus("lock " + path);
    }
    *lock = std::make_unique<WindowsFileLock>(h.release());
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

  void ProcessPendingMessages() override {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }

  char Separator() const override { return '\\'; }

 private:
  static Status RefuseLink(const std::string& path) {
    return WindowsStatus("open " + path + ": refusing to write through a link",
                         ERROR_CANT_ACCESS_FILE);
  }
};

}  // namespace

std::unique_ptr<Env> NewDefaultEnv() { return std::make_unique<WindowsEnv>(); }

}  // namespace vaultrun
