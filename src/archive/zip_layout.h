// Reads where a zip archive's central directory starts and what it names,
// so that a pack can save the archive's tail before minizip overwrites it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/status.h"

namespace vaultrun {

// What the central directory says of one entry, ZIP64 values taken.
struct ZipEntryInfo {
  std::string name;
  uint16_t method = 0;
  uint32_t crc = 0;
  uint64_t compressed = 0;
  uint64_t uncompressed = 0;
  uint64_t local_header = 0;  // offset of the entry's local header
};

struct ZipLayout {
  // Offset of the central directory: where the next entry will be written.
  uint64_t directory_offset = 0;
  // Its length in bytes (the records, without the end records).
  uint64_t directory_size = 0;
  // The bytes from directory_offset to the end of the file (central
  // directory, zip64 records, end record, comment).
  std::string tail;
  // Entry names in directory order.
  std::vector<std::string> names;
  // The entries in directory order.
  std::vector<ZipEntryInfo> entries;
};

// Reads the layout of the zip archive at path. Fails when the file does not
// end in a consistent central directory (for instance mid-pack, when a new
// entry has overwritten the directory's start).
Status ReadZipLayout(Env* env, const std::string& path, ZipLayout* layout);

// Parses an archive's last bytes: file_size is the whole file's size and
// end holds its final end.size() bytes (at most file_size). On success
// *directory_offset is set; *directory_size is the central directory's
// length and *entries its entry count.
bool FindCentralDirectory(const std::string& end, uint64_t file_size, uint64_t* directory_offset,
                          uint64_t* directory_size, uint64_t* entries);

// Walks a central directory of `entries` records; false when it is not one.
// infos, when given, receives each entry's record.
bool ParseCentralDirectory(const std::string& directory, uint64_t entries,
                           std::vector<std::string>* names,
                           std::vector<ZipEntryInfo>* infos = nullptr);

}  // namespace vaultrun
