#include "archive/tail.h"

#include <cerrno>
#include <memory>

#include "archive/deflate.h"
#include "archive/writer.h"
#include "archive/zip_layout.h"

namespace vaultrun {
namespace {

// The tail file: magic, kind, offset, length, the saved bytes, CRC-32 of
// all that precedes it.
constexpr char kTailMagic[8] = {'V', 'R', 'T', 'A', 'I', 'L', '0', '1'};

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

// The whole tail file, never read through a planted link (whose target
// could be anything, a FIFO or /dev/zero too).
Status ReadTailFile(Env* env, const std::string& tail_path, std::string* contents) {
  contents->clear();
  std::unique_ptr<File> file;
  Status s = env->OpenFile(tail_path, OpenMode::kReadOwn, 0, &file);
  if (!s.ok()) return s;
  return ReadRest(file.get(), contents);
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

// True when the archive at path ends in a consistent central directory;
// *status is set when that cannot be told (the file cannot be read).
bool ArchiveComplete(Env* env, const std::string& path, Status* status) {
  ZipLayout layout;
  Status s = ReadZipLayout(env, path, &layout);
  if (s.ok()) return true;
  if (s.number() != EINVAL) *status = s;
  return false;
}

}  // namespace

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

Status SetArchiveComment(Env* env, const std::string& archive_path, const std::string& comment) {
  std::unique_ptr<FileLock> lock;
  Status s = env->LockFile(LockPath(env, archive_path), &lock);
  if (s.ok()) s = RepairLocked(env, archive_path);
  if (s.ok()) s = SetCommentLocked(env, archive_path, comment);
  return s;
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

std::optional<std::string> CommentOfTail(const std::string& tail) {
  size_t at = 0;
  if (!FindEndRecord(tail, &at)) return std::nullopt;
  return tail.substr(at + 22);
}

Status RepairArchive(Env* env, const std::string& archive_path) {
  std::unique_ptr<FileLock> lock;
  Status s = env->LockFile(LockPath(env, archive_path), &lock);
  if (!s.ok()) return s;
  return RepairLocked(env, archive_path);
}

}  // namespace vaultrun
