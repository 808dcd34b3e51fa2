#include "archive/writer.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archive/check.h"
#include "archive/deflate.h"
#include "archive/tail.h"
#include "archive/zip_io.h"
#include "archive/zip_layout.h"
#include "core/failure.h"

namespace vaultrun {
namespace {

constexpr uLong kUnixFileMode = 0100600;         // regular file, rw for the owner
constexpr uLong kVersionMadeBy = (3 << 8) | 45;  // Unix, zip 4.5 (zip64)
constexpr uLong kUtf8Flag = 1 << 11;             // names are UTF-8

// The UTF-8 flag for a name beyond ASCII. An ASCII name needs none, and one
// that holds a control character with the flag is refused by libzip, which
// takes such a name for no UTF-8 at all.
uLong NameFlags(const std::string& name) {
  for (unsigned char c : name) {
    if (c >= 0x80) return kUtf8Flag;
  }
  return 0;
}
// Entries expected this large are opened with zip64 headers.
constexpr uint64_t kZip64Hint = uint64_t{1} << 30;
// Without zip64 an entry must stay below 4 GiB, compressed too; deflate's
// worst-case growth is far below this margin.
constexpr uint64_t kPlainEntryLimit = 0xF0000000;
// An entry's deflated bytes go to the file directly up to this many; past
// it they are handed to minizip, whose count must see a size of 4 GiB or
// more to give the entry the ZIP64 field it then needs.
constexpr uint64_t kPastMinizipLimit = uint64_t{3} << 30;
constexpr size_t kCopyBufferSize = size_t{1} << 20;
// minizip 1.1 writes no zip64 end record for more than 65535 entries (only
// for offsets past 4 GiB), which Info-ZIP cannot read; so entry counts stay
// below the 16-bit field's 0xFFFF escape.
constexpr size_t kMaxEntries = 0xFFFF - 1;

// Copies every entry but `skip` from the archive at source into dst as
// compressed bytes, keeping names, dates, attributes and flags.
Status CopyEntriesExcept(ZipIo* io, const std::string& source, zipFile dst,
                         const std::string& skip) {
  const std::string context = "copy entries of " + source;
  UnzHandle src(unzOpen2_64(source.c_str(), io->funcs()));
  if (!src) return ZipStatus(*io, UNZ_BADZIPFILE, context);
  std::vector<char> name_buf(0x10000);
  std::vector<char> buf(kCopyBufferSize);
  int r = unzGoToFirstFile(src.get());
  for (; r == UNZ_OK; r = unzGoToNextFile(src.get())) {
    unz_file_info64 info;
    r = unzGetCurrentFileInfo64(src.get(), &info, name_buf.data(), name_buf.size(), nullptr, 0,
                                nullptr, 0);
    if (r != UNZ_OK) return ZipStatus(*io, r, context);
    std::string name(name_buf.data(), info.size_filename);
    if (name == skip) continue;
    int method = 0, level = 0;
    r = unzOpenCurrentFile2(src.get(), &method, &level, 1);
    if (r != UNZ_OK) return ZipStatus(*io, r, context + ": open " + name);
    zip_fileinfo zi{};
    zi.dosDate = info.dosDate;
    zi.internal_fa = info.internal_fa;
    zi.external_fa = info.external_fa;
    int zip64 = info.uncompressed_size >= 0xffffffff || info.compressed_size >= 0xffffffff;
    r = zipOpenNewFileInZip4_64(dst, name.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, method,
                                level, 1, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0,
                                info.version, info.flag & kUtf8Flag, zip64);
    if (r != ZIP_OK) return ZipStatus(*io, r, context + ": add " + name);
    for (;;) {
      int n = unzReadCurrentFile(src.get(), buf.data(), static_cast<unsigned>(buf.size()));
      if (n < 0) return ZipStatus(*io, n, context + ": read " + name);
      if (n == 0) break;
      r = zipWriteInFileInZip(dst, buf.data(), static_cast<unsigned>(n));
      if (r != ZIP_OK) return ZipStatus(*io, r, context + ": write " + name);
    }
    unzCloseCurrentFile(src.get());
    r = zipCloseFileInZipRaw64(dst, info.uncompressed_size, info.crc);
    if (r != ZIP_OK) return ZipStatus(*io, r, context + ": finish " + name);
  }
  if (r != UNZ_END_OF_LIST_OF_FILE) return ZipStatus(*io, r, context);
  int c = unzClose(src.release());
  return c == UNZ_OK ? Status::OK() : ZipStatus(*io, c, context);
}

}  // namespace

std::string DateStamp(const LocalTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return buf;
}

LocalTime NextSecond(LocalTime t) {
  if (++t.second < 60) return t;
  t.second = 0;
  if (++t.minute < 60) return t;
  t.minute = 0;
  if (++t.hour < 24) return t;
  t.hour = 0;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
  const int days = t.month == 2 && leap ? 29 : kDays[(t.month - 1) % 12];
  if (++t.day <= days) return t;
  t.day = 1;
  if (++t.month <= 12) return t;
  t.month = 1;
  ++t.year;
  return t;
}

// One pack in progress. Members are destroyed bottom-up: the compressing
// thread stops before the zip handle is freed, and that before its I/O state.
struct RunArchive::Pack {
  TailKind mode = TailKind::kNew;
  std::string entry_name;
  std::string context;  // "pack <entry> into <archive>"
  std::unique_ptr<FileLock> lock;
  ZipLayout layout;  // the archive as it was, for kAppend
  bool zip64 = false;
  uint64_t local_header = 0;  // offset of the entry's local header
  uint64_t written = 0;
  std::unique_ptr<ZipIo> io;
  ZipHandle zip;
  std::unique_ptr<CompressingWriter> writer;
  // Inflates the entry's deflated bytes as they are written (on the
  // compressing thread), so the run's final check need not inflate them.
  InflateCheck check;
  // The deflated bytes go to the file past minizip (which would copy them
  // and sum them once more, for nothing) until past_limit; from then on, or
  // from the start for a rewritten archive, through it.
  uint64_t past_minizip = 0;
  uint64_t past_limit = kPastMinizipLimit;
  bool through_minizip = false;

