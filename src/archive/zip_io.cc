#include "archive/zip_io.h"

#include <algorithm>
#include <cerrno>

namespace vaultrun {
namespace {

struct Stream {
  std::unique_ptr<File> file;
  bool writable = false;
};

ZipIo* Io(voidpf opaque) { return static_cast<ZipIo*>(opaque); }
Stream* Str(voidpf stream) { return static_cast<Stream*>(stream); }

voidpf OpenCb(voidpf opaque, const void* filename, int mode) {
  ZipIo* io = Io(opaque);
  OpenMode how = OpenMode::kReadOwn;
  bool writable = false;
  if (mode & ZLIB_FILEFUNC_MODE_CREATE) {
    how = OpenMode::kWriteNew;
    writable = true;
  } else if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) == ZLIB_FILEFUNC_MODE_READ) {
    how = io->read_mode();
  } else {
    how = OpenMode::kReadWrite;
    writable = true;
  }
  auto stream = std::make_unique<Stream>();
  Status s = io->env()->OpenFile(static_cast<const char*>(filename), how, 0600, &stream->file);
  if (!s.ok()) {
    io->Record(s);
    return nullptr;
  }
  stream->writable = writable;
  if (writable) io->set_write_file(stream->file.get());
  return stream.release();  // owned by minizip until CloseCb
}

uLong ReadCb(voidpf opaque, voidpf stream, void* buf, uLong size) {
  char* out = static_cast<char*>(buf);
  uLong done = 0;
  while (done < size) {
    size_t n = 0;
    Status s = Str(stream)->file->Read(out + done, size - done, &n);
    if (!s.ok()) {
      Io(opaque)->Record(s);
      break;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

uLong WriteCb(voidpf opaque, voidpf stream, const void* buf, uLong size) {
  ZipIo* io = Io(opaque);
  if (io->refuse_writes()) return 0;
  File* file = Str(stream)->file.get();
  const uint64_t drop = io->TakeDrop(size);
  std::string scratch;
  const char* data =
      io->Patched(file->Tell(), static_cast<const char*>(buf) + drop, size - drop, &scratch);
  Status s = file->Write(data, size - drop);
  if (!s.ok()) {
    io->Record(s);
    return 0;
  }
  return size;
}

ZPOS64_T TellCb(voidpf, voidpf stream) { return Str(stream)->file->Tell(); }

long SeekCb(voidpf opaque, voidpf stream, ZPOS64_T offset, int origin) {
  File* file = Str(stream)->file.get();
  Status s;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
      s = file->Seek(offset);
      break;
    case ZLIB_FILEFUNC_SEEK_CUR:
      s = file->Seek(file->Tell() + offset);
      break;
    case ZLIB_FILEFUNC_SEEK_END: {
      uint64_t end = 0;
      s = file->SeekToEnd(&end);
      if (s.ok() && offset != 0) s = file->Seek(end + offset);
      break;
    }
    default:
      s = Status::Error(EINVAL, "seek: unknown origin");
  }
  if (!s.ok()) {
    Io(opaque)->Record(s);
    return -1;
  }
  return 0;
}

int CloseCb(voidpf opaque, voidpf stream) {
  std::unique_ptr<Stream> owned(Str(stream));
  ZipIo* io = Io(opaque);
  if (io->write_file() == owned->file.get()) io->set_write_file(nullptr);
  Status s;
  if (owned->writable && io->sync_on_close() && !io->refuse_writes()) s = owned->file->Sync();
  Status c = owned->file->Close();
  if (s.ok()) s = c;
  if (!s.ok()) {
    io->Record(s);
    return -1;
  }
  return 0;
}

int ErrorCb(voidpf opaque, voidpf) { return Io(opaque)->error().ok() ? 0 : 1; }

}  // namespace

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
  for (uint64_t value : {uncompressed, data_end - data_start}) {
    for (int i = 0; i < 8; ++i) sizes.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  }
  Status s = io->PatchAt(field + 4, sizes);
  // An entry that stayed below 4 GiB gets no ZIP64 field in the central
  // directory, which then says "version 2.0 needed"; the local header says
  // the same, or a reader that compares the two (libzip, when a name holds
  // an end record's signature) finds the archive inconsistent.
  constexpr uint64_t kLimit = 0xFFFFFFFF;
  if (s.ok() && uncompressed < kLimit && data_end - data_start < kLimit) {
    s = io->PatchAt(local_header + 4, std::string("\x14\x00", 2));
  }
  return s.ok() ? s : Status::Error(s.number(), context + ": " + s.description());
}

uint64_t ZipIo::WritePosition() const { return write_file_ ? write_file_->Tell() : 0; }

Status ZipIo::PatchAt(uint64_t offset, const std::string& bytes) {
  if (write_file_ == nullptr) return Status::Error(EINVAL, "patch: no file open for writing");
  const uint64_t back = write_file_->Tell();
  Status s = write_file_->Seek(offset);
  if (s.ok()) s = write_file_->Write(bytes);
  Status r = write_file_->Seek(back);
  return s.ok() ? r : s;
}

const char* ZipIo::Patched(uint64_t at, const char* data, size_t n, std::string* scratch) const {
  const uint64_t from = patch_offset_ > at ? patch_offset_ : at;
  const uint64_t to = std::min<uint64_t>(patch_offset_ + patch_.size(), at + n);
  if (patch_.empty() || from >= to) return data;
  scratch->assign(data, n);
  scratch->replace(from - at, to - from, patch_, from - patch_offset_, to - from);
  return scratch->data();
}

ZipIo::ZipIo(Env* env) : env_(env) {
  funcs_.zopen64_file = OpenCb;
  funcs_.zread_file = ReadCb;
  funcs_.zwrite_file = WriteCb;
  funcs_.ztell64_file = TellCb;
  funcs_.zseek64_file = SeekCb;
  funcs_.zclose_file = CloseCb;
  funcs_.zerror_file = ErrorCb;
  funcs_.opaque = this;
}

std::string ZipCodeText(int code) {
  switch (code) {
    case ZIP_OK:
      return "no error";
    case ZIP_ERRNO:
      return "the zip library could not read or write the file";
    case ZIP_PARAMERROR:
      return "the zip library was given an invalid parameter";
    case ZIP_BADZIPFILE:
      return "not a valid zip archive (or an entry too large for its zip header)";
    case ZIP_INTERNALERROR:
      return "internal error in the zip library";
    case UNZ_END_OF_LIST_OF_FILE:
      return "no such entry in the zip archive";
    case UNZ_CRCERROR:
      return "entry data does not match its CRC-32";
    default:
      return "zip library error " + std::to_string(code);
  }
}

Status ZipStatus(const ZipIo& io, int code, const std::string& context) {
  if (!io.error().ok()) return io.error();
  return Status::Error(EIO, context + ": " + ZipCodeText(code));
}

}  // namespace vaultrun
