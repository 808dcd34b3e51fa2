#include "config/server_config.h"

#include <memory>
#include <utility>

#include "config/backup_folder.h"
#include "core/failure.h"
#include "core/report.h"
#include "platform/path_rules.h"
#include "platform/system.h"

namespace vaultrun {
namespace {

std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

void LowerAscii(std::string* text) {
  for (char& c : *text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

// A list cut at every comma; an empty list has no elements.
std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> parts;
  if (list.empty()) return parts;
  size_t start = 0;
  for (;;) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) {
      parts.push_back(list.substr(start));
      return parts;
    }
    parts.push_back(list.substr(start, comma - start));
    start = comma + 1;
  }
}

}  // namespace

ServerConfigValues ParseServerConfig(std::string_view text,
                                     const std::array<std::string, 4>& key_lists) {
  ServerConfigValues result;
  std::array<std::vector<std::string>, 4> lists;
  // The file's keys are matched without regard to letter case, so the
  // list's keys get the same lower-casing: "Char_DB" in a list finds
  // "Char_DB:" in the file. Nothing else is changed on either side.
  for (size_t k = 0; k < 4; ++k) {
    lists[k] = SplitList(key_lists[k]);
    for (std::string& element : lists[k]) LowerAscii(&element);
  }

  size_t pos = 0;
  size_t number = 0;
  while (pos < text.size()) {
    size_t lf = text.find('\n', pos);
    size_t end = lf == std::string_view::npos ? text.size() : lf;
    std::string_view line = text.substr(pos, end - pos);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);  // CR LF; a CR anywhere else is an ordinary character
    }
    pos = lf == std::string_view::npos ? text.size() : lf + 1;
    ++number;
    if (line.empty() || line.front() == '/') continue;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      result.unreadable_lines.push_back(number);
      continue;
    }
    std::string key(TrimSpaces(line.substr(0, colon)));
    LowerAscii(&key);
    std::string_view rest = line.substr(colon + 1);
    std::string_view value = TrimSpaces(rest.substr(0, rest.find(':')));
    for (size_t k = 0; k < 4; ++k) {
      for (const std::string& element : lists[k]) {
        if (element == key) {
          result.values[k] = std::string(value);
          break;
        }
      }
    }
  }
  return result;
}

std::string ConfigFilePath(const std::string& program_folder, const std::string& name, char sep) {
  if (sep == '\\' && PathRootLength(name, sep) >= 2) return name;
  return program_folder + sep + name;
}

bool ReadTextFile(Process& process, const std::string& path, std::string* out) {
  out->clear();
  // A folder at the path is no file, like a missing one: the caller's
  // "Can't open" entry is the only one.
  if (!process.env->Exists(path) || process.env->FolderExists(path)) return false;
  Status s = process.env->ReadFile(path, out);
  if (s.ok()) return true;
  out->clear();
  if (process.env->IsNotFound(s)) return false;
  WriteEventLogEntry(process, "Error:" + s.description(), kEventError);
  return false;
}

void LoadServerConfig(Process& process, const RunSettings& settings) {
  const char sep = process.env->Separator();
  std::string name = settings.config_filename;
  // A relative name is below the program folder even with a leading
  // separator; a Windows network share keeps both of its own.
  const bool share = sep == '\\' && name.starts_with("\\\\");
  if (!name.empty() && name.front() == sep && !share) name.erase(0, 1);
  process.ConfigFileName = name;
  process.KeyLists = settings.key_lists;

  const std::string path = ConfigFilePath(process.env->ProgramFolder(), name, sep);
  std::string text;
  if (!ReadTextFile(process, path, &text)) {
    const std::string message = "Error: Can't open " + path;
    throw Failure(kErrConfiguration, message, message);
  }
  // Windows editors write the ANSI code page; names inside are UTF-8.
  text = LocalTextToUtf8(text);
  ServerConfigValues found = ParseServerConfig(text, process.KeyLists);
  process.DbServer = found.values[kParamServer];
  process.DbName = found.values[kParamDatabase];
  process.DbUser = found.values[kParamUser];
  process.DbPassword = found.values[kParamPassword];

  const std::array<std::pair<const std::string*, const char*>, 4> checks = {{
      {&process.DbServer,
       "Can't find MySql IP (mysql_server_ip or login_server_ip) in inter_kelvane.conf"},
      {&process.DbUser,
       "Can't find MySql user (mysql_server_id or login_server_id) in inter_kelvane.conf"},
      {&process.DbPassword,
       "Can't find MySql pwd (mysql_server_pw or login_server_pw) in inter_kelvane.conf"},
      {&process.DbName,
       "Can't find MySql database name (mysql_char_db or login_server_db) in inter_kelvane.conf"},
  }};
  for (const auto& [value, message] : checks) {
    if (value->empty()) throw Failure(kErrConfiguration, message, message);
  }

  process.BackupFolder = GetBackupFolder(process, process.DbName);
  EnsureFolder(process, process.BackupFolder);
}

}  // namespace vaultrun
