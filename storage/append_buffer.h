// AppendBuffer: the write buffer in front of an append handle (the log's and
// the data file's), handing whole frames or records to the file.
//
// A frame is handed over as one piece: copied into the buffer when it fits,
// otherwise the buffer is written out first and a frame of `capacity` bytes
// or more goes straight to the file. A write that fails may have put part of
// its bytes in the file, so the file is cut back to its length before that
// write; if the cut itself fails it is retried before the next write, and
// nothing is written behind a partial frame.
//
// Error texts: the stored formats name a failed write after the field that
// was being written when the file was written field by field. append()
// works that field out from `units` (the frame's fields in order) so the
// text stays the same: phrase + the file layer's description.
//
// A holding buffer (hold(true)) never writes to the file by itself: it
// grows until its owner calls write_out(). The data file holds its records
// this way until the log frames that describe them are on disk.
//
// Owned by one WriteAheadLog or VectorDataFile; no lock of its own.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "engine/support/result.h"
#include "storage/file.h"

namespace velmoradb {

// `count` consecutive fields of `size` bytes, named by `phrase` on failure.
struct WriteUnit {
  std::size_t size;
  std::size_t count;
  std::string_view phrase;
};

class AppendBuffer {
 public:
  AppendBuffer(std::size_t capacity, std::uint64_t file_length);

  // Hands one whole frame to `file`; see above. On failure the buffer and
  // the file hold exactly what they held before.
  Status append(File& file, std::span<const std::uint8_t> frame, std::span<const WriteUnit> units);
  // Writes every buffered byte to the file. Failure: phrase + description.
  Status write_out(File& file, std::string_view phrase);
  // Forgets the buffer and starts over at `file_length` (a new or cut file).
  void reset(std::uint64_t file_length);
  // Takes back everything handed over after `length` (a frame whose
  // operation failed later on): drops it from the buffer, or cuts the file
  // back where it was already written out. A failed cut is retried before
  // the next write. Failure: the file layer's error.
  Status discard_after(File& file, std::uint64_t length);

  // Whether appends stay in the buffer until write_out(), whatever its size.
  void hold(bool on) { hold_ = on; }
  bool holding() const { return hold_; }
  // Sets the byte at file offset `offset` when it is still in the buffer;
  // returns whether it was.
  bool patch(std::uint64_t offset, std::uint8_t byte);

  // Changes the size at which the buffer is written out: a batch of appends
  // that are acknowledged together may gather more before writing. Below
  // what is buffered, the next append writes the buffer out first.
  void set_capacity(std::size_t capacity) {
    capacity_ = capacity;
    buffer_.reserve(capacity);
  }
  std::size_t capacity() const { return capacity_; }
  // Room for `bytes` without growing (a holding buffer about to take a
  // batch: fresh pages are slow to touch, so they are touched once).
  void reserve(std::size_t bytes) { buffer_.reserve(bytes); }
  // Gives back the memory of an empty buffer that grew far beyond its size.
  void release_memory();

  std::size_t buffered() const { return buffer_.size(); }
  // Everything handed over so far: in the file or still buffered.
  std::uint64_t logical_length() const { return file_length_ + buffer_.size(); }
  // Bytes handed to the file so far, cut-backs included.
  std::uint64_t file_length() const { return file_length_; }

 private:
  Status write_to_file(File& file, const std::uint8_t* data, std::size_t n);
  Status cut_back(File& file);

  std::size_t capacity_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t file_length_;
  bool needs_cut_ = false;
  bool hold_ = false;
};

}  // namespace velmoradb
