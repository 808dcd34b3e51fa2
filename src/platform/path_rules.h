// Decisions about names and paths that differ between the file systems the
// program runs on. They are pure functions, compiled on every platform, so
// that each platform's rules are tested on either; Env and the Windows
// implementation files apply them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vaultrun {

// True when a and b are the same text but for the case of ASCII letters,
// as Windows compares names (and MariaDB option groups).
bool EqualsNoCase(std::string_view a, std::string_view b);

// True when name can be one file name inside a folder on POSIX: not empty,
// not "." or "..", no '/' or '\' (kept out on every platform, so a name
// never reaches another folder) and no NUL.
bool IsUsablePosixFileName(std::string_view name);

// True when Windows stores a file of that name as itself: the POSIX rules,
// and no control character, none of : * ? " < > | (':' would write into an
// NTFS alternate data stream of another file), no trailing dot or space
// (Windows drops them), and no device name (CON, PRN, AUX, NUL, COM1-9,
// LPT1-9, CONIN$, CONOUT$) in any case, with or without an extension.
bool IsUsableWindowsFileName(std::string_view name);

// True for the reparse tags that redirect a path elsewhere: symbolic links
// and junctions (mount points). Other reparse points (deduplicated,
// cloud-tiered or OneDrive placeholder files) hold the file's own data.
bool IsRedirectingReparseTag(uint32_t tag);

// The path in the extended-length form ("\\?\C:\..." or
// "\\?\UNC\server\share\...") that Windows accepts beyond 260
// characters, for a full path (absolute, backslashes, no "." or ".."
// levels); other paths and paths already in that form come back unchanged.
std::string ExtendedLengthPath(const std::string& full_path);

// The length of the part of a folder path that names where the path starts
// and is never created: "/" (1), "C:\" (3, "C:/" with the separator '/'),
// "\\server\share\" and the extended-length forms of both; 0 when the path
// has no such part.
size_t PathRootLength(std::string_view path, char separator);

// True when a full path names a place on a network share: "\\server\..."
// or "\\?\UNC\server\..." (not the local device forms "\\?\C:\...",
// "\\.\..."). A drive letter mapped to a share is not told from the path.
bool IsNetworkSharePath(std::string_view full_path);

// True when text is well-formed UTF-8 (ASCII text is).
bool IsUtf8(std::string_view text);

// The length of text without a UTF-8 character cut off at its end (the
// whole length when none is): where text that arrives in pieces can be
// converted up to.
size_t Utf8CompleteLength(std::string_view text);

// The security descriptor, in SDDL, of the program's new folders on
// Windows: a protected DACL (nothing inherited from the parent) that gives
// full control to SYSTEM, the Administrators and the account whose SID
// (e.g. "S-1-5-21-...") is given, to the folder and everything created in it.
std::string ProtectedFolderSddl(const std::string& account_sid);

// The command line that hands argv to a Windows program unchanged, as the
// C runtime's and CommandLineToArgvW's parsing splits it: an argument with
// a blank, a tab or a quote (or an empty one) is quoted, a quote inside is
// escaped, and backslashes are doubled only where they precede a quote.
std::string WindowsCommandLine(const std::vector<std::string>& argv);

}  // namespace vaultrun
