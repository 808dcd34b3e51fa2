#include "run/archive.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/failure.h"
#include "run/deflate.h"
#include "run/zip_io.h"
#include "run/zip_layout.h"

namespace vaultrun {
namespace {

constexpr uLong kUnixFileMode = 0100600;         // regular file, rw for the owner
constexpr uLong kVersionMadeBy = (3 << 8) | 45;  // Unix, zip 4.5 (zip64)
constexpr uLong kUtf8Flag = 1 << 11;             // names are UTF-8
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

// The tail file: magic, kind, offset, length, the saved bytes, CRC-32 of
// all that precedes it.
constexpr char kTailMagic[8] = {'V', 'R', 'T', 'A', 'I', 'L', '0', '1'};
enum class TailKind : char {
  kAppend = 'A',   // archive existed: put `bytes` back at `offset`, truncate
  kNew = 'N',      // archive did not exist: remove it
  kReplace = 'R',  // archive untouched, a rewritten copy is being built
};

struct TailRecord {
  TailKind kind = TailKind::kNew;
  uint64_t offset = 0;
  std::string bytes;
};

std::string TailPath(const std::string& path) { return path + ".tail"; }
std::string RewritePath(const std::string& path) { return path + ".rewrite"; }

std::string LockPath(Env* env, const std::string& path) {
  size_t sep = path.find_last_of(env->Separator());
  std::string folder = sep == std::string::npos ? "." : path.substr(0, sep == 0 ? 1 : sep);
  if (folder.back() != env->Separator()) folder += env->Separator();
  return folder + ".vaultrun.lock";
}

void PutLe(std::string* out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

uint64_t GetLe(const std::string& s, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}

std::string EncodeTail(const TailRecord& rec) {
  std::string out(kTailMagic, sizeof kTailMagic);
  out.push_back(static_cast<char>(rec.kind));
  PutLe(&out, rec.offset, 8);
  PutLe(&out, rec.bytes.size(), 8);
  out += rec.bytes;
  PutLe(&out, Crc32(0, out.data(), out.size()), 4);
  return out;
}

bool DecodeTail(const std::string& in, TailRecord* rec) {
  constexpr size_t kHeader = sizeof kTailMagic + 1 + 8 + 8;
  if (in.size() < kHeader + 4 || in.compare(0, sizeof kTailMagic, kTailMagic, sizeof kTailMagic)) {
    return false;
  }
  uint64_t length = GetLe(in, sizeof kTailMagic + 9, 8);
  if (length != in.size() - kHeader - 4) return false;
  if (GetLe(in, in.size() - 4, 4) != Crc32(0, in.data(), in.size() - 4)) return false;
  char kind = in[sizeof kTailMagic];
  if (kind != 'A' && kind != 'N' && kind != 'R') return false;
  rec->kind = static_cast<TailKind>(kind);
  rec->offset = GetLe(in, sizeof kTailMagic + 1, 8);
  rec->bytes = in.substr(kHeader, static_cast<size_t>(length));
  return true;
}

// Written to a temp name, synced and renamed, so the tail file is either
// absent or complete.
Status WriteTailFile(Env* env, const std::string& archive_path, const TailRecord& rec) {
  std::string tmp = TailPath(archive_path) + ".tmp";
  std::unique_ptr<File> file;
  Status s = env->OpenFile(tmp, OpenMode::kWriteNew, 0600, &file);
  if (s.ok()) s = file->Write(EncodeTail(rec));
  if (s.ok()) s = file->Sync();
  Status c = file ? file->Close() : Status::OK();
  if (s.ok()) s = c;
  if (s.ok()) s = env->RenameFile(tmp, TailPath(archive_path));
  if (!s.ok() && env->Exists(tmp)) (void)env->DeleteFile(tmp);
  return s;
}

// The whole tail file, never read through a planted link (whose target
// could be anything, a FIFO or /dev/zero too).
Status ReadTailFile(Env* env, const std::string& tail_path, std::string* contents) {
  contents->clear();
  std::unique_ptr<File> file;
  Status s = env->OpenFile(tail_path, OpenMode::kReadOwn, 0, &file);
  if (!s.ok()) return s;
  return ReadRest(file.get(), contents);
}

Status DeleteIfExists(Env* env, const std::string& path) {
  return env->Exists(path) ? env->DeleteFile(path) : Status::OK();
}

// Cuts the archive back to where its central directory stood and writes the
// saved directory again. Truncating first frees the failed entry's space.
Status PutBackTail(Env* env, const std::string& path, uint64_t offset, const std::string& tail) {
  std::unique_ptr<File> file;
  Status s = env->OpenFile(path, OpenMode::kReadWrite, 0600, &file);
  if (s.ok()) s = file->Truncate(offset);
  if (s.ok()) s = file->Seek(offset);
  if (s.ok()) s = file->Write(tail);
  if (s.ok()) s = file->Sync();
  Status c = file ? file->Close() : Status::OK();
  return s.ok() ? c : s;
}

// Where the end record stands in an archive's tail: the last one whose
// comment reaches exactly to the end.
bool FindEndRecord(const std::string& tail, size_t* at) {
  constexpr size_t kEndSize = 22;
  if (tail.size() < kEndSize) return false;
  for (size_t i = tail.size() - kEndSize + 1; i-- > 0;) {
    if (GetLe(tail, i, 4) == 0x06054b50 && i + kEndSize + GetLe(tail, i + 20, 2) == tail.size()) {
      *at = i;
      return true;
    }
  }
  return false;
}

// Replaces the archive's comment, the lock held. The old tail is saved in
// the tail file first, so a crash halfway is put back like a pack.
Status SetCommentLocked(Env* env, const std::string& path, const std::string& comment) {
  if (comment.size() > 0xffff) return Status::Error(EINVAL, "comment of " + path + ": too long");
  ZipLayout layout;
  Status s = ReadZipLayout(env, path, &layout);
  if (!s.ok()) return s;
  size_t at = 0;
  if (!FindEndRecord(layout.tail, &at)) {
    return Status::Error(EINVAL, "comment of " + path + ": no end record");
  }
  if (layout.tail.compare(at + 22, std::string::npos, comment) == 0) return Status::OK();
  std::string tail = layout.tail.substr(0, at + 20);
  PutLe(&tail, comment.size(), 2);
  tail += comment;
  TailRecord rec{TailKind::kAppend, layout.directory_offset, layout.tail};
  s = WriteTailFile(env, path, rec);
  if (!s.ok()) return s;
  s = PutBackTail(env, path, layout.directory_offset, tail);
  if (!s.ok()) {
    // The old tail goes back; when even that fails the tail file stays.
    if (PutBackTail(env, path, layout.directory_offset, layout.tail).ok()) {
      (void)DeleteIfExists(env, TailPath(path));
    }
    return s;
  }
  return DeleteIfExists(env, TailPath(path));
}

// True when the archive at path ends in a consistent central directory;
// *status is set when that cannot be told (the file cannot be read).
bool ArchiveComplete(Env* env, const std::string& path, Status* status) {
  ZipLayout layout;
  Status s = ReadZipLayout(env, path, &layout);
  if (s.ok()) return true;
  if (s.number() != EINVAL) *status = s;
  return false;
}

// Repair with the folder's pack lock already held.
Status RepairLocked(Env* env, const std::string& path) {
  const std::string tail_path = TailPath(path);
  Status s = DeleteIfExists(env, tail_path + ".tmp");
  if (!s.ok()) return s;
  std::string contents;
  s = ReadTailFile(env, tail_path, &contents);
  if (!s.ok()) return env->IsNotFound(s) ? Status::OK() : s;
  TailRecord rec;
  if (DecodeTail(contents, &rec)) {
    Status unreadable;
    switch (rec.kind) {
      case TailKind::kAppend:
        // A complete archive means the pack got as far as its directory.
        if (env->Exists(path) && !ArchiveComplete(env, path, &unreadable)) {
          if (!unreadable.ok()) return unreadable;
          s = PutBackTail(env, path, rec.offset, rec.bytes);
        }
        break;
      case TailKind::kNew:
        if (env->Exists(path) && !ArchiveComplete(env, path, &unreadable)) {
          if (!unreadable.ok()) return unreadable;
          s = env->DeleteFile(path);
        }
        break;
      case TailKind::kReplace:
        s = DeleteIfExists(env, RewritePath(path));
        break;
    }
    if (!s.ok()) return s;
  }
  return env->DeleteFile(tail_path);
}

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

// minizip leaves the sizes of a local ZIP64 field at zero when the entry
// stays below 4 GiB (it fills only the 32-bit fields then), which 7-Zip
// reports as a header error. The field is the local header's only extra
// field, right after the name; the sizes go in as the entry ended.
Status FillLocalZip64Sizes(ZipIo* io, uint64_t local_header, size_t name_size,
                           uint64_t uncompressed, const std::string& context) {
  const uint64_t field = local_header + 30 + name_size;
  const uint64_t data_start = field + 4 + 16;
  const uint64_t data_end = io->WritePosition();
  if (data_end < data_start) return Status::Error(EINVAL, context + ": entry out of place");
  std::string sizes;
  PutLe(&sizes, uncompressed, 8);
  PutLe(&sizes, data_end - data_start, 8);
  Status s = io->PatchAt(field + 4, sizes);
  return s.ok() ? s : Status::Error(s.number(), context + ": " + s.description());
}

// Reads one entry back from its local header. An entry this run packed and
// proved as it wrote it (its deflated bytes decoded to the right size and
// CRC-32 then) is compared by the CRC-32 of its stored deflated bytes; any
// other is inflated in full.
Status CheckEntry(File* file, const ZipEntryInfo& entry, const PackedEntry* proven,
                  const std::string& context) {
  const std::string where = context + ": " + entry.name;
  std::string head(30, '\0');
  size_t got = 0;
  Status s = file->Seek(entry.local_header);
  if (s.ok()) s = file->Read(head.data(), head.size(), &got);
  if (!s.ok()) return s;
  if (got != head.size() || GetLe(head, 0, 4) != 0x04034b50 ||
      (entry.method != 0 && entry.method != Z_DEFLATED)) {
    return Status::Error(EINVAL, where + ": no local header or an unknown method");
  }
  s = file->Seek(entry.local_header + 30 + GetLe(head, 26, 2) + GetLe(head, 28, 2));
  if (!s.ok()) return s;
  const bool stored = entry.method == 0;
  InflateCheck check;
  std::vector<char> in(kCopyBufferSize);
  uint64_t left = entry.compressed;
  uint32_t crc = 0;  // of the bytes as stored
  while (left > 0) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(left, in.size()));
    s = file->Read(in.data(), want, &got);
    if (!s.ok()) return s;
    if (got == 0) return Status::Error(EINVAL, where + ": the archive ends inside the entry");
    left -= got;
    if (stored || proven) {
      crc = Crc32(crc, in.data(), got);
    } else {
      s = check.Add(in.data(), got);
      if (!s.ok()) return Status::Error(s.number(), where + ": " + s.description());
    }
  }
  bool good;
  if (stored) {
    good = entry.compressed == entry.uncompressed && crc == entry.crc;
  } else if (proven) {
    good = crc == proven->deflated_crc;
  } else {
    good = check.finished() && check.size() == entry.uncompressed && check.crc() == entry.crc;
  }
  if (!good) {
    return Status::Error(EINVAL, where + ": entry data does not match its size and CRC-32");
  }
  return Status::OK();
}

// Checks a directory against the entries packed through one RunArchive:
// each of them is there once, with the sizes and CRC-32 it was packed with.
// With only_packed, the directory holds nothing else either. An archive
// that was replaced, cut or emptied under its run fails here.
Status HoldsPacked(const ZipLayout& layout, const std::vector<PackedEntry>& packed,
                   bool only_packed, const std::string& context) {
  std::unordered_map<std::string_view, const ZipEntryInfo*> by_name;
  by_name.reserve(layout.entries.size());
  for (const ZipEntryInfo& entry : layout.entries) {
    auto [it, added] = by_name.emplace(entry.name, &entry);
    if (!added) it->second = nullptr;  // a name twice: no entry of it counts as the packed one
  }
  for (const PackedEntry& p : packed) {
    auto it = by_name.find(p.name);
    if (it == by_name.end())
      return Status::Error(EIO, context + ": entry " + p.name + " is missing");
    const ZipEntryInfo* entry = it->second;
    if (entry == nullptr) {
      return Status::Error(EIO, context + ": entry " + p.name + " is there more than once");
    }
    if (entry->method != Z_DEFLATED || entry->uncompressed != p.size || entry->crc != p.crc ||
        entry->compressed != p.deflated_size) {
      return Status::Error(EIO, context + ": entry " + p.name + " is not the one this run packed");
    }
  }
  if (only_packed && layout.entries.size() != packed.size()) {
    return Status::Error(EIO, context + ": holds " + std::to_string(layout.entries.size()) +
                                  " entries, this run packed " + std::to_string(packed.size()));
  }
  return Status::OK();
}

// The record of what this run packed under an entry's name, when it agrees
// with the directory's sizes and CRC-32.
const PackedEntry* FindProven(const std::vector<PackedEntry>& packed, const ZipEntryInfo& entry) {
  for (const PackedEntry& p : packed) {
    if (p.name == entry.name && entry.method == Z_DEFLATED && p.size == entry.uncompressed &&
        p.crc == entry.crc && p.deflated_size == entry.compressed) {
      return &p;
    }
  }
  return nullptr;
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
    ThrowIfError(HoldsPacked(pack->layout, packed_, false, pack->context));
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
                                  Z_DEFAULT_STRATEGY, nullptr, 0, kVersionMadeBy, kUtf8Flag,
                                  pack->zip64 ? 1 : 0);
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

Status SetArchiveComment(Env* env, const std::string& archive_path, const std::string& comment) {
  std::unique_ptr<FileLock> lock;
  Status s = env->LockFile(LockPath(env, archive_path), &lock);
  if (s.ok()) s = RepairLocked(env, archive_path);
  if (s.ok()) s = SetCommentLocked(env, archive_path, comment);
  return s;
}

Status SetArchiveCommentChecked(Env* env, const std::string& archive_path,
                                const std::string& comment,
                                const std::vector<PackedEntry>& packed) {
  std::unique_ptr<FileLock> lock;
  Status s = env->LockFile(LockPath(env, archive_path), &lock);
  if (s.ok()) s = RepairLocked(env, archive_path);
  // Before the mark: the archive holds what this run packed, and only that.
  ZipLayout layout;
  if (s.ok()) s = ReadZipLayout(env, archive_path, &layout);
  if (s.ok()) s = HoldsPacked(layout, packed, true, "mark " + archive_path);
  if (s.ok()) s = SetCommentLocked(env, archive_path, comment);
  if (!s.ok()) return s;
  std::string read_back;
  Status checked = CheckArchive(env, archive_path, &read_back, packed, true);
  if (checked.ok() && read_back != comment) {
    checked = Status::Error(EINVAL, "check " + archive_path + ": the comment reads back wrong");
  }
  if (!checked.ok()) (void)SetCommentLocked(env, archive_path, "");
  return checked;
}

Status ReadArchiveComment(Env* env, const std::string& archive_path, std::string* comment) {
  comment->clear();
  ZipLayout layout;
  Status s = ReadZipLayout(env, archive_path, &layout);
  if (!s.ok()) return s;
  size_t at = 0;
  if (!FindEndRecord(layout.tail, &at)) {
    return Status::Error(EINVAL, "comment of " + archive_path + ": no end record");
  }
  *comment = layout.tail.substr(at + 22);
  return Status::OK();
}

Status CheckArchive(Env* env, const std::string& archive_path, std::string* comment,
                    const std::vector<PackedEntry>& packed, bool only_packed) {
  comment->clear();
  const std::string context = "check " + archive_path;
  // minizip finds the end record by its signature, as other readers do, and
  // walks the directory by its records.
  ZipIo io(env);
  UnzHandle zip(unzOpen2_64(archive_path.c_str(), io.funcs()));
  if (!zip) return ZipStatus(io, UNZ_BADZIPFILE, context);
  unz_global_info64 global;
  int r = unzGetGlobalInfo64(zip.get(), &global);
  if (r != UNZ_OK) return ZipStatus(io, r, context);
  std::string text(global.size_comment, '\0');
  if (!text.empty()) {
    r = unzGetGlobalComment(zip.get(), text.data(), static_cast<uLong>(text.size()));
    if (r < 0 || static_cast<uLong>(r) != global.size_comment) {
      return ZipStatus(io, r < 0 ? r : UNZ_BADZIPFILE, context + ": read the comment");
    }
  }
  std::vector<std::string> names;
  std::vector<char> name(0x10000);
  for (r = unzGoToFirstFile(zip.get()); r == UNZ_OK; r = unzGoToNextFile(zip.get())) {
    unz_file_info64 info;
    r = unzGetCurrentFileInfo64(zip.get(), &info, name.data(), name.size(), nullptr, 0, nullptr, 0);
    if (r != UNZ_OK) return ZipStatus(io, r, context);
    names.emplace_back(name.data(), info.size_filename);
  }
  if (r != UNZ_END_OF_LIST_OF_FILE) return ZipStatus(io, r, context);
  int c = unzClose(zip.release());
  if (c != UNZ_OK) return ZipStatus(io, c, context);
  // The entries' data: Debian's minizip 1.1 does not take ZIP64 sizes and
  // offsets on 64-bit systems, so each entry is read here from the
  // directory's own values.
  ZipLayout layout;
  Status s = ReadZipLayout(env, archive_path, &layout);
  if (!s.ok()) return s;
  if (layout.names != names) {
    return Status::Error(EINVAL, context + ": the readers disagree on the entries");
  }
  if (only_packed) {
    s = HoldsPacked(layout, packed, true, context);
    if (!s.ok()) return s;
  }
  std::unique_ptr<File> file;
  s = env->OpenFile(archive_path, OpenMode::kReadOwn, 0, &file);
  for (size_t i = 0; s.ok() && i < layout.entries.size(); ++i) {
    const ZipEntryInfo& entry = layout.entries[i];
    s = CheckEntry(file.get(), entry, FindProven(packed, entry), context);
  }
  if (!s.ok()) return s;
  *comment = std::move(text);
  return file->Close();
}

Status RepairArchive(Env* env, const std::string& archive_path) {
  std::unique_ptr<FileLock> lock;
  Status s = env->LockFile(LockPath(env, archive_path), &lock);
  if (!s.ok()) return s;
  return RepairLocked(env, archive_path);
}

}  // namespace vaultrun
