// The line structure of the two data forms, checked while they stream:
// both end every line with CR LF (values never hold a raw CR or LF in the
// SQL form). The tab-separated form starts with a header line naming the
// columns, each name followed by a TAB, and every row has one field per
// column, each followed by a TAB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vaultrun::restore {

// Cuts a stream into lines ending in CR LF. Add() the stream's chunks, take
// whole lines with Next(), and call Finish() at the end.
class LineSplitter {
 public:
  void Add(std::string_view chunk);
  // The next whole line without its CR LF, valid until the next call of
  // any method; false when no whole line is buffered.
  bool Next(std::string_view* line);
  // True when the stream ended after a whole line (nothing is left over).
  bool Finish() const { return start_ == buffer_.size(); }
  // The number of lines returned so far (the last line's number).
  uint64_t line_number() const { return line_number_; }
  // A line whose end has not come within limit bytes is refused as soon as
  // the buffer passes that: Next() returns false from then on and
  // too_long() is true.
  void set_limit(size_t limit) { limit_ = limit; }
  bool too_long() const { return too_long_; }
  size_t limit() const { return limit_; }

 private:
  std::vector<char> buffer_;
  size_t limit_ = SIZE_MAX;
  bool too_long_ = false;
  size_t start_ = 0;  // where the next line begins
  size_t scan_ = 0;   // where the search for its end resumes
  uint64_t line_number_ = 0;
};

// Checks the tab-separated form line by line and passes on whole lines
// that are sound, so that the server never sees a bad or partial row.
class TabSeparatedChecker {
 public:
  // Lines longer than this are refused (see LineSplitter::set_limit).
  void set_limit(size_t limit) { lines_.set_limit(limit); }
  // Adds a chunk of the stream; false (and error()) at the first bad line.
  bool Add(std::string_view chunk);
  // At the end of the stream; false when it ends inside a line.
  bool Finish();
  // Checked bytes, whole lines with their CR LF, ready for the server. The
  // caller consumes them (erases what it has passed on).
  std::string& ready() { return ready_; }

  // The header's column names, known after its line.
  const std::vector<std::string>& columns() const { return columns_; }
  bool has_header() const { return header_done_; }
  uint64_t rows() const { return rows_; }
  const std::string& error() const { return error_; }

 private:
  bool Check(std::string_view line);

  LineSplitter lines_;
  std::string ready_;
  std::vector<std::string> columns_;
  bool header_done_ = false;
  uint64_t rows_ = 0;
  std::string error_;
};

}  // namespace vaultrun::restore
