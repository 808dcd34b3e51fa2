// Permission bits of a file, so that a file replaced by a new copy keeps
// them. On Windows a file's access rules come from its folder and nothing
// needs copying.
#pragma once

#include <string>

namespace vaultrun {

// The permission bits of the regular file at path (0600 style); false on
// failure, or when path is a link or anything but a regular file.
bool GetFileMode(const std::string& path, int* mode);
// Sets the permission bits of the file at path, never through a link;
// false on failure.
bool SetFileMode(const std::string& path, int mode);

}  // namespace vaultrun
