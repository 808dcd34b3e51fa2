// Raw deflate with ISA-L, and a pipeline that compresses on a second thread
// while the caller goes on producing data.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/byte_buffer.h"
#include "platform/env.h"
#include "platform/status.h"

struct isal_zstream;
struct inflate_state;

namespace vaultrun {

// ISA-L level 2 with its default level buffer and window: as fast as the
// fetch from the server on a second thread, with archives within 10% of
// gzip -6 on SQL text. On the benchmark database's text, level 1 and the
// other level buffers came within 0.5% in size and 2% in instructions of
// it, level 3 was 5.6% smaller at 2.2 times the instructions, and smaller
// windows swung from 5% smaller to 24% larger with the data's layout.
inline constexpr int kDeflateLevel = 2;

// Receives compressed bytes in order.
using DeflateSink = std::function<Status(const char* data, size_t n)>;

// One raw deflate stream (no zlib or gzip wrapper), as a zip entry holds it.
class RawDeflater {
 public:
  // level is ISA-L's 0..3.
  explicit RawDeflater(int level = kDeflateLevel);
  ~RawDeflater();
  RawDeflater(const RawDeflater&) = delete;
  RawDeflater& operator=(const RawDeflater&) = delete;

  // Compresses n bytes, passing whatever output is ready to sink.
  Status Add(const char* data, size_t n, const DeflateSink& sink);
  // Ends the stream and passes the remaining output to sink.
  Status Finish(const DeflateSink& sink);
  // The CRC-32 of the bytes compressed so far, summed by the compressor.
  uint32_t crc() const;

 private:
  static constexpr size_t kOutSize = 256 * 1024;
  static constexpr size_t kTrailer = 8;
  Status Run(const DeflateSink& sink, bool end);
  std::unique_ptr<isal_zstream> stream_;
  std::vector<uint8_t> level_buf_;
  // kTrailer bytes for output held back, then room for kOutSize.
  std::vector<uint8_t> out_;
  size_t held_ = 0;
};

// CRC-32 (the zip/gzip polynomial), continuing from crc.
uint32_t Crc32(uint32_t crc, const char* data, size_t n);

// Inflates a raw deflate stream fed in pieces, with ISA-L's inflate (a
// decoder apart from the deflate that writes it), to prove what it decodes
// to. It also keeps the CRC-32 of the deflated bytes themselves, so that a
// stored copy of a stream proven once can be compared with it later without
// inflating it again.
class InflateCheck {
 public:
  InflateCheck();
  ~InflateCheck();
  InflateCheck(const InflateCheck&) = delete;
  InflateCheck& operator=(const InflateCheck&) = delete;

  // Feeds the next n deflated bytes. Fails on damaged data or on bytes after
  // the stream's last block.
  Status Add(const char* data, size_t n);
  // Whether the stream has ended, and what it decoded to so far.
  bool finished() const { return finished_; }
  uint64_t size() const { return size_; }
  uint32_t crc() const;
  // The deflated bytes fed so far.
  uint64_t deflated_size() const { return deflated_size_; }
  uint32_t deflated_crc() const { return deflated_crc_; }

 private:
  std::unique_ptr<inflate_state> state_;
  std::vector<uint8_t> out_;
  uint64_t size_ = 0;
  uint64_t deflated_size_ = 0;
  uint32_t deflated_crc_ = 0;
  bool finished_ = false;
};

// Deflates the caller's bytes on a second thread, which hands the compressed
// bytes to the sink. The bytes travel in blocks: a producer that builds its
// text in a block hands the block over whole (Submit) and gets an empty one
// back, so nothing is copied on the way; Write copies for other callers.
// With the producer's own, at most kBuffers blocks are in use, so memory
// stays bounded whatever the amount of data; blocks are made as they are
// needed and reused. The sink is only called on the second thread, and never after
// Finish() or Cancel() returns. Given an Env, the second thread runs at a
// lower priority (Env::LowerThreadPriority): the queue lets it fall behind
// the producer for a moment, and the producer, which reads from the server,
// keeps its core.
class CompressingWriter {
 public:
  using Block = std::unique_ptr<ByteBuffer>;
  static constexpr size_t kBuffers = 8;
  // The size of the blocks Write hands on; the blocks Submit gives back
  // have room for a row more.
  static constexpr size_t kBufferSize = size_t{1} << 20;
  static constexpr size_t kBlockCapacity = kBufferSize + kBufferSize / 4;
  static constexpr size_t kBlocksPerWake = 2;

  CompressingWriter(int level, DeflateSink sink, Env* env = nullptr);
  ~CompressingWriter();  // Cancel()
  CompressingWriter(const CompressingWriter&) = delete;
  CompressingWriter& operator=(const CompressingWriter&) = delete;

  // Queues a copy of n bytes; waits while every block is in use. Returns the
  // first failure of the compressor or the sink as soon as it is known.
  Status Write(const char* data, size_t n);
  // Queues the bytes of *block without copying them and leaves an empty
  // block in its place (always, also on failure); waits while every block
  // is in use.
  Status Submit(Block* block);
  // Compresses what is left, ends the stream and stops the thread.
  // *crc and *total describe the uncompressed bytes.
  Status Finish(uint32_t* crc, uint64_t* total);
  // Stops the thread and drops what is queued. Never fails.
  void Cancel() noexcept;

 private:
  void Work(int level, Env* env);
  Status Failed();
  // Queues *block and puts an empty one in its place.
  Status Queue(Block* block);

  DeflateSink sink_;
  std::mutex mu_;
  std::condition_variable work_cv_;  // the worker waits for blocks
  std::condition_variable free_cv_;  // the producer waits for a free block
  std::vector<Block> free_;          // guarded by mu_
  std::deque<Block> full_;           // guarded by mu_
  bool in_work_ = false;             // guarded by mu_: the worker holds a block
  bool ending_ = false;              // guarded by mu_: no more input
  bool stop_ = false;                // guarded by mu_: drop everything
  bool done_ = false;                // guarded by mu_: the worker ended
  Status error_;                     // guarded by mu_
  uint32_t crc_ = 0;                 // written by the worker
  uint64_t total_ = 0;               // written by the producer
  Block current_;                    // the producer's block for Write
  std::thread worker_;
};

}  // namespace vaultrun
