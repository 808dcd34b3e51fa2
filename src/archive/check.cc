#include "archive/check.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archive/deflate.h"
#include "archive/manifest.h"
#include "archive/reader.h"
#include "archive/tail.h"
#include "archive/zip_layout.h"
#include "core/failure.h"

namespace vaultrun {
namespace {

constexpr size_t kReadBufferSize = size_t{1} << 20;

// The reader's view of the directory, in the terms of the writer's checks.
std::vector<ZipEntryInfo> EntriesOf(const ArchiveReader& reader) {
  std::vector<ZipEntryInfo> entries;
  for (const ZipEntry& e : reader.all_entries()) {
    entries.push_back({e.name, e.method, e.crc, e.compressed_size, e.size, 0});
  }
  return entries;
}

// Reads entry index back whole. An entry this run packed and proved as it
// wrote it (its deflated bytes decoded to the right size and CRC-32 then)
// is compared by the CRC-32 of its deflated bytes as stored; any other is
// inflated in full, and the reader checks its CRC-32 at its end.
Status CheckEntry(ArchiveReader& reader, size_t index, const PackedEntry* proven,
                  const std::string& context) {
  const ZipEntry& entry = reader.all_entries()[index];
  reader.OpenIndex(index, proven != nullptr);
  std::vector<char> buffer(kReadBufferSize);
  uint64_t size = 0;
  uint32_t crc = 0;
  for (size_t n; (n = reader.Read(buffer.data(), buffer.size())) > 0; size += n) {
    if (proven != nullptr) crc = Crc32(crc, buffer.data(), n);
  }
  bool good = proven != nullptr ? size == entry.compressed_size && crc == proven->deflated_crc
                                : size == entry.size;
  if (!good) {
    return Status::Error(
        EINVAL, context + ": " + entry.name + ": entry data does not match its size and CRC-32");
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

// Reads the manifest back and checks that it lists every other entry as it
// was packed, and, with a key, that the mark's tag verifies with it.
Status CheckManifest(ArchiveReader& reader, const std::vector<PackedEntry>& packed,
                     const ArchiveKeyResult* key, const std::string& context) {
  ArchiveOrigin origin = ReadArchiveOrigin(reader, key);
  if (!origin.damage.empty()) return Status::Error(EIO, context + ": " + origin.damage);
  if (!origin.manifest) return Status::Error(EIO, context + ": its manifest is missing");
  std::unordered_map<std::string_view, const ManifestEntry*> by_name;
  for (const ManifestEntry& e : *origin.manifest) by_name.emplace(e.name, &e);
  for (const PackedEntry& p : packed) {
    if (p.name == kManifestEntry) continue;
    auto found = by_name.find(p.name);
    const ManifestEntry* listed = found == by_name.end() ? nullptr : found->second;
    if (listed == nullptr || listed->stored_size != p.deflated_size || listed->size != p.size ||
        listed->sha256 != p.sha256) {
      return Status::Error(EIO, context + ": its manifest does not list entry " +
                                    EncodeMarkName(p.name) + " as it was packed");
    }
  }
  if (key != nullptr && key->ready() && !origin.authenticated) {
    return Status::Error(EIO, context + ": " + origin.why_not);
  }
  return Status::OK();
}

}  // namespace

Status HoldsPacked(const std::vector<ZipEntryInfo>& entries, const std::vector<PackedEntry>& packed,
                   bool only_packed, const std::string& context) {
  std::unordered_map<std::string_view, const ZipEntryInfo*> by_name;
  by_name.reserve(entries.size());
  for (const ZipEntryInfo& entry : entries) {
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
  if (only_packed && entries.size() != packed.size()) {
    return Status::Error(EIO, context + ": holds " + std::to_string(entries.size()) +
                                  " entries, this run packed " + std::to_string(packed.size()));
  }
  return Status::OK();
}

Status SetArchiveCommentChecked(Env* env, const std::string& archive_path,
                                const std::string& comment, const std::vector<PackedEntry>& packed,
                                const ArchiveKeyResult* key) {
  std::unique_ptr<FileLock> lock;
  Status s = env->LockFile(LockPath(env, archive_path), &lock);
  if (s.ok()) s = RepairLocked(env, archive_path);
  // Before the mark: the archive holds what this run packed, and only that.
  ZipLayout layout;
  if (s.ok()) s = ReadZipLayout(env, archive_path, &layout);
  if (s.ok()) s = HoldsPacked(layout.entries, packed, true, "mark " + archive_path);
  if (s.ok()) s = SetCommentLocked(env, archive_path, comment);
  if (!s.ok()) return s;
  std::string read_back;
  Status checked = CheckArchive(env, archive_path, &read_back, packed, true, key);
  if (checked.ok() && read_back != comment) {
    checked = Status::Error(EINVAL, "check " + archive_path + ": the comment reads back wrong");
  }
  if (!checked.ok()) (void)SetCommentLocked(env, archive_path, "");
  return checked;
}

Status CheckArchive(Env* env, const std::string& archive_path, std::string* comment,
                    const std::vector<PackedEntry>& packed, bool only_packed,
                    const ArchiveKeyResult* key) {
  comment->clear();
  const std::string context = "check " + archive_path;
  // The writer's own reading of the directory must agree with the reader's.
  ZipLayout layout;
  Status s = ReadZipLayout(env, archive_path, &layout);
  if (!s.ok()) return s;
  try {
    ArchiveReader reader(archive_path, env, OpenMode::kReadOwn);
    const std::vector<ZipEntryInfo> entries = EntriesOf(reader);
    std::vector<std::string> names;
    for (const ZipEntryInfo& entry : entries) names.push_back(entry.name);
    if (layout.names != names) {
      return Status::Error(EINVAL, context + ": the readers disagree on the entries");
    }
    if (only_packed) {
      s = HoldsPacked(entries, packed, true, context);
      if (!s.ok()) return s;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
      s = CheckEntry(reader, i, FindProven(packed, entries[i]), context);
      if (!s.ok()) return s;
    }
    const bool has_manifest = std::any_of(packed.begin(), packed.end(), [](const PackedEntry& p) {
      return p.name == kManifestEntry;
    });
    if (only_packed && has_manifest) {
      s = CheckManifest(reader, packed, key, context);
      if (!s.ok()) return s;
    }
    *comment = reader.comment();
  } catch (const Failure& failure) {
    return Status::Error(failure.number() == kErrArchive ? EINVAL : failure.number(),
                         context + ": " + failure.description());
  }
  return Status::OK();
}

}  // namespace vaultrun
