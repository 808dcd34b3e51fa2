#include "platform/path_rules.h"

#include <array>

namespace vaultrun {
namespace {

constexpr uint32_t kReparseTagMountPoint = 0xA0000003;  // IO_REPARSE_TAG_MOUNT_POINT
constexpr uint32_t kReparseTagSymlink = 0xA000000C;     // IO_REPARSE_TAG_SYMLINK

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// COM and LPT take a digit or a superscript one, two or three (UTF-8).
bool IsPortSuffix(std::string_view s) {
  if (s.size() == 1) return s[0] >= '0' && s[0] <= '9';
  return s == "\xC2\xB9" || s == "\xC2\xB2" || s == "\xC2\xB3";
}

// Windows opens the device for these base names whatever the extension,
// and ignores spaces between the base name and the extension.
bool IsDeviceName(std::string_view name) {
  std::string_view base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  constexpr std::array<std::string_view, 6> kDevices = {"con", "prn",    "aux",
                                                        "nul", "conin$", "conout$"};
  for (std::string_view device : kDevices) {
    if (EqualsNoCase(base, device)) return true;
  }
  if (base.size() < 4) return false;
  std::string_view prefix = base.substr(0, 3);
  return (EqualsNoCase(prefix, "com") || EqualsNoCase(prefix, "lpt")) &&
         IsPortSuffix(base.substr(3));
}

// The end of "server\share\" that starts at from (the whole rest when a
// part is missing).
size_t UncRootEnd(std::string_view path, size_t from, char sep) {
  size_t server_end = path.find(sep, from);
  if (server_end == std::string_view::npos) return path.size();
  size_t share_end = path.find(sep, server_end + 1);
  return share_end == std::string_view::npos ? path.size() : share_end + 1;
}

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool IsUsablePosixFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

bool IsUsableWindowsFileName(std::string_view name) {
  if (!IsUsablePosixFileName(name)) return false;
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  if (name.find_first_of(":*?\"<>|") != std::string_view::npos) return false;
  if (name.back() == '.' || name.back() == ' ') return false;
  return !IsDeviceName(name);
}

bool IsRedirectingReparseTag(uint32_t tag) {
  return tag == kReparseTagSymlink || tag == kReparseTagMountPoint;
}

std::string ExtendedLengthPath(const std::string& full_path) {
  const std::string_view p = full_path;
  if (p.starts_with("\\\\?\\") || p.starts_with("\\\\.\\")) return full_path;
  if (p.starts_with("\\\\")) return "\\\\?\\UNC\\" + full_path.substr(2);
  if (p.size() >= 3 && IsDriveLetter(p[0]) && p[1] == ':' && p[2] == '\\') {
    return "\\\\?\\" + full_path;
  }
  return full_path;
}

size_t PathRootLength(std::string_view path, char separator) {
  size_t drive_at = 0;
  if (separator == '\\') {
    if (path.starts_with("\\\\?\\UNC\\")) return UncRootEnd(path, 8, separator);
    if (path.starts_with("\\\\?\\")) {
      drive_at = 4;
    } else if (path.starts_with("\\\\")) {
      return UncRootEnd(path, 2, separator);
    }
  }
  // A drive letter counts with either separator: the program reports a
  // missing drive the same way everywhere.
  std::string_view rest = path.substr(drive_at);
  if (rest.size() >= 2 && IsDriveLetter(rest[0]) && rest[1] == ':') {
    return drive_at + (rest.size() >= 3 && rest[2] == separator ? 3 : 2);
  }
  return path.starts_with(separator) ? 1 : 0;
}

bool IsNetworkSharePath(std::string_view full_path) {
  if (full_path.starts_with("\\\\?\\UNC\\")) return true;
  return full_path.starts_with("\\\\") && !full_path.starts_with("\\\\?\\") &&
         !full_path.starts_with("\\\\.\\");
}

bool IsUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t more = 0;
    uint32_t min = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      more = 1, min = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      more = 2, min = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      more = 3, min = 0x10000, cp = c & 0x07;
    } else {
      return false;
    }
    if (text.size() - i <= more) return false;
    for (size_t k = 1; k <= more; ++k) {
      const unsigned char t = static_cast<unsigned char>(text[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (t & 0x3F);
    }
    // No overlong forms, surrogates or code points beyond Unicode.
    if (cp < min || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
    i += more + 1;
  }
  return true;
}

size_t Utf8CompleteLength(std::string_view text) {
  // The last lead byte among the last four bytes, and how long its
  // character is.
  for (size_t back = 1; back <= 4 && back <= text.size(); ++back) {
    const unsigned char c = static_cast<unsigned char>(text[text.size() - back]);
    if ((c & 0xC0) == 0x80) continue;
    const size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
    return length > back ? text.size() - back : text.size();
  }
  return text.size();
}

std::string ProtectedFolderSddl(const std::string& account_sid) {
  // P: protected (no inherited entries); OICI: files and folders below
  // inherit the entry; FA: full control; SY, BA: SYSTEM, Administrators.
  return "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + account_sid + ")";
}

std::string WindowsCommandLine(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& arg : argv) {
    if (!line.empty()) line += ' ';
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
      line += arg;
      continue;
    }
    line += '"';
    size_t backslashes = 0;
    for (char c : arg) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      // Backslashes before a quote are doubled, and the quote escaped.
      line.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
      backslashes = 0;
      line += c;
    }
    // Before the closing quote, too.
    line.append(2 * backslashes, '\\');
    line += '"';
  }
  return line;
}

}  // namespace vaultrun
