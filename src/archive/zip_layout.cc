#include "archive/zip_layout.h"

#include <algorithm>
#include <cerrno>
#include <memory>

namespace vaultrun {
namespace {

constexpr uint32_t kEndSig = 0x06054b50;
constexpr uint32_t kZip64EndSig = 0x06064b50;
constexpr uint32_t kZip64LocatorSig = 0x07064b50;
constexpr uint32_t kCentralSig = 0x02014b50;
constexpr size_t kEndSize = 22;
constexpr size_t kLocatorSize = 20;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kCentralSize = 46;
constexpr size_t kMaxComment = 0xffff;

uint64_t Le(const std::string& s, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}

Status ReadAt(File* file, uint64_t offset, size_t n, std::string* out) {
  out->assign(n, '\0');
  Status s = file->Seek(offset);
  size_t done = 0;
  while (s.ok() && done < n) {
    size_t got = 0;
    s = file->Read(out->data() + done, n - done, &got);
    if (s.ok() && got == 0) break;
    done += got;
  }
  out->resize(done);
  return s;
}

// The record's sizes and offset, the ZIP64 extra field's values taken for
// those whose 32-bit field holds 0xFFFFFFFF; false when one is missing.
bool ReadEntryInfo(const std::string& directory, size_t at, size_t name_len, size_t extra_len,
                   ZipEntryInfo* info) {
  info->method = static_cast<uint16_t>(Le(directory, at + 10, 2));
  info->crc = static_cast<uint32_t>(Le(directory, at + 16, 4));
  uint64_t* fields[3] = {&info->uncompressed, &info->compressed, &info->local_header};
  const size_t offsets[3] = {24, 20, 42};
  for (int i = 0; i < 3; ++i) *fields[i] = Le(directory, at + offsets[i], 4);
  size_t extra = at + kCentralSize + name_len;
  const size_t extra_end = extra + extra_len;
  while (extra + 4 <= extra_end && Le(directory, extra, 2) != 1)
    extra += 4 + Le(directory, extra + 2, 2);
  size_t value = extra + 4;
  for (int i = 0; i < 3; ++i) {
    if (*fields[i] != 0xffffffff) continue;
    if (value + 8 > extra_end || extra + 4 > extra_end) return false;
    *fields[i] = Le(directory, value, 8);
    value += 8;
  }
  return true;
}

}  // namespace

bool FindCentralDirectory(const std::string& end, uint64_t file_size, uint64_t* directory_offset,
                          uint64_t* directory_size, uint64_t* entries) {
  if (end.size() < kEndSize || end.size() > file_size) return false;
  const uint64_t base = file_size - end.size();  // file offset of end[0]
  for (size_t i = end.size() - kEndSize + 1; i-- > 0;) {
    if (Le(end, i, 4) != kEndSig) continue;
    // The comment must reach exactly to the end of the file.
    if (i + kEndSize + Le(end, i + 20, 2) != end.size()) continue;
    if (Le(end, i + 4, 2) != 0 || Le(end, i + 6, 2) != 0) return false;  // multi-disk
    uint64_t count = Le(end, i + 10, 2);
    uint64_t size = Le(end, i + 12, 4);
    uint64_t offset = Le(end, i + 16, 4);
    uint64_t records_start = base + i;  // where the directory must end
    if (i >= kLocatorSize && Le(end, i - kLocatorSize, 4) == kZip64LocatorSig) {
      size_t loc = i - kLocatorSize;
      uint64_t z64 = Le(end, loc + 8, 8);
      if (z64 < base || z64 + kZip64EndSize > base + loc) return false;
      size_t at = static_cast<size_t>(z64 - base);
      if (Le(end, at, 4) != kZip64EndSig) return false;
      count = Le(end, at + 32, 8);
      size = Le(end, at + 40, 8);
      offset = Le(end, at + 48, 8);
      records_start = z64;
    } else if (count == 0xffff || size == 0xffffffff || offset == 0xffffffff) {
      return false;  // zip64 values without a zip64 record
    }
    // Our archives have nothing before the first entry, so the directory
    // must end exactly where the end records begin.
    if (offset > records_start || records_start - offset != size) return false;
    *directory_offset = offset;
    *directory_size = size;
    *entries = count;
    return true;
  }
  return false;
}

bool ParseCentralDirectory(const std::string& directory, uint64_t entries,
                           std::vector<std::string>* names, std::vector<ZipEntryInfo>* infos) {
  names->clear();
  if (infos) infos->clear();
  size_t at = 0;
  for (uint64_t e = 0; e < entries; ++e) {
    if (directory.size() - at < kCentralSize || Le(directory, at, 4) != kCentralSig) return false;
    size_t name_len = Le(directory, at + 28, 2);
    size_t extra_len = Le(directory, at + 30, 2);
    size_t comment_len = Le(directory, at + 32, 2);
    size_t record = kCentralSize + name_len + extra_len + comment_len;
    if (directory.size() - at < record) return false;
    names->push_back(directory.substr(at + kCentralSize, name_len));
    if (infos) {
      ZipEntryInfo info;
      info.name = names->back();
      if (!ReadEntryInfo(directory, at, name_len, extra_len, &info)) return false;
      infos->push_back(std::move(info));
    }
    at += record;
  }
  return at == directory.size();
}

Status ReadZipLayout(Env* env, const std::string& path, ZipLayout* layout) {
  std::unique_ptr<File> file;
  Status s = env->OpenFile(path, OpenMode::kReadOwn, 0, &file);
  if (!s.ok()) return s;
  uint64_t size = 0;
  s = file->SeekToEnd(&size);
  if (!s.ok()) return s;
  size_t want = static_cast<size_t>(
      std::min<uint64_t>(size, kEndSize + kMaxComment + kLocatorSize + kZip64EndSize));
  std::string end;
  s = ReadAt(file.get(), size - want, want, &end);
  if (!s.ok()) return s;
  uint64_t offset = 0, dir_size = 0, entries = 0;
  if (end.size() != want || !FindCentralDirectory(end, size, &offset, &dir_size, &entries)) {
    return Status::Error(EINVAL, "read " + path + ": not a complete zip archive");
  }
  std::string tail;
  s = ReadAt(file.get(), offset, static_cast<size_t>(size - offset), &tail);
  if (!s.ok()) return s;
  if (tail.size() != size - offset ||
      !ParseCentralDirectory(tail.substr(0, static_cast<size_t>(dir_size)), entries, &layout->names,
                             &layout->entries)) {
    return Status::Error(EINVAL, "read " + path + ": damaged zip central directory");
  }
  layout->directory_offset = offset;
  layout->directory_size = dir_size;
  layout->tail = std::move(tail);
  return file->Close();
}

}  // namespace vaultrun
