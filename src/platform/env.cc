#include "platform/env.h"

#include <ctime>

namespace vaultrun {

int64_t Env::UnixTime() { return static_cast<int64_t>(std::time(nullptr)); }

int64_t Env::UnixTimeOf(const LocalTime& local) {
  std::tm tm{};
  tm.tm_year = local.year - 1900;
  tm.tm_mon = local.month - 1;
  tm.tm_mday = local.day;
  tm.tm_hour = local.hour;
  tm.tm_min = local.minute;
  tm.tm_sec = local.second;
  tm.tm_isdst = -1;  // the zone's rules decide
  return static_cast<int64_t>(std::mktime(&tm));
}

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
