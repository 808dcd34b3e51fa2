// Permission bits of a file, so that a file replaced by a new copy keeps
// them. On Windows a file's access rules come from its folder and nothing
// needs copying.
#pragma once

#include <cstddef>
#include <string>

#include "platform/status.h"

namespace vaultrun {

class Env;

// The permission bits of the regular file at path (0600 style); false on
// failure, or when path is a link or anything but a regular file.
bool GetFileMode(const std::string& path, int* mode);
// Sets the permission bits of the file at path, never through a link;
// false on failure.
bool SetFileMode(const std::string& path, int mode);

// Reads the regular file at path (never through a link, at most limit
// bytes: a longer file fails) into *contents, and says in *exposure who
// besides its owner may read or change it: on POSIX a permission bit for
// group or others, or an owner other than this user and root ("" when
// neither). Both come from the one open file. On Windows, where files
// take their folder's rules, *exposure is always "". A missing file gives
// the Status that env->IsNotFound takes.
Status ReadPrivateFile(Env* env, const std::string& path, size_t limit, std::string* contents,
                       std::string* exposure);

}  // namespace vaultrun
