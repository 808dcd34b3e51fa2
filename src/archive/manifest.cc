#include "archive/manifest.h"

#include <zlib.h>

#include <charconv>
#include <map>

#include "archive/reader.h"
#include "core/failure.h"

namespace vaultrun {
namespace {

constexpr std::string_view kFirstLine = "vaultrun manifest 1";
constexpr std::string_view kTagDomain = "vaultrun archive tag 1\n";
constexpr size_t kKeyIdDigits = 16;
// A manifest line is under 400 bytes and an archive holds at most 65,534
// entries.
constexpr uint64_t kManifestLimit = uint64_t{64} << 20;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsLowerHex(std::string_view text, size_t digits) {
  if (text.size() != digits) return false;
  for (char c : text) {
    if (HexValue(c) < 0 || (c >= 'A' && c <= 'F')) return false;
  }
  return true;
}

// The next field of line up to a space; false when there is none.
bool NextField(std::string_view& line, std::string_view* field) {
  size_t space = line.find(' ');
  if (space == std::string_view::npos || space == 0) return false;
  *field = line.substr(0, space);
  line.remove_prefix(space + 1);
  return true;
}

bool ParseNumber(std::string_view text, uint64_t* n) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *n);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty() &&
         (text.size() == 1 || text[0] != '0');
}

// A name exactly as EncodeMarkName writes it, so that each name has one
// text: "%" and two upper-case hex digits only for the bytes it encodes.
bool DecodeName(std::string_view text, std::string* name) {
  name->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return false;
    if (c != '%') {
      *name += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexValue(text[i + 1]), low = HexValue(text[i + 2]);
    const char byte = static_cast<char>(high * 16 + low);
    if (high < 0 || low < 0 || EncodeMarkName(std::string(1, byte)) != text.substr(i, 3)) {
      return false;
    }
    *name += byte;
    i += 2;
  }
  return !name->empty();
}

bool ParseLine(std::string_view line, ManifestEntry* entry) {
  std::string_view kind, sha, stored, size, rows;
  if (!NextField(line, &kind) || kind != "entry" || !NextField(line, &sha) ||
      !IsLowerHex(sha, 2 * kSha256Bytes) || !NextField(line, &stored) ||
      !ParseNumber(stored, &entry->stored_size) || !NextField(line, &size) ||
      !ParseNumber(size, &entry->size) || !NextField(line, &rows) ||
      !DecodeName(line, &entry->name)) {
    return false;
  }
  for (size_t i = 0; i < kSha256Bytes; ++i) {
    entry->sha256[i] = static_cast<uint8_t>(HexValue(sha[2 * i]) * 16 + HexValue(sha[2 * i + 1]));
  }
  const bool data = ParseEntryName(entry->name).has_value();
  if (rows == "-") return !data;
  uint64_t n = 0;
  if (!data || !ParseNumber(rows, &n)) return false;
  entry->rows = n;
  return true;
}

// What is wrong with the manifest as a description of the directory, naming
// the entry; "" when it lists every other entry once, as it is.
std::string CompareWithDirectory(const std::vector<ManifestEntry>& listed,
                                 const std::vector<ZipEntry>& directory) {
  std::map<std::string_view, const ZipEntry*> present;
  for (const ZipEntry& entry : directory) {
    if (!present.emplace(entry.name, &entry).second) {
      return "entry " + EncodeMarkName(entry.name) + " is there more than once";
    }
  }
  std::map<std::string_view, const ManifestEntry*> by_name;
  for (const ManifestEntry& entry : listed) by_name.emplace(entry.name, &entry);
  for (const ZipEntry& entry : directory) {
    if (entry.name != kManifestEntry && by_name.count(entry.name) == 0) {
      return "entry " + EncodeMarkName(entry.name) +
             " is not listed in its manifest: it was added, or the manifest changed, after its run";
    }
  }
  for (const ManifestEntry& entry : listed) {
    auto found = present.find(entry.name);
    if (found == present.end()) {
      return "entry " + EncodeMarkName(entry.name) +
             ", which its manifest lists, is missing: it was taken out after its run";
    }
    const ZipEntry& stored = *found->second;
    if (stored.method != Z_DEFLATED || stored.compressed_size != entry.stored_size ||
        stored.size != entry.size) {
      return "entry " + EncodeMarkName(entry.name) +
             " is not as its manifest lists it (its sizes differ): it was changed after its run";
    }
  }
  return "";
}

}  // namespace

std::string BuildManifest(const std::vector<ManifestEntry>& entries) {
  std::string text = std::string(kFirstLine) + "\n";
  for (const ManifestEntry& entry : entries) {
    text += "entry " + LowerHex(entry.sha256) + " " + std::to_string(entry.stored_size) + " " +
            std::to_string(entry.size) + " " +
            (entry.rows ? std::to_string(*entry.rows) : std::string("-")) + " " +
            EncodeMarkName(entry.name) + "\n";
  }
  return text + "end\n";
}

