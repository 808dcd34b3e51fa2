#include "archive/reader.h"

#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "archive/completeness_mark.h"
#include "archive/manifest.h"
#include "core/failure.h"

namespace vaultrun {
namespace {

// libzip reads the archive through this source: every open, read and seek
// goes to Env.
class EnvSource {
 public:
  EnvSource(Env* env, std::string path, OpenMode how)
      : env_(env), path_(std::move(path)), how_(how) {
    zip_error_init(&error_);
  }
  ~EnvSource() { zip_error_fini(&error_); }

  static zip_int64_t Callback(void* state, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
    return static_cast<EnvSource*>(state)->Handle(data, len, cmd);
  }

 private:
  zip_int64_t Fail(const Status& s) {
    zip_error_set(&error_, ZIP_ER_READ, s.number());
    return -1;
  }

  zip_int64_t Handle(void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
    switch (cmd) {
      case ZIP_SOURCE_OPEN: {
        Status s = env_->OpenFile(path_, how_, 0, &file_);
        if (s.ok()) s = file_->Seek(0);
        return s.ok() ? 0 : Fail(s);
      }
      case ZIP_SOURCE_READ: {
        size_t want = static_cast<size_t>(std::min<zip_uint64_t>(len, SIZE_MAX));
        size_t done = 0;
        while (done < want) {
          size_t n = 0;
          Status s = file_->Read(static_cast<char*>(data) + done, want - done, &n);
          if (!s.ok()) return Fail(s);
          if (n == 0) break;
          done += n;
        }
        return static_cast<zip_int64_t>(done);
      }
      case ZIP_SOURCE_CLOSE:
        if (file_) (void)file_->Close();
        file_.reset();
        return 0;
      case ZIP_SOURCE_STAT: {
        uint64_t size = 0;
        Status s = env_->FileSize(path_, &size);
        if (!s.ok()) return Fail(s);
        zip_stat_t* st = static_cast<zip_stat_t*>(data);
        zip_stat_init(st);
        st->size = size;
        st->valid |= ZIP_STAT_SIZE;
        size_ = size;
        return sizeof(zip_stat_t);
      }
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&error_, data, len);
      case ZIP_SOURCE_FREE:
        delete this;
        return 0;
      case ZIP_SOURCE_SEEK: {
        zip_int64_t at = zip_source_seek_compute_offset(file_->Tell(), size_, data, len, &error_);
        if (at < 0) return -1;
        Status s = file_->Seek(static_cast<uint64_t>(at));
        return s.ok() ? 0 : Fail(s);
      }
      case ZIP_SOURCE_TELL:
        return static_cast<zip_int64_t>(file_->Tell());
      case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(
            ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR,
            ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL, ZIP_SOURCE_SUPPORTS, -1);
      default:
        zip_error_set(&error_, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
  }

  Env* env_;
  std::string path_;
  OpenMode how_;
  std::unique_ptr<File> file_;
  uint64_t size_ = 0;
  zip_error_t error_;
};

}  // namespace

std::optional<DataEntry> ParseEntryName(std::string_view name) {
  size_t slash = name.find('/');
  if (slash == std::string_view::npos || slash == 0) return std::nullopt;
  std::string_view file = name.substr(slash + 1);
  if (file.find('/') != std::string_view::npos || file.size() <= 4) return std::nullopt;
  DataEntry entry;
  std::string_view extension = file.substr(file.size() - 4);
  if (extension == ".sql") {
    entry.form = DataForm::kSql;
  } else if (extension == ".csv") {
    entry.form = DataForm::kTabSeparated;
  } else {
    return std::nullopt;
  }
  entry.name = std::string(name);
  entry.database = std::string(name.substr(0, slash));
  entry.table = std::string(file.substr(0, file.size() - 4));
  return entry;
}

void ArchiveReader::ZipCloser::operator()(zip* archive) const { zip_discard(archive); }
void ArchiveReader::FileCloser::operator()(zip_file* file) const { zip_fclose(file); }

void ArchiveReader::Fail(const std::string& what) const { throw Failure(kErrArchive, what); }

ArchiveReader::ArchiveReader(const std::string& path, Env* env, OpenMode how) : path_(path) {
  if (env == nullptr) {
    own_env_ = NewDefaultEnv();
    env = own_env_.get();
  }
  zip_error_t error;
  zip_error_init(&error);
  auto* state = new EnvSource(env, path, how);
  zip_source_t* source = zip_source_function_create(EnvSource::Callback, state, &error);
  if (source == nullptr) {
    delete state;
    zip_error_fini(&error);
    Fail(path + ": cannot open it as a zip archive");
  }
  // Without ZIP_CHECKCONS: minizip's central directory says "version 2.0
  // needed" for an entry whose local header carries a ZIP64 field (4.5),
  // which that strict check alone refuses.
  zip_.reset(zip_open_from_source(source, ZIP_RDONLY, &error));
  if (!zip_) {
    std::string why = zip_error_strerror(&error);
    zip_source_free(source);
    zip_error_fini(&error);
    Fail(path + ": cannot open it as a zip archive (" + why + ")");
  }
  zip_error_fini(&error);

  int comment_size = 0;
  const char* comment = zip_get_archive_comment(zip_.get(), &comment_size, ZIP_FL_ENC_RAW);
  if (comment != nullptr) comment_.assign(comment, static_cast<size_t>(comment_size));
  zip_int64_t count = zip_get_num_entries(zip_.get(), 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    zip_stat_t st;
    if (zip_stat_index(zip_.get(), static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW, &st) != 0) {
      Fail(path + ": cannot read the archive's directory");
    }
    ZipEntry entry;
    entry.name = st.name;
    entry.method = st.comp_method;
    entry.crc = st.crc;
    entry.size = st.size;
    entry.compressed_size = st.comp_size;
    std::optional<DataEntry> data = ParseEntryName(entry.name);
    if (data) {
      data->size = entry.size;
      entries_.push_back(std::move(*data));
    }
    all_.push_back(std::move(entry));
  }
}

ArchiveReader::~ArchiveReader() = default;

ArchiveReader::Checked::~Checked() {
  if (stream) inflateEnd(stream.get());
}

void ArchiveReader::ExpectStored(const std::vector<ManifestEntry>& listed) {
  expected_ = std::make_unique<std::unordered_map<std::string, ManifestEntry>>();
  for (const ManifestEntry& entry : listed) expected_->emplace(entry.name, entry);
}

void ArchiveReader::Open(const DataEntry& entry) {
  for (size_t i = 0; i < all_.size(); ++i) {
    if (all_[i].name == entry.name) return OpenIndex(i);
  }
  Fail(path_ + ": cannot open entry " + entry.name);
}

void ArchiveReader::OpenIndex(size_t index, bool raw) {
  open_.reset();
  checked_.reset();
  if (index >= all_.size()) Fail(path_ + ": no entry " + std::to_string(index));
  const ZipEntry& entry = all_[index];
  open_name_ = entry.name;
  const ManifestEntry* listed = nullptr;
  if (expected_ && !raw) {
    auto found = expected_->find(entry.name);
    if (found != expected_->end()) listed = &found->second;
    const std::string name = EncodeMarkName(entry.name);
    if (listed == nullptr) {
      Fail(path_ + ": entry " + name +
           " is not listed in its manifest: it was added, or the manifest changed, after its run");
    }
    if (entry.method != Z_DEFLATED || entry.compressed_size != listed->stored_size ||
        entry.size != listed->size) {
      Fail(path_ + ": entry " + name +
           " is not as its manifest lists it (its sizes differ): it was changed after its run");
    }
  }
  // A listed entry is read as stored and inflated here, so that the bytes
  // hashed are the bytes inflated.
  open_.reset(zip_fopen_index(zip_.get(), index, raw || listed ? ZIP_FL_COMPRESSED : 0));
  if (!open_) {
    Fail(path_ + ": cannot open entry " + open_name_ + " (" + zip_strerror(zip_.get()) + ")");
  }
  if (listed == nullptr) return;
  auto checked = std::make_unique<Checked>();
  checked->listed = listed;
  checked->directory_crc = entry.crc;
  checked->stream = std::make_unique<z_stream_s>();
  std::memset(checked->stream.get(), 0, sizeof(z_stream_s));
  if (inflateInit2(checked->stream.get(), -MAX_WBITS) != Z_OK) {
    checked->stream.reset();
    open_.reset();
    Fail(path_ + ": entry " + EncodeMarkName(open_name_) + ": cannot start inflating it");
  }
  checked_ = std::move(checked);
}

size_t ArchiveReader::ReadChecked(char* buffer, size_t size) {
  Checked& c = *checked_;
  z_stream_s& z = *c.stream;
  const uInt room = static_cast<uInt>(std::min<size_t>(size, UINT_MAX));
  z.next_out = reinterpret_cast<Bytef*>(buffer);
  z.avail_out = room;
  const std::string name = EncodeMarkName(open_name_);
  while (z.avail_out == room && room > 0 && !c.ended) {
    if (z.avail_in == 0) {
      zip_int64_t n = zip_fread(open_.get(), c.in.data(), c.in.size());
      if (n < 0)
        Fail(path_ + ": entry " + name + " is damaged (" + zip_file_strerror(open_.get()) + ")");
      if (n == 0) Fail(path_ + ": entry " + name + " is damaged (its deflated data ends early)");
      c.stored_hash.Update(c.in.data(), static_cast<size_t>(n));
      c.stored += static_cast<uint64_t>(n);
      z.next_in = reinterpret_cast<Bytef*>(c.in.data());
      z.avail_in = static_cast<uInt>(n);
    }
    int r = inflate(&z, Z_NO_FLUSH);
    if (r == Z_STREAM_END) {
      c.ended = true;
    } else if (r != Z_OK && r != Z_BUF_ERROR) {
      Fail(path_ + ": entry " + name + " is damaged (" + (z.msg != nullptr ? z.msg : "inflate") +
           ")");
    }
  }
  const size_t produced = room - z.avail_out;
  c.size += produced;
  c.crc = static_cast<uint32_t>(
      crc32(c.crc, reinterpret_cast<const Bytef*>(buffer), static_cast<uInt>(produced)));
  if (produced == 0 && c.ended) FinishChecked();
  return produced;
}

void ArchiveReader::FinishChecked() {
  Checked& c = *checked_;
  const std::string name = EncodeMarkName(open_name_);
  // Stored bytes after the deflate stream's end count too.
  uint64_t after = c.stream->avail_in;
  for (zip_int64_t n; (n = zip_fread(open_.get(), c.in.data(), c.in.size())) > 0;) {
    c.stored_hash.Update(c.in.data(), static_cast<size_t>(n));
    c.stored += static_cast<uint64_t>(n);
    after += static_cast<uint64_t>(n);
  }
  Sha256Digest digest{};
  Status s = c.stored_hash.Finish(&digest);
  if (!s.ok()) Fail(path_ + ": entry " + name + ": " + s.description());
  if (c.stored != c.listed->stored_size || digest != c.listed->sha256) {
    Fail(path_ + ": entry " + name +
         " was changed after its run: its bytes are not those its manifest lists");
  }
  if (after != 0 || c.size != c.listed->size || c.crc != c.directory_crc) {
    Fail(path_ + ": entry " + name + " is damaged (its size or CRC-32 is wrong)");
  }
  checked_.reset();
  open_.reset();
}

size_t ArchiveReader::Read(char* buffer, size_t size) {
  if (checked_) return ReadChecked(buffer, size);
  if (!open_) return 0;
  zip_int64_t n = zip_fread(open_.get(), buffer, size);
  if (n > 0) return static_cast<size_t>(n);
  if (n < 0) {
    std::string why = zip_file_strerror(open_.get());
    open_.reset();
    Fail(path_ + ": entry " + open_name_ + " is damaged (" + why + ")");
  }
  // At the end: libzip has checked the CRC-32 of everything read.
  open_.reset();
  return 0;
}

std::optional<std::string> ArchiveReader::ReadEntry(std::string_view name, uint64_t limit) {
  for (size_t i = 0; i < all_.size(); ++i) {
    if (all_[i].name != name) continue;
    if (all_[i].size > limit) {
      Fail(path_ + ": entry " + all_[i].name + " is larger than " + std::to_string(limit) +
           " bytes");
    }
    std::string text(static_cast<size_t>(all_[i].size), '\0');
    OpenIndex(i);
    for (size_t done = 0; done < text.size();) {
      size_t n = Read(text.data() + done, text.size() - done);
      if (n == 0) Fail(path_ + ": entry " + all_[i].name + " is damaged (cut short)");
      done += n;
    }
    // Reading on to the end checks the CRC-32; nothing may follow.
    char extra = 0;
    if (Read(&extra, 1) != 0) Fail(path_ + ": entry " + all_[i].name + " is damaged (too long)");
    return text;
  }
  return std::nullopt;
}

}  // namespace vaultrun
