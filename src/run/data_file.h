// Row serialization: one table's data result written to its data file, as
// SQL insert statements in batches of 20 rows (".sql") or as tab-separated
// values with a header line (".csv"). Rows are streamed: one row in memory,
// whatever the size of the table.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_buffer.h"
#include "core/process.h"
#include "platform/env.h"
#include "run/export_query.h"
#include "run/value_text.h"

namespace vaultrun {

// Rows per insert statement.
inline constexpr uint64_t kBatchRows = 20;
// An INSERT statement ends before a row would take it past this many bytes,
// half of a default server's max_allowed_packet; a single row larger than
// this still gets a statement of its own.
inline constexpr size_t kMaxStatementBytes = size_t{8} << 20;

// The data file's extension for a format_sql number.
inline const char* DataFileExtension(int32_t format_sql) {
  return format_sql == 0 ? ".csv" : ".sql";
}

// The name without one trailing alias suffix "___", when it has one.
std::string StripAliasSuffix(const std::string& name);

// True for the type codes whose values the SQL formats put in apostrophes.
bool IsQuotedType(int32_t type);

// The data file: created new (0600, never through a symbolic link),
// buffered, and optionally handed on to a second consumer as it is written
// (the archive entry, which is compressed while the file is written). With
// an empty path there is no file: the bytes go to the consumer only.
class DataFileWriter {
 public:
  // Gets each filled block after it is written to the file. It may take the
  // block and leave an empty one of its own in its place (so the bytes are
  // not copied again); whatever it leaves is cleared and filled next.
  using Tee = std::function<void(std::unique_ptr<ByteBuffer>* block)>;
  DataFileWriter(Env* env, std::string path, Tee tee = nullptr);
  ~DataFileWriter();  // closes a file still open, without reporting
  DataFileWriter(const DataFileWriter&) = delete;
  DataFileWriter& operator=(const DataFileWriter&) = delete;

  void Open();  // raises a Failure
  // The buffer the serializer writes to; MaybeFlush() after each row.
  ByteBuffer* buffer() { return block_.get(); }
  void MaybeFlush() {
    if (block_->size() >= kFlushBytes) Flush();
  }
  void Flush();  // raises a Failure
  void Close();  // flushes and closes; raises a Failure
  const std::string& path() const { return path_; }

 private:
  static constexpr size_t kFlushBytes = 1 << 20;
  Env* env_;
  std::string path_;
  Tee tee_;
  std::unique_ptr<File> file_;
  // Room for a row past the flush point without growing.
  std::unique_ptr<ByteBuffer> block_ = std::make_unique<ByteBuffer>(kFlushBytes + kFlushBytes / 4);
};

// What the tab-separated form of one table could not write as it was.
struct TabSeparatedLosses {
  // Values that hold a TAB, CR or LF, which the form cannot tell from its
  // separators.
  uint64_t split_values = 0;
  // NULLs of columns where an empty field restores as a value (or is
  // refused): the form writes both as an empty field.
  uint64_t nulls_as_empty = 0;
  bool any() const { return split_values > 0 || nulls_as_empty > 0; }
};

// Writes the data result in sets.TableResult to the data file at
// table_base_path + extension (no file when table_base_path is empty: the
// tee alone gets the bytes), and closes the result when it held a row.
// query is the data query's description from RunExportQuery (which columns
// are aliased, whether inserts must name the columns). Returns the number
// of rows written. Raises a Failure when the file cannot be created or
// written or a row cannot be read. In the tab-separated form the values it
// cannot hold are written as they stand and counted in *losses (when not
// null), for the run's one warning.
uint64_t WriteDataFile(Process& process, const std::string& table,
                       const std::string& table_base_path, RunRecordsets& sets, int32_t format_sql,
                       const std::string& format_insert, const DataQuery& query,
                       DataFileWriter::Tee tee = nullptr, TabSeparatedLosses* losses = nullptr);

}  // namespace vaultrun
