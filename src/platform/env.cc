#include "platform/env.h"

namespace vaultrun {

Status ReadRest(File* file, std::string* contents) {
  contents->clear();
  char buf[65536];
  for (;;) {
    size_t n = 0;
    Status s = file->Read(buf, sizeof buf, &n);
    if (!s.ok()) return s;
    if (n == 0) break;
    contents->append(buf, n);
  }
  return file->Close();
}

}  // namespace vaultrun
