#include "archive/deflate.h"

#include <isa-l.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace vaultrun {
namespace {

// The decoder keeps its 32 KiB window by copying it at every call: a larger
// output buffer means fewer calls and fewer copies.
constexpr size_t kInflateOutSize = 1024 * 1024;

size_t LevelBufSize(int level) {
  switch (level) {
    case 1:
      return ISAL_DEF_LVL1_DEFAULT;
    case 2:
      return ISAL_DEF_LVL2_DEFAULT;
    case 3:
      return ISAL_DEF_LVL3_DEFAULT;
    default:
      return 0;
  }
}

}  // namespace

RawDeflater::RawDeflater(int level)
    : stream_(std::make_unique<isal_zstream>()),
      level_buf_(LevelBufSize(level)),
      out_(kTrailer + kOutSize) {
  isal_deflate_init(stream_.get());
  stream_->level = static_cast<uint32_t>(level);
  stream_->level_buf = level_buf_.empty() ? nullptr : level_buf_.data();
  stream_->level_buf_size = static_cast<uint32_t>(level_buf_.size());
  // The gzip form without its header: the compressor sums the input as it
  // goes, and the stream ends in the trailer, which is held back.
  stream_->gzip_flag = IGZIP_GZIP_NO_HDR;
  stream_->flush = NO_FLUSH;
  stream_->end_of_stream = 0;
}

RawDeflater::~RawDeflater() = default;

uint32_t RawDeflater::crc() const { return stream_->internal_state.crc; }

Status RawDeflater::Run(const DeflateSink& sink, bool end) {
  isal_zstream* s = stream_.get();
  s->end_of_stream = end ? 1 : 0;
  for (;;) {
    // The output lands after the bytes held back from the last call, and
    // all but its last kTrailer bytes go on.
    uint8_t* const out = out_.data() + kTrailer;
    s->next_out = out;
    s->avail_out = static_cast<uint32_t>(kOutSize);
    int r = isal_deflate(s);
    if (r != COMP_OK) {
      return Status::Error(EIO, "compress: ISA-L deflate failed with code " + std::to_string(r));
    }
    const size_t ready = held_ + (kOutSize - s->avail_out);
    if (ready > kTrailer) {
      Status st = sink(reinterpret_cast<const char*>(out - held_), ready - kTrailer);
      if (!st.ok()) return st;
    }
    const size_t keep = ready < kTrailer ? ready : kTrailer;
    std::memmove(out - keep, out - held_ + (ready - keep), keep);
    held_ = keep;
    bool finished = end ? s->internal_state.state == ZSTATE_END : s->avail_in == 0;
    if (finished && s->avail_out != 0) break;
  }
  if (!end) return Status::OK();
  // What is held back now is the trailer: the input's CRC-32 and size.
  uint32_t crc_in_trailer = 0;
  for (int i = kTrailer / 2 - 1; i >= 0; --i) {
    crc_in_trailer = (crc_in_trailer << 8) | out_[kTrailer - held_ + i];
  }
  if (held_ != kTrailer || crc_in_trailer != crc()) {
    return Status::Error(EIO, "compress: the stream's trailer disagrees with its input");
  }
  return Status::OK();
}

Status RawDeflater::Add(const char* data, size_t n, const DeflateSink& sink) {
  // avail_in is 32 bits wide.
  constexpr size_t kStep = size_t{1} << 30;
  while (n > 0) {
    size_t step = n < kStep ? n : kStep;
    stream_->next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(data));
    stream_->avail_in = static_cast<uint32_t>(step);
    Status s = Run(sink, false);
    if (!s.ok()) return s;
    data += step;
    n -= step;
  }
  return Status::OK();
}

Status RawDeflater::Finish(const DeflateSink& sink) {
  stream_->next_in = nullptr;
  stream_->avail_in = 0;
  return Run(sink, true);
}

uint32_t Crc32(uint32_t crc, const char* data, size_t n) {
  return crc32_gzip_refl(crc, reinterpret_cast<const unsigned char*>(data), n);
}

InflateCheck::InflateCheck() : state_(std::make_unique<inflate_state>()), out_(kInflateOutSize) {
  isal_inflate_init(state_.get());
  // The stream's CRC-32 is kept by the decoder as it goes.
  state_->crc_flag = ISAL_GZIP_NO_HDR;
}

InflateCheck::~InflateCheck() = default;

uint32_t InflateCheck::crc() const { return state_->crc; }

