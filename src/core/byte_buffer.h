// A growable byte buffer for text that is built by writing through a
// pointer: Reserve the most a piece can take, write it, then CommitTo where
// the writing ended. New room is not zero-filled, and the buffer can be
// handed whole from one thread to another, so that bytes are written once
// and not copied again on their way.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace vaultrun {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  explicit ByteBuffer(size_t capacity) { Grow(capacity); }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  const char* data() const { return data_.get(); }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return {data_.get(), size_}; }
  void clear() { size_ = 0; }

  // Room for at least n more bytes after the end; returns where they go.
  // Pointers into the buffer stay valid until the next Reserve or Append.
  char* Reserve(size_t n) {
    if (capacity_ - size_ < n) Grow(n);
    return data_.get() + size_;
  }
  // Marks everything up to end (within the room Reserve gave) as written.
  void CommitTo(const char* end) { size_ = static_cast<size_t>(end - data_.get()); }

  void Append(const char* p, size_t n) {
    std::memcpy(Reserve(n), p, n);
    size_ += n;
  }
  void Append(std::string_view s) { Append(s.data(), s.size()); }
  void Append(char c) {
    *Reserve(1) = c;
    ++size_;
  }
  // Replaces the `erase` bytes at `at` with `insert`, moving what follows.
  void Splice(size_t at, size_t erase, std::string_view insert) {
    const size_t tail = size_ - at - erase;
    Reserve(insert.size());
    char* p = data_.get() + at;
    std::memmove(p + insert.size(), p + erase, tail);
    std::memcpy(p, insert.data(), insert.size());
    size_ = at + insert.size() + tail;
  }

 private:
  // Doubles at least, keeping the bytes written.
  void Grow(size_t n) {
    size_t want = capacity_ * 2 > size_ + n ? capacity_ * 2 : size_ + n;
    auto bigger = std::make_unique_for_overwrite<char[]>(want);
    if (size_ > 0) std::memcpy(bigger.get(), data_.get(), size_);
    data_ = std::move(bigger);
    capacity_ = want;
  }

  std::unique_ptr<char[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace vaultrun
