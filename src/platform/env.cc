#include "platform/env.h"

namespace vaultrun {

Status Env::TruncateFile(const std::string& path, uint64_t length) {
  std::unique_ptr<File> file;
  Status s = OpenFile(path, OpenMode::kReadWrite, 0, &file);
  if (!s.ok()) return s;
  s = file->Truncate(length);
  if (!s.ok()) return s;
  return file->Close();
}

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

void AppendTail(std::string* tail, uint64_t* total, const char* data, size_t n, size_t limit) {
  *total += n;
  if (n >= limit) {
    tail->assign(data + (n - limit), limit);
    return;
  }
  tail->append(data, n);
  if (tail->size() > limit) tail->erase(0, tail->size() - limit);
}

}  // namespace vaultrun
