// Reading a vaultrun archive in place with minizip's unzip API: its
// comment (the completeness mark), its data entries, and one entry's bytes
// in chunks, checked against the entry's CRC at its end.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vaultrun {
class Env;
class ZipIo;
}  // namespace vaultrun

namespace vaultrun::restore {

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

class ArchiveReader {
 public:
  // Opens the archive; raises a Failure when it is missing or not a zip.
  explicit ArchiveReader(const std::string& path);
  ~ArchiveReader();
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  const std::string& path() const { return path_; }
  // The archive's zip comment ("" when it has none).
  const std::string& comment() const { return comment_; }
  // The data entries in archive order.
  const std::vector<DataEntry>& entries() const { return entries_; }

  // Opens an entry for reading; one at a time. Raises a Failure.
  void Open(const DataEntry& entry);
  // Up to size bytes of the open entry; 0 at its end, after which the
  // CRC has been checked. Raises a Failure on a damaged entry.
  size_t Read(char* buffer, size_t size);

 private:
  struct Closer {
    void operator()(void* file) const;
  };
  void CloseEntry();

  std::string path_;
  // File access through the platform seam (UTF-8 paths on every platform);
  // both outlive zip_.
  std::unique_ptr<Env> env_;
  std::unique_ptr<ZipIo> io_;
  std::unique_ptr<void, Closer> zip_;
  std::string comment_;
  std::vector<DataEntry> entries_;
  std::string open_entry_;  // empty when none is open
};

}  // namespace vaultrun::restore
