#include "platform/reg_file.h"

#include <array>
#include <utility>

namespace vaultrun::regfile {
namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

struct RootAlias {
  std::string_view alias;
  std::string_view name;
  uint32_t number;
};
constexpr std::array<RootAlias, 8> kRoots = {{
    {"HKEY_CLASSES_ROOT", "HKEY_CLASSES_ROOT", 0x80000000},
    {"HKEY_CURRENT_USER", "HKEY_CURRENT_USER", 0x80000001},
    {"HKEY_LOCAL_MACHINE", "HKEY_LOCAL_MACHINE", 0x80000002},
    {"HKEY_USERS", "HKEY_USERS", 0x80000003},
    {"HKCR", "HKEY_CLASSES_ROOT", 0x80000000},
    {"HKCU", "HKEY_CURRENT_USER", 0x80000001},
    {"HKLM", "HKEY_LOCAL_MACHINE", 0x80000002},
    {"HKU", "HKEY_USERS", 0x80000003},
}};

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view StripTrailingBackslashes(std::string_view s) {
  while (!s.empty() && s.back() == '\\') s.remove_suffix(1);
  return s;
}

std::string KeyId(std::string_view root, std::string_view path) {
  std::string id(root);
  id += '\\';
  id += path;
  return LowerAscii(id);
}

// --- UTF-16LE <-> UTF-8. Lone surrogates travel as 3-byte sequences so that
// an untouched file encodes back to the same bytes.

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string DecodeUtf16Le(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t units = bytes.size() / 2;
  auto unit = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * i])) |
           (static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * i + 1])) << 8);
  };
  for (size_t i = 0; i < units; ++i) {
    uint32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      uint32_t v = unit(i + 1);
      if (v >= 0xDC00 && v <= 0xDFFF) {
        AppendUtf8(0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00), &out);
        ++i;
        continue;
      }
    }
    AppendUtf8(u, &out);
  }
  return out;
}

void AppendUnit(uint32_t u, std::string* out) {
  out->push_back(static_cast<char>(u & 0xFF));
  out->push_back(static_cast<char>(u >> 8));
}

std::string EncodeUtf16Le(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  size_t i = 0;
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  auto cont = [&](size_t k) { return k < text.size() && (byte(k) & 0xC0) == 0x80; };
  while (i < text.size()) {
    unsigned char b = byte(i);
    uint32_t cp = 0xFFFD;
    size_t len = 1;
    if (b < 0x80) {
      cp = b;
    } else if (b >= 0xC2 && b <= 0xDF && cont(i + 1)) {
      cp = ((b & 0x1Fu) << 6) | (byte(i + 1) & 0x3Fu);
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF && cont(i + 1) && cont(i + 2)) {
      uint32_t v = ((b & 0x0Fu) << 12) | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
      if (v >= 0x800) {
        cp = v;
        len = 3;
      }
    } else if (b >= 0xF0 && b <= 0xF4 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
      uint32_t v = ((b & 0x07u) << 18) | ((byte(i + 1) & 0x3Fu) << 12) |
                   ((byte(i + 2) & 0x3Fu) << 6) | (byte(i + 3) & 0x3Fu);
      if (v >= 0x10000 && v <= 0x10FFFF) {
        cp = v;
        len = 4;
      }
    }
    if (cp >= 0x10000) {
      AppendUnit(0xD800 + ((cp - 0x10000) >> 10), &out);
      AppendUnit(0xDC00 + ((cp - 0x10000) & 0x3FF), &out);
    } else {
      AppendUnit(cp, &out);
    }
    i += len;
  }
  return out;
}

// --- Line parsing.

