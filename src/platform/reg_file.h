// The settings file of POSIX hosts: a registry export as regedit writes it
// ("REGEDIT4" or "Windows Registry Editor Version 5.00", ANSI/UTF-8 or
// UTF-16LE with a byte-order mark). Parsing and editing are pure functions
// over the file's bytes; settings_store_posix.cc does the file work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vaultrun::regfile {

enum class Encoding { kAnsi, kUtf16Le };

// One value line (with its continuation lines, for hex forms).
struct RegValue {
  std::string name;        // as written, escapes resolved
  bool is_string = false;  // "name"="text"; every other form is another type
  std::string text;        // the string, escapes resolved (empty otherwise)
  size_t begin = 0;        // span of its lines in RegDocument::text, line ends included
  size_t end = 0;
};

// One key; several sections with the same path are one key.
struct RegKey {
  std::string root;              // canonical root name, e.g. "HKEY_LOCAL_MACHINE"
  std::string path;              // as first written, without root and trailing backslashes
  std::vector<RegValue> values;  // in file order
  std::unordered_map<std::string, size_t> last_value;  // lower-cased name -> index
  size_t insert_at = 0;  // where a new value line goes: after the last line of its last section
};

struct RegDocument {
  Encoding encoding = Encoding::kAnsi;
  bool has_header = false;     // a recognised header line was found
  std::string newline = "\n";  // the file's line end ("\r\n" when its first line ends so)
  std::string text;            // the content as UTF-8 (UTF-16 files: lone surrogates kept)
  std::string odd_byte;        // a UTF-16 file's trailing odd byte, kept as it was
  std::vector<RegKey> keys;
  std::unordered_map<std::string, size_t> key_index;  // lower-cased "ROOT\path" -> index
  std::vector<size_t> unreadable_lines;  // 1-based numbers of lines that were not understood
  bool ends_continued = false;           // the last line ends in "\\" of a value that goes on
};

// The canonical root name of a predefined key number, or "" when unknown.
std::string RootName(uint32_t root);

// Parses a settings file. Never fails: whatever cannot be read is listed in
// unreadable_lines and otherwise ignored. Linear in the size of the input.
RegDocument Parse(std::string_view bytes);

// The value root\key_path\name, or null when missing. Names and key paths
// match without regard to ASCII case; a trailing backslash is ignored. When
// a value appears twice, the last one counts.
const RegValue* FindValue(const RegDocument& doc, const std::string& root,
                          const std::string& key_path, const std::string& name);

// The file's bytes with root\key_path\name set to the string text, in the
// file's encoding and line ends; everything else is kept byte-for-byte. An
// existing value is replaced where it stands; a new one goes at the end of
// its key, a new key at the end of the file. Empty input becomes a new
// "REGEDIT4" file. Nothing when the document has content but no header (it
// is not a settings file, so it is not overwritten).
std::optional<std::string> SetString(const RegDocument& doc, const std::string& root,
                                     const std::string& key_path, const std::string& name,
                                     const std::string& text);

}  // namespace vaultrun::regfile