std::optional<std::vector<ManifestEntry>> ParseManifest(std::string_view text, std::string* error) {
  std::vector<ManifestEntry> entries;
  std::map<std::string, size_t> seen;
  bool ended = false;
  for (size_t number = 1; !text.empty(); ++number) {
    size_t end = text.find('\n');
    if (end == std::string_view::npos || ended) {
      *error = "line " + std::to_string(number) + (ended ? " follows its end" : " is cut short");
      return std::nullopt;
    }
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (number == 1) {
      if (line != kFirstLine) {
        *error = "its first line is not \"" + std::string(kFirstLine) + "\"";
        return std::nullopt;
      }
      continue;
    }
    if (line == "end") {
      ended = true;
      continue;
    }
    ManifestEntry entry;
    if (!ParseLine(line, &entry) || entry.name == kManifestEntry ||
        !seen.emplace(entry.name, number).second) {
      *error = "line " + std::to_string(number) + " is not an entry of its own";
      return std::nullopt;
    }
    entries.push_back(std::move(entry));
  }
  if (!ended) {
    *error = "it has no end line";
    return std::nullopt;
  }
  return entries;
}

std::vector<ManifestEntry> ManifestOfPacked(const std::vector<PackedEntry>& packed,
                                            const std::map<std::string, uint64_t>& rows) {
  std::vector<ManifestEntry> entries;
  for (const PackedEntry& p : packed) {
    ManifestEntry entry{p.name, p.deflated_size, p.size, p.sha256, std::nullopt};
    if (auto found = rows.find(p.name); found != rows.end()) entry.rows = found->second;
    entries.push_back(std::move(entry));
  }
  return entries;
}

Status TagMark(const ArchiveKeyResult& key, std::string_view manifest, CompletenessMark* mark) {
  mark->tag_key_id.clear();
  mark->tag_manifest.clear();
  mark->tag.clear();
  Sha256Digest manifest_digest{};
  Status s = Sha256Of(manifest, &manifest_digest);
  if (!s.ok()) return s;
  std::string tag;
  s = ArchiveTag(key.key, BuildCompletenessMark(*mark), LowerHex(manifest_digest), &tag);
  if (!s.ok()) return s;
  mark->tag_key_id = key.id;
  mark->tag_manifest = LowerHex(manifest_digest);
  mark->tag = std::move(tag);
  return Status::OK();
}

Status ArchiveTag(std::string_view key, std::string_view untagged_mark,
                  std::string_view manifest_sha256, std::string* tag) {
  Sha256Digest digest{};
  HmacSha256 hmac(key);
  hmac.Update(kTagDomain);
  hmac.Update(untagged_mark);
  hmac.Update("manifest " + std::string(manifest_sha256) + "\n");
  Status s = hmac.Finish(&digest);
  if (!s.ok()) return s;
  *tag = LowerHex(digest);
  return Status::OK();
}

std::string CheckMarkTag(std::string_view comment, const CompletenessMark& mark,
                         const ArchiveKeyResult* key) {
  if (mark.tag.empty()) return "its mark carries no tag";
  if (!IsLowerHex(mark.tag_key_id, kKeyIdDigits) ||
      !IsLowerHex(mark.tag_manifest, 2 * kSha256Bytes) ||
      !IsLowerHex(mark.tag, 2 * kSha256Bytes)) {
    return "its mark's tag line is malformed";
  }
  const std::string signer = "it is signed with archive key " + mark.tag_key_id;
  if (key == nullptr || !key->ready()) {
    return signer + ", and no archive key is held here" +
           (key != nullptr && !key->problem.empty() ? " (" + key->problem + ")" : "");
  }
  if (key->id != mark.tag_key_id) {
    return signer + ", not with the one held here (" + key->id + ")";
  }
  std::string tag;
  Status s = ArchiveTag(key->key, UntaggedMark(comment), mark.tag_manifest, &tag);
  if (!s.ok()) return "its tag cannot be checked: " + s.description();
  if (!ConstantTimeEqual(tag, mark.tag)) {
    return "its tag does not verify with archive key " + key->id +
           ": its mark was changed after its run";
  }
  return "";
}

ArchiveOrigin ReadArchiveOrigin(ArchiveReader& reader, const ArchiveKeyResult* key) {
  ArchiveOrigin origin;
  origin.mark = ParseCompletenessMark(reader.comment());
  std::string manifest;
  bool listed = false;
  for (const ZipEntry& entry : reader.all_entries())
    listed = listed || entry.name == kManifestEntry;
  if (listed) {
    try {
      manifest = *reader.ReadEntry(kManifestEntry, kManifestLimit);
      std::string error;
      origin.manifest = ParseManifest(manifest, &error);
      if (!origin.manifest) origin.damage = "its manifest cannot be read: " + error;
    } catch (const Failure& failure) {
      origin.damage = "its manifest cannot be read: " + failure.description();
    }
    if (origin.manifest)
      origin.damage = CompareWithDirectory(*origin.manifest, reader.all_entries());
  }

  if (!origin.mark) {
    origin.why_not =
        "it carries no completeness mark (its run failed or was cut off, or another program "
        "made it)";
  } else if (!origin.damage.empty()) {
    origin.why_not = origin.damage;
  } else if (origin.mark->tag.empty()) {
    origin.why_not = origin.manifest ? "its run held no archive key (its mark carries no tag)"
                                     : "it carries no tag: it was made before archives were "
                                       "authenticated, or its manifest was taken out";
  } else if (!origin.manifest) {
    origin.why_not = "its mark carries a tag, but it holds no manifest (taken out after its run)";
  } else {
    origin.why_not = CheckMarkTag(reader.comment(), *origin.mark, key);
    Sha256Digest digest{};
    if (origin.why_not.empty() &&
        (!Sha256Of(manifest, &digest).ok() || LowerHex(digest) != origin.mark->tag_manifest)) {
      origin.why_not = "its manifest is not the one its tag names: it was changed after its run";
    }
    origin.authenticated = origin.why_not.empty();
  }
  return origin;
}

}  // namespace vaultrun
