// The vaultrun-restore command line: options as MariaDB's own clients take
// them, parsed from argv-like text, and the command run with the console
// and the terminal services that the process entry hands in.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "restore/connection.h"
#include "restore/restore.h"

namespace vaultrun::restore {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

struct CommandLine {
  ConnectOptions connect;
  bool prompt_password = false;  // --password / -p without a value
  bool password_on_command_line = false;
  bool help = false;
  bool version = false;
  bool verify = false;
  bool force = false;
  bool allow_incomplete = false;   // restore an archive without its mark
  bool list = false;               // --list [FOLDER]
  bool deep = false;               // --list: decompress every entry
  bool json = false;               // --list: JSON for scripts
  bool show_definitions = false;   // print the definitions and their digest
  bool unauthenticated = false;    // rows of an archive not authenticated
  std::string key_file;            // --key-file FILE
  std::string trust_definitions;   // --trust-definitions=DIGEST
  bool allow_triggers = false;     // --allow-triggers
  std::optional<Account> definer;  // --definer=USER@HOST
  std::string archive;
  std::string database;
  std::string source_database;
  std::vector<std::string> tables;
  std::string list_folder;  // --list's folder; empty: the installed one
};

// The command line after the program name, or what is wrong with it in
// *error (a usage error). The options are one table in command.cc: an
// option more is one row there.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string* error);

std::string HelpText();

// An account as --definer takes it: USER@HOST, each part bare or quoted
// ('...', `...` or "..."). Nothing (and *error) when it is not one.
std::optional<Account> ParseAccount(const std::string& text, std::string* error);

// What the process entry provides.
struct Terminal {
  // The platform services (the option files, and an archive fetched from
  // a remote, are read through it).
  Env* env = nullptr;
  Console console;
  // Reads a password from the terminal without echo; nothing when there is
  // no terminal.
  std::function<std::optional<std::string>(const std::string& prompt)> read_password;
  // A scratch database name unique to this process and time.
  std::function<std::string()> scratch_name;
  // This installation's archive key, as stored (never made here); without
  // it, only --key-file gives a key.
  std::function<ArchiveKeyResult()> installation_key;
  // Where an archive fetched from an rclone remote is kept while the
  // command runs.
  std::string temp_folder;
};

// Runs the command and returns the exit status.
int RunRestoreCommand(const std::vector<std::string>& args, const Terminal& terminal);

}  // namespace vaultrun::restore
