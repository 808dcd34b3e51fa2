#include "restore/trust.h"

#include <cctype>
#include <cstdio>

#include "archive/definitions_entry.h"
#include "core/failure.h"
#include "platform/crypto.h"

namespace vaultrun::restore {
namespace {

constexpr int kErrTrust = 3004;
constexpr uint64_t kMaxDefinitionsEntry = uint64_t{64} << 20;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The code point of the UTF-8 sequence at text[i] and its length; 0 bytes
// when it is no well-formed sequence.
size_t DecodeUtf8(std::string_view text, size_t i, uint32_t* cp) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  size_t n = lead >= 0xF5 ? 0 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (n == 0 || i + n > text.size()) return 0;
  *cp = lead & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    *cp = (*cp << 6) | (byte(i + k) & 0x3F);
  }
  const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (*cp < smallest[n] || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) return 0;
  return n;
}

// Characters that move or reorder what a terminal shows.
bool Hidden(uint32_t cp) {
  return (cp >= 0x80 && cp <= 0x9F) || cp == 0x200E || cp == 0x200F ||
         (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

std::string Hex(const char* format, unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

ArchiveTrust::ArchiveTrust(ArchiveReader& reader, TrustOptions options)
    : options_(std::move(options)), archive_(reader.path()) {
  origin_ = ReadArchiveOrigin(reader, &options_.key);
  if (!origin_.damage.empty()) {
    throw Failure(kErrTrust, archive_ + ": " + origin_.damage + "; nothing was written");
  }
  if (origin_.manifest) reader.ExpectStored(*origin_.manifest);
}

std::string ArchiveTrust::WhyNot() const {
  std::string why = origin_.why_not;
  if (origin_.mark && !origin_.mark->tag.empty() &&
      (!options_.key.ready() || options_.key.id != origin_.mark->tag_key_id)) {
    why += " (--key-file FILE names the exported copy of the key that made it)";
  }
  return why;
}

RowCounts ArchiveTrust::Counts() const {
  RowCounts counts;
  if (origin_.manifest) {
    for (const ManifestEntry& entry : *origin_.manifest) {
      std::optional<DataEntry> data = ParseEntryName(entry.name);
      if (data && entry.rows) counts[data->table] = *entry.rows;
    }
  } else if (origin_.mark) {
    for (const auto& [table, rows] : origin_.mark->tables) counts[table] = rows;
  }
  return counts;
}

std::string ArchiveTrust::DefinitionsRefusal(const std::string& digest) const {
  if (!options_.trust_definitions.empty()) {
    if (Lower(options_.trust_definitions) == digest) return "";
    return "the archive's definitions are refused: they are not the ones that "
           "--trust-definitions names (vaultrun-restore --show-definitions " +
           archive_ + " shows them with their digest); nothing was written";
  }
  if (authenticated()) return "";
  return "the archive's definitions are refused, as the archive is not authenticated: " + WhyNot() +
         ". Read them with vaultrun-restore --show-definitions " + archive_ +
         ", then run again with --trust-definitions=DIGEST, the digest printed beside them, to "
         "create exactly those; or create the database and its tables first (from the game "
         "server's schema) and restore the rows into it with --unauthenticated; nothing was "
         "written";
}

void ArchiveTrust::RequireRowsAllowed(const std::string& target) const {
  if (authenticated() || options_.unauthenticated) return;
  throw Failure(kErrTrust, "the archive's rows are refused for " + target +
                               ", as the archive is not authenticated: " + WhyNot() +
                               ". If you know where it comes from, run again with "
                               "--unauthenticated to restore its rows as they are; nothing was "
                               "written");
}

void ArchiveTrust::Notice(std::ostream* err) const {
  if (authenticated() || err == nullptr) return;
  *err << "warning: the archive is not authenticated (" << WhyNot()
       << "): its rows are restored as they are, with no proof of where they come from\n";
}

std::string DefinitionsDigest(std::string_view text) {
  Sha256Digest digest{};
  ThrowIfError(Sha256Of(text, &digest));
  return LowerHex(digest);
}

std::string EscapeForTerminal(std::string_view text, bool keep_lines) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      const bool kept = c >= 0x20 ? c != 0x7F : keep_lines && (c == '\n' || c == '\t');
      out += kept ? std::string(1, static_cast<char>(c)) : Hex("\\x%02X", c);
      ++i;
      continue;
    }
    uint32_t cp = 0;
    const size_t n = DecodeUtf8(text, i, &cp);
    if (n == 0) {
      out += Hex("\\x%02X", c);
      ++i;
    } else {
      out += Hidden(cp) ? Hex("\\u{%04X}", cp) : std::string(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

bool ShowDefinitions(const std::string& archive, const TrustOptions& options, std::ostream& out,
                     std::ostream& err) {
  ArchiveReader reader(archive);
  const ArchiveTrust trust(reader, options);
  std::optional<std::string> text = reader.ReadEntry(kDefinitionsEntry, kMaxDefinitionsEntry);
  if (!text) {
    err << archive << " holds no definitions (its run stored rows only)\n";
    return false;
  }
  std::optional<Definitions> d = ParseDefinitions(*text);
  if (!d) {
    err << archive << ": its " << kDefinitionsEntry << " is not in the definitions format\n";
    return false;
  }
  const auto name = [](const std::string& raw) { return EscapeForTerminal(raw, false); };
  out << "Definitions of database `" << name(d->database) << "` in " << archive << " ("
      << kDefinitionsEntry << ", version " << d->version << "):\n\n";
  out << "database `" << name(d->database) << "`: character set " << name(d->charset)
      << ", collation " << name(d->collation) << "\n";
  for (const DefinitionRecord& r : d->objects) {
    out << "\n" << r.kind << " `" << name(r.name) << "`  sql_mode '" << name(r.sql_mode) << "'\n";
    // Indented, so that no line of a statement can pass for a heading.
    std::string body = EscapeForTerminal(r.text, true);
    for (size_t at = 0; at <= body.size();) {
      size_t end = body.find('\n', at);
      if (end == std::string::npos) end = body.size();
      out << "    " << body.substr(at, end - at) << "\n";
      at = end + 1;
    }
  }
  for (const DefinitionRecord& r : d->left_out) {
    out << "\nleft out (the backup account lacked " << name(r.text) << "): " << name(r.name)
        << "\n";
  }
  const std::string digest = DefinitionsDigest(*text);
  out << "\n";
  if (trust.authenticated()) {
    out << "The archive is authenticated (archive key " << options.key.id
        << "): these definitions run without --trust-definitions.\n";
  } else {
    out << "The archive is NOT authenticated: " << trust.WhyNot() << ".\n";
  }
  out << "Digest of these definitions: " << digest << "\n"
      << "To create exactly these, once you have read them:\n"
      << "  vaultrun-restore --trust-definitions=" << digest << " " << archive
      << " --database=DB\n";
  return true;
}

}  // namespace vaultrun::restore