// Reads a quoted string starting at s[*pos] == '"'; \\ and \" are escapes,
// any other backslash stays as written. False when it is not closed.
bool ReadQuoted(std::string_view s, size_t* pos, std::string* out) {
  size_t i = *pos + 1;
  out->clear();
  while (i < s.size()) {
    char c = s[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      out->push_back(s[i + 1]);
      i += 2;
      continue;
    }
    out->push_back(c);
    ++i;
  }
  return false;
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// True for the data forms of the other value types: dword:, hex:, hex(N):.
bool IsOtherTypeData(std::string_view data) {
  if (data.size() >= 6 && EqualsNoCase(data.substr(0, 6), "dword:")) return true;
  if (data.size() < 4 || !EqualsNoCase(data.substr(0, 3), "hex")) return false;
  if (data[3] == ':') return true;
  if (data[3] != '(') return false;
  size_t i = 4;
  while (i < data.size() && IsHexDigit(data[i])) ++i;
  return i > 4 && i + 1 < data.size() && data[i] == ')' && data[i + 1] == ':';
}

class Parser {
 public:
  explicit Parser(RegDocument* doc) : doc_(doc) {}

  void Run() {
    const std::string& text = doc_->text;
    size_t first_lf = text.find('\n');
    if (first_lf != std::string::npos && first_lf > 0 && text[first_lf - 1] == '\r') {
      doc_->newline = "\r\n";
    }
    size_t pos = 0;
    size_t number = 0;
    while (pos < text.size()) {
      size_t lf = text.find('\n', pos);
      size_t line_end = lf == std::string::npos ? text.size() : lf + 1;
      size_t content_end = lf == std::string::npos ? text.size() : lf;
      if (content_end > pos && text[content_end - 1] == '\r') --content_end;
      ++number;
      Line(std::string_view(text).substr(pos, content_end - pos), pos, line_end, number);
      pos = line_end;
    }
    doc_->ends_continued = continuing_;
  }

 private:
  void Line(std::string_view line, size_t begin, size_t end, size_t number) {
    if (continuing_) {
      RegValue& v = doc_->keys[key_].values.back();
      v.end = end;
      doc_->keys[key_].insert_at = end;
      continuing_ = EndsWithBackslash(line);
      return;
    }
    if (begin == 0 && line.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
      line.remove_prefix(kUtf8Bom.size());
    }
    std::string_view trimmed = TrimBlanks(line);
    if (!header_done_) {
      if (trimmed.empty()) return;
      header_done_ = true;
      if (trimmed == kHeader4 || trimmed == kHeader5) {
        doc_->has_header = true;
      } else {
        // Not a settings file: nothing in it is read.
        Unreadable(number);
        stopped_ = true;
      }
      return;
    }
    if (stopped_ || trimmed.empty() || trimmed.front() == ';') return;
    if (trimmed.front() == '[') {
      Section(trimmed, end, number);
    } else if (trimmed.front() == '"' || trimmed.front() == '@') {
      Value(trimmed, begin, end, number);
    } else {
      Unreadable(number);
    }
  }

  static bool EndsWithBackslash(std::string_view line) {
    std::string_view t = TrimBlanks(line);
    return !t.empty() && t.back() == '\\';
  }

  void Unreadable(size_t number) { doc_->unreadable_lines.push_back(number); }

  void Section(std::string_view line, size_t end, size_t number) {
    in_key_ = false;
    if (line.back() != ']' || line.size() < 2 || line[1] == '-') {
      Unreadable(number);  // malformed, or a key deletion, which is not applied
      return;
    }
    std::string_view inner = line.substr(1, line.size() - 2);
    size_t slash = inner.find('\\');
    std::string_view root_alias = inner.substr(0, slash);
    std::string_view path =
        slash == std::string_view::npos ? std::string_view() : inner.substr(slash + 1);
    path = StripTrailingBackslashes(path);
    std::string_view root;
    for (const RootAlias& r : kRoots) {
      if (EqualsNoCase(root_alias, r.alias)) root = r.name;
    }
    if (root.empty()) {
      Unreadable(number);
      return;
    }
    std::string id = KeyId(root, path);
    auto [it, added] = doc_->key_index.try_emplace(id, doc_->keys.size());
    if (added) {
      RegKey key;
      key.root = std::string(root);
      key.path = std::string(path);
      doc_->keys.push_back(std::move(key));
    }
    key_ = it->second;
    in_key_ = true;
    doc_->keys[key_].insert_at = end;
  }

  void Value(std::string_view line, size_t begin, size_t end, size_t number) {
    if (!in_key_) {
      Unreadable(number);
      return;
    }
    RegValue value;
    size_t i = 0;
    if (line[0] == '@') {
      i = 1;  // the key's default value: the empty name
    } else if (!ReadQuoted(line, &i, &value.name)) {
      Unreadable(number);
      return;
    }
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size() || line[i] != '=') {
      Unreadable(number);
      return;
    }
    ++i;
    while (i < line.size() && IsBlank(line[i])) ++i;
    std::string_view data = line.substr(i);
    bool continues = false;
    if (!data.empty() && data[0] == '"') {
      size_t j = 0;
      if (!ReadQuoted(data, &j, &value.text) || !TrimBlanks(data.substr(j)).empty()) {
        Unreadable(number);
        return;
      }
      value.is_string = true;
    } else if (data == "-") {
      // A deletion: the value reads as missing from here on.
    } else if (IsOtherTypeData(data)) {
      continues = EndsWithBackslash(data);
    } else {
      Unreadable(number);
      return;
    }
    value.begin = begin;
    value.end = end;
    RegKey& key = doc_->keys[key_];
    key.last_value[LowerAscii(value.name)] = key.values.size();
    key.values.push_back(std::move(value));
    key.insert_at = end;
    continuing_ = continues;
  }

  RegDocument* doc_;
  bool header_done_ = false;
  bool stopped_ = false;
  bool in_key_ = false;
  bool continuing_ = false;
  size_t key_ = 0;
};

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// Ends the text's last line when it is open. A last line that ends in a
// lone CR gets just the LF, so that it reads as before (the CR of a last
// line is not part of its content).
void EndLastLine(std::string* out, const std::string& nl) {
  if (out->empty() || out->back() == '\n') return;
  *out += out->back() == '\r' ? std::string("\n") : nl;
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

bool IsAllBlank(std::string_view s) {
  for (char c : s) {
    if (!IsBlank(c) && c != '\r' && c != '\n') return false;
  }
  return true;
}

}  // namespace

