// The game server's own configuration file, where the program finds its
// database: "key: value" lines, read with the settings' key lists.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "core/process.h"

namespace vaultrun {

// Indexes of the four connection parameters and of their key lists.
enum ServerParam : size_t {
  kParamServer = 0,    // key list setting "field_ip"
  kParamDatabase = 1,  // "field_database"
  kParamUser = 2,      // "field_username"
  kParamPassword = 3,  // "field_password"
};

struct ServerConfigValues {
  std::array<std::string, 4> values;     // by ServerParam; empty when not found
  std::vector<size_t> unreadable_lines;  // 1-based numbers of lines without a colon
};

// Reads the four parameters from the file's text. Lines end at CR LF or LF;
// empty lines and lines beginning with "/" are skipped. The key (before the
// first colon, spaces cut, lower-cased) is looked up in each comma-separated
// key list; the value (up to a second colon, spaces cut) of the last
// matching line counts.
ServerConfigValues ParseServerConfig(std::string_view text,
                                     const std::array<std::string, 4>& key_lists);

// The configuration file's path for ConfigFileName: below the program
// folder, except that with the separator '\' a name that begins with a
// drive letter ("D:\Games\...") or a network share ("\\server\share\...")
// names the file itself (joined to the program folder it could only fail).
std::string ConfigFilePath(const std::string& program_folder, const std::string& name, char sep);

// The whole file at path into *out. False without an entry when there is no
// such file; false after an error entry when it exists but cannot be read.
bool ReadTextFile(Process& process, const std::string& path, std::string* out);

// Fills the connection parameters, the configuration file name, the key
// lists and the backup folder (created when missing), from the settings'
// file name and key lists. Raises a Failure, whose entry is the message as
// the configuration step writes it, when the file cannot be read or a
// parameter is missing.
void LoadServerConfig(Process& process, const RunSettings& settings);

}  // namespace vaultrun