  // On the compressing thread: the next deflated bytes into the entry.
  Status WriteDeflated(const char* data, size_t n);
};

Status RunArchive::Pack::WriteDeflated(const char* data, size_t n) {
  if (!through_minizip && past_minizip + n <= past_limit) {
    Status s = io->write_file()->Write(data, n);
    if (!s.ok()) return s;
    past_minizip += n;
    return Status::OK();
  }
  if (!through_minizip) {
    // minizip takes over: it is fed the bytes already in the file for its
    // count, and drops them instead of writing them again.
    through_minizip = true;
    io->DropNext(past_minizip);
    const std::vector<char> zeros(kCopyBufferSize);
    for (uint64_t left = past_minizip; left > 0;) {
      const size_t step = static_cast<size_t>(std::min<uint64_t>(left, zeros.size()));
      int w = zipWriteInFileInZip(zip.get(), zeros.data(), static_cast<unsigned>(step));
      if (w != ZIP_OK) return ZipStatus(*io, w, context);
      left -= step;
    }
  }
  int w = zipWriteInFileInZip(zip.get(), data, static_cast<unsigned>(n));
  return w == ZIP_OK ? Status::OK() : ZipStatus(*io, w, context);
}

RunArchive::RunArchive(Env* env, std::string archive_path)
    : env_(env), path_(std::move(archive_path)), past_minizip_limit_(kPastMinizipLimit) {}

void RunArchive::set_past_minizip_limit(uint64_t bytes) { past_minizip_limit_ = bytes; }

RunArchive::~RunArchive() { AbortEntry(); }

void RunArchive::BeginEntry(const std::string& entry_name, uint64_t size_hint) {
  if (pack_) {
    throw Failure(EINVAL, "pack " + entry_name + " into " + path_ + ": an entry is already open");
  }
  auto pack = std::make_unique<Pack>();
  pack->entry_name = entry_name;
  pack->context = "pack " + entry_name + " into " + path_;
  ThrowIfError(env_->LockFile(LockPath(env_, path_), &pack->lock));
  // The archive's state is read only under the lock, after any pack that a
  // killed process left behind has been put back.
  ThrowIfError(RepairLocked(env_, path_));
  // An archive that vanished under its run cannot be started afresh: the
  // entries already packed would be missing from it.
  if (!packed_.empty() && !env_->Exists(path_)) {
    throw Failure(ENOENT, pack->context + ": the archive has vanished since this run packed " +
                              packed_.back().name);
  }
  TailRecord rec;
  if (env_->Exists(path_)) {
    // Every pack first removes the archive's comment (the completeness mark
    // of an earlier run), so a pack that fails leaves no mark behind.
    ThrowIfError(SetCommentLocked(env_, path_, ""));
    ThrowIfError(ReadZipLayout(env_, path_, &pack->layout));
    ThrowIfError(HoldsPacked(pack->layout.entries, packed_, false, pack->context));
    bool same_name = false;
    for (const std::string& name : pack->layout.names) same_name |= name == entry_name;
    if (pack->layout.names.size() + (same_name ? 0 : 1) > kMaxEntries) {
      throw Failure(EFBIG, pack->context + ": the archive already holds " +
                               std::to_string(kMaxEntries) +
                               " entries or more, the most it can hold");
    }
    pack->mode = same_name ? TailKind::kReplace : TailKind::kAppend;
    if (!same_name) {
      rec.offset = pack->layout.directory_offset;
      rec.bytes = pack->layout.tail;
    }
  }
  rec.kind = pack->mode;
  ThrowIfError(WriteTailFile(env_, path_, rec));
  pack_ = std::move(pack);
  OpenZip(pack_.get(), entry_name, size_hint);
}

void RunArchive::OpenZip(Pack* pack, const std::string& entry_name, uint64_t size_hint) {
  pack->io = std::make_unique<ZipIo>(env_);
  ZipIo* io = pack->io.get();
  switch (pack->mode) {
    case TailKind::kAppend:
      pack->zip.reset(zipOpen2_64(path_.c_str(), APPEND_STATUS_ADDINZIP, nullptr, io->funcs()));
      break;
    case TailKind::kNew:
      pack->zip.reset(zipOpen2_64(path_.c_str(), APPEND_STATUS_CREATE, nullptr, io->funcs()));
      break;
    case TailKind::kReplace: {
      // Rare: two runs in one second. The other entries go to a copy that
      // replaces the archive at commit, so a failure leaves it untouched.
      const std::string rewrite = RewritePath(path_);
      pack->zip.reset(zipOpen2_64(rewrite.c_str(), APPEND_STATUS_CREATE, nullptr, io->funcs()));
      if (pack->zip) {
        Status s = CopyEntriesExcept(io, path_, pack->zip.get(), entry_name);
        if (!s.ok()) Fail(s);
      }
      break;
    }
  }
  if (!pack->zip) Fail(ZipStatus(*io, ZIP_ERRNO, pack->context + ": open the archive"));

  LocalTime now = env_->Now();
  zip_fileinfo zi{};
  zi.tmz_date.tm_sec = static_cast<uInt>(now.second);
  zi.tmz_date.tm_min = static_cast<uInt>(now.minute);
  zi.tmz_date.tm_hour = static_cast<uInt>(now.hour);
  zi.tmz_date.tm_mday = static_cast<uInt>(now.day);
  zi.tmz_date.tm_mon = static_cast<uInt>(now.month - 1);
  zi.tmz_date.tm_year = static_cast<uInt>(now.year);
  zi.external_fa = kUnixFileMode << 16;
  pack->zip64 = size_hint >= kZip64Hint;
  pack->local_header = io->WritePosition();
  int r = zipOpenNewFileInZip4_64(pack->zip.get(), entry_name.c_str(), &zi, nullptr, 0, nullptr, 0,
                                  nullptr, Z_DEFLATED, kDeflateLevel, 1, -MAX_WBITS, DEF_MEM_LEVEL,
                                  Z_DEFAULT_STRATEGY, nullptr, 0, kVersionMadeBy,
                                  NameFlags(entry_name), pack->zip64 ? 1 : 0);
  if (r != ZIP_OK) Fail(ZipStatus(*io, r, pack->context + ": open the entry"));
  // A rewritten archive's directory holds copied records of sizes that
  // are not known here, so the field to patch cannot be found: minizip
  // writes that entry's data itself.
  pack->through_minizip = pack->mode == TailKind::kReplace;
  pack->past_limit = past_minizip_limit_;
  // From here until Finish/Cancel only the compressing thread calls minizip
  // or writes to the archive.
  DeflateSink sink = [pack](const char* data, size_t n) {
    Status s = pack->check.Add(data, n);
    if (!s.ok()) return Status::Error(s.number(), pack->context + ": " + s.description());
    return pack->WriteDeflated(data, n);
  };
  pack->writer = std::make_unique<CompressingWriter>(kDeflateLevel, std::move(sink), env_);
}

void RunArchive::Write(const char* data, size_t n) {
  if (!pack_ || !pack_->writer) throw Failure(EINVAL, "write to " + path_ + ": no entry is open");
  pack_->written += n;
  if (!pack_->zip64 && pack_->written > kPlainEntryLimit) {
    Fail(Status::Error(EFBIG, pack_->context + ": entry grew past 4 GiB, beyond its size hint"));
  }
  Status s = pack_->writer->Write(data, n);
  if (!s.ok()) Fail(s);
}

void RunArchive::WriteBlock(std::unique_ptr<ByteBuffer>* block) {
  if (!pack_ || !pack_->writer) throw Failure(EINVAL, "write to " + path_ + ": no entry is open");
  pack_->written += (*block)->size();
  if (!pack_->zip64 && pack_->written > kPlainEntryLimit) {
    Fail(Status::Error(EFBIG, pack_->context + ": entry grew past 4 GiB, beyond its size hint"));
  }
  Status s = pack_->writer->Submit(block);
  if (!s.ok()) Fail(s);
}

void RunArchive::CommitEntry() {
  if (!pack_ || !pack_->writer) throw Failure(EINVAL, "commit to " + path_ + ": no entry is open");
  Pack* pack = pack_.get();
  uint32_t crc = 0;
  uint64_t total = 0;
  Status s = pack->writer->Finish(&crc, &total);
  pack->writer.reset();
  if (!s.ok()) Fail(s);
  if (!pack->check.finished() || pack->check.size() != total || pack->check.crc() != crc) {
    Fail(Status::Error(EIO,
                       pack->context + ": the deflated data does not inflate to what was written"));
  }
  // Where the entry's central record will start: the directory is written
  // where the data ends, the records of the entries before this one first.
  const uint64_t record = pack->io->WritePosition() +
                          (pack->mode == TailKind::kAppend ? pack->layout.directory_size : 0);
  int r = zipCloseFileInZipRaw64(pack->zip.get(), total, crc);
  if (r != ZIP_OK) Fail(ZipStatus(*pack->io, r, pack->context + ": finish the entry"));
  if (!pack->through_minizip) {
    // minizip counted no deflated bytes: the compressed size goes into the
    // local header's field (it used the ZIP64 field alone for a size of
    // 4 GiB or more) and into the central record as minizip writes it.
    std::string size;
    PutLe(&size, pack->past_minizip, 4);
    if (total < 0xffffffff) {
      s = pack->io->PatchAt(pack->local_header + 18, size);
      if (!s.ok()) Fail(Status::Error(s.number(), pack->context + ": " + s.description()));
    }
    pack->io->PatchWhenWritten(record + 20, size);
  }
  if (pack->zip64) {
    s = FillLocalZip64Sizes(pack->io.get(), pack->local_header, pack->entry_name.size(), total,
                            pack->context);
    if (!s.ok()) Fail(s);
  }
  pack->io->set_sync_on_close(true);
  r = zipClose(static_cast<zipFile>(pack->zip.release()), nullptr);
  if (r != ZIP_OK) Fail(ZipStatus(*pack->io, r, pack->context + ": write the central directory"));
  if (pack->mode == TailKind::kReplace) {
    s = env_->RenameFile(RewritePath(path_), path_);
    if (!s.ok()) Fail(s);
  }
  // The archive is complete now. A tail file that cannot be removed is
  // recognised as stale by the next repair, so that is not a failure.
  (void)env_->DeleteFile(TailPath(path_));
  std::erase_if(packed_, [pack](const PackedEntry& p) { return p.name == pack->entry_name; });
  packed_.push_back(
      {pack->entry_name, total, crc, pack->check.deflated_size(), pack->check.deflated_crc()});
  pack_.reset();
}

Status RunArchive::Rollback() noexcept {
  if (!pack_) return Status::OK();
  std::unique_ptr<Pack> pack = std::move(pack_);
  if (pack->writer) pack->writer->Cancel();
  pack->writer.reset();
  // Free minizip's handle without letting it write a directory.
  if (pack->io) pack->io->set_refuse_writes(true);
  pack->zip.reset();
  Status s;
  switch (pack->mode) {
    case TailKind::kAppend:
      s = PutBackTail(env_, path_, pack->layout.directory_offset, pack->layout.tail);
      break;
    case TailKind::kNew:
      s = DeleteIfExists(env_, path_);
      break;
    case TailKind::kReplace:
      s = DeleteIfExists(env_, RewritePath(path_));
      break;
  }
  // When putting back failed the tail file stays for RepairArchive.
  if (s.ok()) s = DeleteIfExists(env_, TailPath(path_));
  return s;
}

void RunArchive::Fail(const Status& status) {
  Status back = Rollback();
  if (back.ok()) throw Failure(status);
  throw Failure(status.number(),
                status.description() + "; putting the archive back failed: " + back.description());
}

void RunArchive::AbortEntry() noexcept { (void)Rollback(); }

void RunArchive::PackFile(const std::string& data_file_path, const std::string& entry_name) {
  std::unique_ptr<File> file;
  ThrowIfError(env_->OpenFile(data_file_path, OpenMode::kRead, 0, &file));
  uint64_t size = 0;
  ThrowIfError(env_->FileSize(data_file_path, &size));
  BeginEntry(entry_name, size);
  try {
    std::vector<char> buf(CompressingWriter::kBufferSize);
    for (;;) {
      size_t n = 0;
      Status s = file->Read(buf.data(), buf.size(), &n);
      if (!s.ok()) Fail(s);
      if (n == 0) break;
      Write(buf.data(), n);
    }
    CommitEntry();
  } catch (...) {
    AbortEntry();
    throw;
  }
}

}  // namespace vaultrun
