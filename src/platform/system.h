// Process-wide platform services of both programs: hardening at start, the
// command line, the text encoding of the game server's files and where the
// database client library reads its option files.
#pragma once

#include <string>
#include <vector>

namespace vaultrun {

// First thing in main(): on Windows, DLLs load from the system folder only
// (never one planted beside the program) and a missing or empty drive fails
// a call instead of showing a dialog that would block an unattended run.
// Nothing to do on POSIX.
void PrepareProcess();

// The command-line arguments after the program's name, in UTF-8. Windows
// hands them over in UTF-16 (argv holds them in the ANSI code page, which
// cannot hold every name); POSIX passes argv as it is.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// Text of a file that other programs of this machine wrote (the game
// server's configuration file) in UTF-8. Windows programs write the ANSI
// code page; text that already is UTF-8 (with or without a byte-order mark)
// stays as it is. POSIX text is returned unchanged.
std::string LocalTextToUtf8(const std::string& text);

// The one option file the database client library is told to read, or
// empty when it reads its standard ones. On Windows the library's standard
// list includes the program's own folder, where anyone allowed to drop a
// file there could point the backup at another server; only the Windows
// folder's my.ini (which only administrators can change) is read there.
std::string ClientOptionFile();

// The help text's paragraph on where unset connection options come from.
std::string ClientOptionFilesText();

}  // namespace vaultrun
