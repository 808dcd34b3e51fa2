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
#include <vector>

#include "platform/env.h"

struct zip;
struct zip_file;

namespace vaultrun {

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

 private:
  struct ZipCloser {
    void operator()(zip* archive) const;
  };
  struct FileCloser {
    void operator()(zip_file* file) const;
  };
  [[noreturn]] void Fail(const std::string& what) const;

  std::string path_;
  std::unique_ptr<Env> own_env_;
  std::unique_ptr<zip, ZipCloser> zip_;
  std::string comment_;
  std::vector<ZipEntry> all_;
  std::vector<DataEntry> entries_;
  std::unique_ptr<zip_file, FileCloser> open_;
  std::string open_name_;
};

}  // namespace vaultrun