Status InflateCheck::Add(const char* data, size_t n) {
  deflated_crc_ = Crc32(deflated_crc_, data, n);
  deflated_size_ += n;
  inflate_state* s = state_.get();
  // avail_in is 32 bits wide.
  constexpr size_t kStep = size_t{1} << 30;
  while (n > 0) {
    if (finished_) return Status::Error(EINVAL, "inflate: bytes after the end of the stream");
    size_t step = n < kStep ? n : kStep;
    s->next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(data));
    s->avail_in = static_cast<uint32_t>(step);
    for (;;) {
      s->next_out = out_.data();
      s->avail_out = static_cast<uint32_t>(out_.size());
      if (isal_inflate(s) != ISAL_DECOMP_OK) {
        return Status::Error(EINVAL, "inflate: the deflated data is damaged");
      }
      size_ += out_.size() - s->avail_out;
      finished_ = s->block_state == ISAL_BLOCK_FINISH;
      if (finished_ || (s->avail_in == 0 && s->avail_out != 0)) break;
    }
    // The decoder reads ahead into a bit buffer: whole bytes left there at
    // the end are bytes after the stream too.
    if (finished_ && (s->avail_in != 0 || s->read_in_length >= 8)) {
      return Status::Error(EINVAL, "inflate: bytes after the end of the stream");
    }
    data += step;
    n -= step;
  }
  return Status::OK();
}

CompressingWriter::CompressingWriter(int level, DeflateSink sink, Env* env)
    : sink_(std::move(sink)) {
  worker_ = std::thread([this, level, env] { Work(level, env); });
}

CompressingWriter::~CompressingWriter() { Cancel(); }

void CompressingWriter::Work(int level, Env* env) {
  if (env != nullptr) env->LowerThreadPriority();
  RawDeflater deflater(level);
  Status status;
  for (;;) {
    Block block;
    {
      std::unique_lock<std::mutex> lock(mu_);
      work_cv_.wait(lock, [this] { return stop_ || ending_ || !full_.empty(); });
      if (stop_) break;
      if (full_.empty()) {  // ending_ and drained: close the stream
        lock.unlock();
        if (status.ok()) status = deflater.Finish(sink_);
        lock.lock();
        if (error_.ok()) error_ = status;
        break;
      }
      block = std::move(full_.front());
      full_.pop_front();
      in_work_ = true;
    }
    if (status.ok()) status = deflater.Add(block->data(), block->size(), sink_);
    block->clear();
    // A block that grew for a very large row is not kept.
    if (block->capacity() > 2 * kBlockCapacity) block.reset();
    std::lock_guard<std::mutex> lock(mu_);
    if (!status.ok() && error_.ok()) error_ = status;
    in_work_ = false;
    if (block) free_.push_back(std::move(block));
    free_cv_.notify_one();
  }
  std::lock_guard<std::mutex> lock(mu_);
  crc_ = deflater.crc();
  done_ = true;
  free_cv_.notify_one();
}

Status CompressingWriter::Failed() {
  std::lock_guard<std::mutex> lock(mu_);
  return error_;
}

Status CompressingWriter::Queue(Block* block) {
  std::unique_lock<std::mutex> lock(mu_);
  // The producer holds one block: kBuffers - 1 may be queued or in work.
  free_cv_.wait(lock, [this] {
    return full_.size() + (in_work_ ? 1 : 0) + 1 < kBuffers || !error_.ok() || stop_ || done_;
  });
  if (error_.ok() && !stop_ && !done_ && !(*block)->empty()) {
    total_ += (*block)->size();
    full_.push_back(std::move(*block));
    // The worker is woken for two blocks at a time (a busy worker takes the
    // next one without being woken): half the wake-ups of one a block.
    if (full_.size() >= kBlocksPerWake) work_cv_.notify_one();
    if (!free_.empty()) {
      *block = std::move(free_.back());
      free_.pop_back();
    }
  }
  Status status = error_;
  lock.unlock();
  // Blocks are made only when none is free: while the worker keeps up, two
  // or three serve a whole table.
  if (*block == nullptr) *block = std::make_unique<ByteBuffer>(kBlockCapacity);
  (*block)->clear();
  return status;
}

Status CompressingWriter::Submit(Block* block) {
  // Bytes copied in by Write go first.
  if (current_ != nullptr && !current_->empty()) {
    Status s = Queue(&current_);
    if (!s.ok()) {
      (*block)->clear();
      return s;
    }
  }
  return Queue(block);
}

Status CompressingWriter::Write(const char* data, size_t n) {
  if (current_ == nullptr) current_ = std::make_unique<ByteBuffer>(kBlockCapacity);
  while (n > 0) {
    size_t room = kBufferSize - current_->size();
    size_t step = n < room ? n : room;
    current_->Append(data, step);
    data += step;
    n -= step;
    if (current_->size() == kBufferSize) {
      Status s = Queue(&current_);
      if (!s.ok()) return s;
    }
  }
  return Failed();
}

Status CompressingWriter::Finish(uint32_t* crc, uint64_t* total) {
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (current_ != nullptr && !current_->empty() && error_.ok()) {
      total_ += current_->size();
      full_.push_back(std::move(current_));
    }
    ending_ = true;
    work_cv_.notify_one();
    free_cv_.wait(lock, [this] { return done_; });
  }
  if (worker_.joinable()) worker_.join();
  std::lock_guard<std::mutex> lock(mu_);
  *crc = crc_;
  *total = total_;
  return error_;
}

void CompressingWriter::Cancel() noexcept {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    work_cv_.notify_one();
  }
  if (worker_.joinable()) worker_.join();
}

}  // namespace vaultrun
