// Windows files take their access rules from the folder that holds them: a
// copy made beside the original gets the same rules without any copying.
#include <windows.h>

#include "platform/env.h"
#include "platform/file_mode.h"

namespace vaultrun {

bool GetFileMode(const std::string&, int* mode) {
  *mode = 0600;
  return true;
}

bool SetFileMode(const std::string&, int) { return true; }

Status ReadPrivateFile(Env* env, const std::string& path, size_t limit, std::string* contents,
                       std::string* exposure) {
  exposure->clear();
  Status s = env->ReadFile(path, contents);
  if (s.ok() && contents->size() > limit) {
    contents->clear();
    return Status::Error(ERROR_FILE_TOO_LARGE,
                         "read " + path + ": larger than " + std::to_string(limit) + " bytes");
  }
  return s;
}

}  // namespace vaultrun
