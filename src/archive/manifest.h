// The manifest: the entry "vaultrun-manifest.txt" that every run packs
// last, listing every other entry of its archive, and the tag in the
// completeness mark that authenticates it under the installation's archive
// key (platform/archive_key.h). An archive whose tag verifies was made by
// an installation that holds the key, and every byte of it is as that run
// wrote it: the tag covers the mark and the manifest, the manifest each
// entry's stored bytes.
//
// The manifest's text:
//   vaultrun manifest 1
//   entry <sha256> <stored bytes> <bytes> <rows> <name>    one per entry
//   end
// sha256: 64 lower-case hex digits, of the entry's data as stored
// (deflated); rows: a table's row count for a data entry ("<db>/<t>.sql"
// or ".csv"), "-" for any other entry; name: last, control bytes and "%"
// written as %XX. Lines end with LF.
//
// The tag: HMAC-SHA256 under the key of the line "vaultrun archive tag 1",
// the mark's text without its tag line, and the line "manifest <sha256 of
// the manifest's text>". The tag line states that SHA-256 too, so that the
// mark alone (the end of a file on a remote) can be authenticated.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/completeness_mark.h"
#include "archive/writer.h"
#include "platform/archive_key.h"
#include "platform/crypto.h"
#include "platform/status.h"

namespace vaultrun {

class ArchiveReader;

inline constexpr const char kManifestEntry[] = "vaultrun-manifest.txt";

struct ManifestEntry {
  std::string name;
  uint64_t stored_size = 0;  // the deflated bytes as stored
  uint64_t size = 0;         // the bytes they inflate to
  Sha256Digest sha256{};     // of the stored bytes
  std::optional<uint64_t> rows;
  bool operator==(const ManifestEntry& other) const = default;
};

std::string BuildManifest(const std::vector<ManifestEntry>& entries);

// The entries that a manifest's text lists, or nothing (and *error) unless
// the text is exactly in the format above, each name once, rows given for
// data entries and only for them.
std::optional<std::vector<ManifestEntry>> ParseManifest(std::string_view text, std::string* error);

// The manifest of the entries packed through one RunArchive, each data
// entry with its row count from rows (by entry name).
std::vector<ManifestEntry> ManifestOfPacked(const std::vector<PackedEntry>& packed,
                                            const std::map<std::string, uint64_t>& rows);

// The tag (64 hex digits) of an archive whose mark, without its tag line,
// is untagged_mark and whose manifest's text has the SHA-256 (hex)
// manifest_sha256.
Status ArchiveTag(std::string_view key, std::string_view untagged_mark,
                  std::string_view manifest_sha256, std::string* tag);

// Why mark (read from comment) is not authenticated by key (nullptr, or not
// ready: none held), or "" when its tag verifies: then the mark's text and
// the manifest SHA-256 its tag line states are as the key's holder wrote
// them.
std::string CheckMarkTag(std::string_view comment, const CompletenessMark& mark,
                         const ArchiveKeyResult* key);

// Gives mark the tag line of an archive whose manifest's text is manifest,
// under key (which must be ready).
Status TagMark(const ArchiveKeyResult& key, std::string_view manifest, CompletenessMark* mark);

// What an archive's mark and manifest say of where it comes from.
struct ArchiveOrigin {
  std::optional<CompletenessMark> mark;
  std::optional<std::vector<ManifestEntry>> manifest;
  // The tag verifies with the key held, and the manifest lists exactly the
  // archive's entries: each entry is authentic once its stored bytes give
  // the manifest's SHA-256.
  bool authenticated = false;
  std::string why_not;  // when not authenticated: why, for a message
  // The manifest is there but does not describe the archive (names the
  // entry), or cannot be read: the archive was changed after its run.
  std::string damage;
};

// Reads the mark and the manifest of the archive that reader has open, and
// checks the manifest against the directory and the tag with key (nullptr,
// or a key that is not ready: none held). Raises only what the reader
// raises for a directory it cannot read.
ArchiveOrigin ReadArchiveOrigin(ArchiveReader& reader, const ArchiveKeyResult* key);

}  // namespace vaultrun
