// VectorArena: the contiguous, growable memory that holds the index's blocks.
//
// Large arenas are mapped anonymously and, on Linux, offered to the kernel
// for huge pages: a scan over ordinary 4 KiB pages is markedly slower. Growth
// remaps in place where the platform can, so a growing index never holds two
// copies of its vectors for long. Memory beyond size() is zero.
//
// Not thread-safe.
#pragma once

#include <cstddef>

namespace velmoradb {

class VectorArena {
 public:
  VectorArena() = default;
  ~VectorArena();
  VectorArena(const VectorArena&) = delete;
  VectorArena& operator=(const VectorArena&) = delete;
  VectorArena(VectorArena&& other) noexcept;
  VectorArena& operator=(VectorArena&& other) noexcept;

  float* data() { return data_; }
  const float* data() const { return data_; }
  // Floats that can be used without growing.
  std::size_t capacity() const { return capacity_; }
  // Makes at least `floats` floats usable, keeping the contents; new memory
  // reads as zero. Running out of memory ends the process.
  void reserve(std::size_t floats);

 private:
  void release();

  float* data_ = nullptr;
  std::size_t capacity_ = 0;  // in floats
  std::size_t bytes_ = 0;     // mapped or allocated bytes
  bool mapped_ = false;
};

}  // namespace velmoradb
