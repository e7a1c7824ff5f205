// VectorArena: the contiguous, growable memory that holds the index's blocks.
//
// Large arenas are mapped anonymously and, on Linux, offered to the kernel
// for huge pages: a scan over ordinary 4 KiB pages is markedly slower. Growth
// of a mapped arena moves its pages to the larger mapping without copying
// them, so a growing index never holds two copies of its vectors for long.
// The arena keeps no size of its own: all capacity() floats are usable, and
// every float it adds reads as zero until written.
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
  // reads as zero. Throws std::bad_alloc, leaving the arena as it was, when
  // the memory cannot be had (memory_policy.h).
  void reserve(std::size_t floats);

 private:
  void release();

  float* data_ = nullptr;
  std::size_t capacity_ = 0;  // in floats
  std::size_t bytes_ = 0;     // mapped or allocated bytes
  bool mapped_ = false;
};

}  // namespace velmoradb
