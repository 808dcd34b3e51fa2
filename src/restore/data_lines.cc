#include "restore/data_lines.h"

#include <algorithm>
#include <cstring>

namespace vaultrun::restore {

void LineSplitter::Add(std::string_view chunk) {
  // Drop what was handed out before growing the buffer.
  if (start_ > 0) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    scan_ -= start_;
    start_ = 0;
  }
  if (too_long_) return;
  // Grow by doubling, but not far past the limit: a line longer than it is
  // refused anyway, and a doubling there would take twice the memory (a
  // vector, unlike a string, reserves exactly what it is asked for).
  size_t needed = buffer_.size() + chunk.size();
  if (needed > buffer_.capacity()) {
    size_t slack = chunk.size() + 2;
    size_t bound = limit_ > SIZE_MAX - slack ? SIZE_MAX : limit_ + slack;
    size_t grown = std::min(buffer_.capacity() * 2, bound);
    // Near the limit, straight to it: one more doubling would copy nearly
    // the whole limit into a block of its own.
    if (grown > bound / 2) grown = bound;
    buffer_.reserve(std::max(needed, grown));
  }
  buffer_.insert(buffer_.end(), chunk.begin(), chunk.end());
}

bool LineSplitter::Next(std::string_view* line) {
  if (too_long_) return false;
  while (scan_ < buffer_.size()) {
    const char* base = buffer_.data();
    const void* found = std::memchr(base + scan_, '\n', buffer_.size() - scan_);
    if (found == nullptr) {
      scan_ = buffer_.size();
      break;
    }
    size_t lf = static_cast<size_t>(static_cast<const char*>(found) - base);
    scan_ = lf + 1;
    // A bare LF is part of a value (the tab-separated form does not escape).
    if (lf == start_ || base[lf - 1] != '\r') continue;
    *line = std::string_view(base + start_, lf - 1 - start_);
    start_ = lf + 1;
    ++line_number_;
    return true;
  }
  // Memory stays bounded: a line is refused once it passes the limit, not
  // after it has been read whole.
  too_long_ = buffer_.size() - start_ > limit_;
  return false;
}

bool TabSeparatedChecker::Add(std::string_view chunk) {
  if (!error_.empty()) return false;
  lines_.Add(chunk);
  std::string_view line;
  while (lines_.Next(&line)) {
    if (!Check(line)) return false;
    ready_.append(line);
    ready_.append("\r\n");
  }
  if (lines_.too_long()) {
    error_ = "line " + std::to_string(lines_.line_number() + 1) + " is longer than " +
             std::to_string(lines_.limit()) + " bytes";
    return false;
  }
  return true;
}

bool TabSeparatedChecker::Finish() {
  if (!error_.empty()) return false;
  if (!lines_.Finish()) {
    error_ = "line " + std::to_string(lines_.line_number() + 1) +
             " is cut short (the data ends without CR LF)";
    return false;
  }
  if (!header_done_) {
    error_ = "no header line";
    return false;
  }
  return true;
}

bool TabSeparatedChecker::Check(std::string_view line) {
  size_t tabs = static_cast<size_t>(std::count(line.begin(), line.end(), '\t'));
  bool terminated = !line.empty() && line.back() == '\t';
  if (!header_done_) {
    if (!terminated) {
      error_ = "line 1: not a header line (column names each followed by a TAB)";
      return false;
    }
    size_t from = 0;
    for (size_t tab = line.find('\t'); tab != std::string_view::npos; tab = line.find('\t', from)) {
      columns_.emplace_back(line.substr(from, tab - from));
      from = tab + 1;
    }
    header_done_ = true;
    return true;
  }
  if (tabs != columns_.size() || !terminated) {
    size_t fields = terminated ? tabs : tabs + 1;
    error_ = "line " + std::to_string(lines_.line_number()) + ": " + std::to_string(fields) +
             " fields where the header has " + std::to_string(columns_.size()) +
             " (a value holding a TAB or CR LF cannot be restored from the tab-separated form)";
    return false;
  }
  ++rows_;
  return true;
}

}  // namespace vaultrun::restore
