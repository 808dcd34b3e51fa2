// The content check of a verify: each table restored into the scratch
// database is exported again with the backup run's own export code (the
// same queries and the same serializer, into memory) and compared with the
// archive's entry as a multiset of rows: byte for byte while the rows come
// in the same order, by row otherwise.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "archive/reader.h"
#include "restore/connection.h"
#include "restore/data_lines.h"

namespace vaultrun::restore {

// Splits a data entry's bytes into rows: the lines after the header of the
// tab-separated form, the value tuples "(...)" of the SQL form's insert
// lines. A line whose shape is not the exporter's is one row as a whole.
class RowSplitter {
 public:
  explicit RowSplitter(DataForm form) : form_(form) {}
  void Add(std::string_view chunk) { lines_.Add(chunk); }
  // The next whole row, valid until the next call of any method.
  bool Next(std::string_view* row);

 private:
  bool NextTuple(std::string_view* row);

  DataForm form_;
  LineSplitter lines_;
  bool header_done_ = false;
  std::string line_;  // the SQL line whose tuples are being handed out
  size_t at_ = std::string::npos;
};

// The row with the text of each FLOAT column (floats, by position) as the
// bits of the float the server stores from it, so that the six-digit text
// of archives of older runs and the exact text of newer ones compare by
// value. The SQL form's row is a tuple "(...)"; a row of another shape
// comes back as it is.
std::string FloatsByValue(std::string_view row, DataForm form, const std::vector<bool>& floats);

// Where the value tuples of an SQL form line begin (after "insert into
// `t` (`a`,...) values "), or npos when the line is not of that shape.
size_t TuplesStart(std::string_view line);

// Compares the scratch database's tables (restored from reader's entries)
// with the entries; connects alike to connection, in the archive's time
// zone (zone, "" for the server's). One line per table that differs,
// naming the table and the first differing row.
std::vector<std::string> CompareContent(ArchiveReader& reader,
                                        const std::vector<DataEntry>& entries,
                                        const Connection& connection,
                                        const std::string& scratch_database,
                                        const std::string& zone);

}  // namespace vaultrun::restore
