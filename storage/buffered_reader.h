// BufferedReader: sequential reads through a buffer of a chosen size in front
// of one read handle, with exact reads and repositioning. Owns only its
// buffer; the handle must outlive it. Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/support/result.h"
#include "storage/file.h"

namespace velmoradb {

class BufferedReader {
 public:
  // `start` is the handle's current position.
  BufferedReader(File& file, std::size_t capacity, std::uint64_t start = 0);

  // Reads exactly n bytes; an early end of file fails with
  // early_end_of_file() (end_of_file() tells it apart), any other failure
  // with the file layer's error. A request of `capacity` bytes or more
  // bypasses the buffer.
  Status read_exact(std::uint8_t* out, std::size_t n);
  // The next n bytes when the buffer holds them already, else nullptr; never
  // reads, so a caller that falls back to read_exact makes the same calls
  // of the file as one that never peeked.
  const std::uint8_t* peek(std::size_t n) const {
    return filled_ - cursor_ >= n ? buffer_.get() + cursor_ : nullptr;
  }
  // Moves past bytes that peek handed out (at most those).
  void skip(std::size_t n) { cursor_ += n; }
  // Moves to an absolute offset; inside the buffered window no I/O happens.
  Status seek(std::uint64_t offset);
  std::uint64_t position() const { return window_start_ + cursor_; }

 private:
  File& file_;
  std::size_t capacity_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::uint64_t window_start_;  // file offset of buffer_[0]
  std::size_t filled_ = 0;
  std::size_t cursor_ = 0;
};

}  // namespace velmoradb