std::string RootName(uint32_t root) {
  for (const RootAlias& r : kRoots) {
    if (r.number == root) return std::string(r.name);
  }
  return "";
}

RegDocument Parse(std::string_view bytes) {
  RegDocument doc;
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
    doc.encoding = Encoding::kUtf16Le;
    std::string_view rest = bytes.substr(2);
    doc.text = DecodeUtf16Le(rest);
    if (rest.size() % 2 != 0) doc.odd_byte = std::string(1, rest.back());
  } else {
    doc.text = std::string(bytes);
  }
  Parser(&doc).Run();
  return doc;
}

const RegValue* FindValue(const RegDocument& doc, const std::string& root,
                          const std::string& key_path, const std::string& name) {
  auto key = doc.key_index.find(KeyId(root, StripTrailingBackslashes(key_path)));
  if (key == doc.key_index.end()) return nullptr;
  const RegKey& k = doc.keys[key->second];
  auto value = k.last_value.find(LowerAscii(name));
  if (value == k.last_value.end()) return nullptr;
  return &k.values[value->second];
}

std::optional<std::string> SetString(const RegDocument& doc, const std::string& root,
                                     const std::string& key_path, const std::string& name,
                                     const std::string& text) {
  // A line break cannot be stored in this format.
  if (root.empty() || HasLineBreak(root) || HasLineBreak(key_path) || HasLineBreak(name) ||
      HasLineBreak(text)) {
    return std::nullopt;
  }
  std::string_view path = StripTrailingBackslashes(key_path);
  const RegValue* old = doc.has_header ? FindValue(doc, root, key_path, name) : nullptr;
  // A replaced value keeps the spelling of its name.
  const std::string& spelled = old != nullptr ? old->name : name;
  std::string line = (spelled.empty() ? std::string("@") : Quote(spelled)) + "=" + Quote(text);

  std::string out;
  const std::string* nl = &doc.newline;
  if (!doc.has_header) {
    if (!doc.odd_byte.empty() || !IsAllBlank(doc.text)) return std::nullopt;
    out = std::string(doc.encoding == Encoding::kUtf16Le ? kHeader5 : kHeader4) + *nl;
  } else {
    out.reserve(doc.text.size() + line.size() + path.size() + 64);
    std::string_view all = doc.text;
    auto key = doc.key_index.find(KeyId(root, path));
    if (old != nullptr) {
      // Replace its lines, keeping the line end the last of them had.
      std::string_view span = all.substr(old->begin, old->end - old->begin);
      std::string_view ending;
      if (!span.empty() && span.back() == '\n') {
        ending = span.size() >= 2 && span[span.size() - 2] == '\r' ? span.substr(span.size() - 2)
                                                                   : span.substr(span.size() - 1);
      }
      out.append(all.substr(0, old->begin));
      out += line;
      out.append(ending);
      out.append(all.substr(old->end));
    } else if (key != doc.key_index.end()) {
      size_t at = doc.keys[key->second].insert_at;
      out.append(all.substr(0, at));
      EndLastLine(&out, *nl);
      // After a value whose last line asks for one more, a blank line ends
      // it; the new line would otherwise be read as part of that value.
      if (doc.ends_continued && at == all.size()) out += *nl;
      out += line;
      out += *nl;
      out.append(all.substr(at));
    } else {
      out = doc.text;
      EndLastLine(&out, *nl);
      std::string blank_end = *nl + *nl;
      if (out.size() < blank_end.size() ||
          out.compare(out.size() - blank_end.size(), blank_end.size(), blank_end) != 0) {
        out += *nl;
      }
      out += "[" + root + (path.empty() ? "" : "\\") + std::string(path) + "]" + *nl;
      out += line;
      out += *nl;
    }
    return doc.encoding == Encoding::kUtf16Le ? "\xFF\xFE" + EncodeUtf16Le(out) + doc.odd_byte
                                              : out;
  }
  out += *nl;
  out += "[" + root + (path.empty() ? "" : "\\") + std::string(path) + "]" + *nl;
  out += line;
  out += *nl;
  return doc.encoding == Encoding::kUtf16Le ? "\xFF\xFE" + EncodeUtf16Le(out) : out;
}

}  // namespace vaultrun::regfile
