// Reading an archive in place, with libzip: the one reader of the run's
// read-back check, the restore and the verify. It shares no code with the
// writer (minizip and zip_layout.h), so the read-back is a second opinion,
// and it reads ZIP64 whole: entries over 4 GiB and entries that start past
// 4 GiB. Files are opened through Env.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/crypto.h"
#include "platform/env.h"

struct zip;
struct zip_file;
struct z_stream_s;

namespace vaultrun {

struct ManifestEntry;

// The reader's failures (that the archive is missing, not a zip, damaged).
inline constexpr int kErrArchive = 3001;

enum class DataForm { kSql, kTabSeparated };

// One table's data entry, "<db>/<table>.sql" or "<db>/<table>.csv".
struct DataEntry {
  std::string name;  // the entry's full name
  std::string database;
  std::string table;
  DataForm form = DataForm::kSql;
  uint64_t size = 0;  // uncompressed bytes
};

// The data entry that an entry name describes, or nothing for any other
// name (folders, other files).
std::optional<DataEntry> ParseEntryName(std::string_view name);

// What the central directory says of an entry.
struct ZipEntry {
  std::string name;  // the bytes as stored
  uint16_t method = 0;
  uint32_t crc = 0;
  uint64_t size = 0;
  uint64_t compressed_size = 0;
};

class ArchiveReader {
 public:
  // Opens the archive (how: kRead for a file a user names, kReadOwn for the
  // program's own); with no env, the platform's default one. Raises a
  // Failure when it is missing or not a zip archive.
  explicit ArchiveReader(const std::string& path, Env* env = nullptr,
                         OpenMode how = OpenMode::kRead);
  ~ArchiveReader();
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  const std::string& path() const { return path_; }
  // The archive's zip comment ("" when it has none).
  const std::string& comment() const { return comment_; }
  // Every entry in directory order.
  const std::vector<ZipEntry>& all_entries() const { return all_; }
  // The data entries in archive order.
  const std::vector<DataEntry>& entries() const { return entries_; }

  // Opens an entry for reading; one at a time. Raises a Failure.
  void Open(const DataEntry& entry);
  // Opens entry index of all_entries(): its data as stored (compressed)
  // when raw, else inflated.
  void OpenIndex(size_t index, bool raw = false);
  // Up to size bytes of the open entry; 0 at its end, after which the
  // CRC-32 and size have been checked (not for raw data). Raises a Failure
  // on a damaged entry.
  size_t Read(char* buffer, size_t size);

  // The whole entry of that name, or nothing when there is none; raises a
  // Failure when it is larger than limit or damaged.
  std::optional<std::string> ReadEntry(std::string_view name, uint64_t limit);

  // From now on every entry read (Open, OpenIndex without raw, ReadEntry)
  // must be one of listed (an archive's manifest), and is read as stored
  // and inflated here, so that its stored bytes are checked as they are
  // read: an entry not listed, or not deflated with the listed sizes, is
  // refused when it is opened; one whose bytes do not give the listed
  // SHA-256 raises at the end of its data, naming it, before the last read
  // returns 0.
  void ExpectStored(const std::vector<ManifestEntry>& listed);

 private:
  struct ZipCloser {
    void operator()(zip* archive) const;
  };
  struct FileCloser {
    void operator()(zip_file* file) const;
  };
  [[noreturn]] void Fail(const std::string& what) const;
  // The open entry's next inflated bytes, from its stored bytes.
  size_t ReadChecked(char* buffer, size_t size);
  // At the end of the stored bytes: their SHA-256, size and CRC-32.
  void FinishChecked();

  // An entry being read as stored and inflated here.
  struct Checked {
    const ManifestEntry* listed = nullptr;
    uint32_t directory_crc = 0;
    Sha256 stored_hash;
    std::unique_ptr<z_stream_s> stream;
    std::vector<char> in = std::vector<char>(size_t{1} << 16);
    uint64_t stored = 0;  // stored bytes read
    uint64_t size = 0;    // bytes inflated
    uint32_t crc = 0;
    bool ended = false;  // the deflate stream has ended
    ~Checked();
  };

  std::string path_;
  std::unique_ptr<Env> own_env_;
  std::unique_ptr<zip, ZipCloser> zip_;
  std::string comment_;
  std::vector<ZipEntry> all_;
  std::vector<DataEntry> entries_;
  std::unique_ptr<zip_file, FileCloser> open_;
  std::string open_name_;
  // Set by ExpectStored: the listed entries by name.
  std::unique_ptr<std::unordered_map<std::string, ManifestEntry>> expected_;
  std::unique_ptr<Checked> checked_;  // set while a listed entry is open
};

}  // namespace vaultrun
