// minizip's file access routed through the platform seam, and RAII owners
// for minizip's handles.
#pragma once

#include <minizip/ioapi.h>
#include <minizip/unzip.h>
#include <minizip/zip.h>

#include <memory>
#include <string>

#include "platform/env.h"
#include "platform/status.h"

namespace vaultrun {

// The opaque state of minizip's file callbacks: every open, read, write and
// seek goes to Env, and the first failing call's Status is kept so that an
// error code from minizip can be reported as what really failed.
class ZipIo {
 public:
  explicit ZipIo(Env* env);
  ZipIo(const ZipIo&) = delete;
  ZipIo& operator=(const ZipIo&) = delete;

  // The callback table to hand to zipOpen2_64 / unzOpen2_64. It points at
  // this object, which must outlive every handle opened with it.
  zlib_filefunc64_def* funcs() { return &funcs_; }

  Env* env() const { return env_; }
  // The first failure of a callback since the last ClearError().
  const Status& error() const { return error_; }
  void ClearError() { error_ = Status::OK(); }
  void Record(const Status& s) {
    if (error_.ok() && !s.ok()) error_ = s;
  }

  // When set, a file that was opened for writing is synced before it is
  // closed (so zipClose ends with the archive on the storage device).
  void set_sync_on_close(bool on) { sync_on_close_ = on; }
  bool sync_on_close() const { return sync_on_close_; }
  // When set, every write fails quietly: used to let zipClose free a handle
  // whose pack is abandoned without writing a directory.
  void set_refuse_writes(bool on) { refuse_writes_ = on; }
  bool refuse_writes() const { return refuse_writes_; }
  // How archives are opened for reading: kReadOwn (the default) for the
  // program's own archives, kRead for an archive a user names.
  void set_read_mode(OpenMode how) { read_mode_ = how; }
  OpenMode read_mode() const { return read_mode_; }

  // The position in the file that minizip has open for writing (0 when it
  // has none): where the next local header goes, before an entry opens.
  uint64_t WritePosition() const;
  // Overwrites bytes at offset of that file and returns to where minizip
  // was, for fields that minizip leaves unfilled.
  Status PatchAt(uint64_t offset, const std::string& bytes);
  void set_write_file(File* file) { write_file_ = file; }
  File* write_file() const { return write_file_; }

  // An entry's deflated bytes may be written to the file directly, past
  // minizip (which would only copy them and sum them once more). minizip
  // then needs two things done for it:
  // - DropNext(n): the next n bytes minizip writes are dropped, not written,
  //   so that bytes already in the file can be fed to it for its count;
  // - PatchWhenWritten(offset, bytes): when minizip writes the file's bytes
  //   at offset (a field of the central directory, which it writes at its
  //   close), these bytes go there instead.
  void DropNext(uint64_t n) { drop_ = n; }
  void PatchWhenWritten(uint64_t offset, std::string bytes) {
    patch_offset_ = offset;
    patch_ = std::move(bytes);
  }
  // For the write callback: how many of the next n bytes to drop.
  uint64_t TakeDrop(uint64_t n) {
    uint64_t d = n < drop_ ? n : drop_;
    drop_ -= d;
    return d;
  }
  // For the write callback: puts the patch into the n bytes that go to
  // offset `at` (a copy in *scratch when they need it); returns the bytes.
  const char* Patched(uint64_t at, const char* data, size_t n, std::string* scratch) const;

 private:
  Env* env_;
  Status error_;
  bool sync_on_close_ = false;
  bool refuse_writes_ = false;
  OpenMode read_mode_ = OpenMode::kReadOwn;
  File* write_file_ = nullptr;  // owned by minizip's open stream
  uint64_t drop_ = 0;
  uint64_t patch_offset_ = 0;
  std::string patch_;
  zlib_filefunc64_def funcs_;
};

// minizip leaves the sizes of a local ZIP64 field at zero when the entry
// stays below 4 GiB; this fills them in as the entry ended (name_size: the
// entry name's bytes; the field is the local header's only extra field),
// and makes the local header's version needed agree with the directory's.
Status FillLocalZip64Sizes(ZipIo* io, uint64_t local_header, size_t name_size,
                           uint64_t uncompressed, const std::string& context);

// A failure built from a minizip result code: the callback's Status when a
// callback failed, otherwise the code in words. context is e.g.
// "pack db/a.sql into /x/a.zip".
Status ZipStatus(const ZipIo& io, int code, const std::string& context);
// minizip's zip and unzip result codes in words.
std::string ZipCodeText(int code);

struct ZipCloser {
  void operator()(void* z) const { zipClose(static_cast<zipFile>(z), nullptr); }
};
struct UnzCloser {
  void operator()(void* u) const { unzClose(static_cast<unzFile>(u)); }
};
// Closed by the destructor; release() the handle to close it with a checked
// zipClose / unzClose.
using ZipHandle = std::unique_ptr<void, ZipCloser>;
using UnzHandle = std::unique_ptr<void, UnzCloser>;

}  // namespace vaultrun
