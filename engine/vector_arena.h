// VectorArena: the contiguous, growable memory that holds the index's blocks.
//
// Large arenas are mapped anonymously and, on Linux, offered to the kernel
// for huge pages: a scan over ordinary 4 KiB pages is markedly slower. Growth
// remaps in place where the platform can, so a growing index never holds two
// copies of its vectors for long. Memory beyond size() is zero.
//
// Not thread-safe. populate_in_background starts a thread of the arena's
// own that only asks the kernel for pages; the arena waits for it before it
// remaps or unmaps anything, so it never outlives the memory it touches.
#pragma once

#include <cstddef>
#include <thread>

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
  // Has the kernel back the first `floats` floats (at most capacity())
  // with memory on another thread, while the caller goes on: a loader
  // about to write them then does not stop at every fresh page, whose
  // clearing the kernel does on that thread instead. The contents stay as
  // they are; concurrent writes by the caller are safe. Only for a large
  // mapped arena on Linux; elsewhere nothing happens.
  void populate_in_background(std::size_t floats);
  // Waits for a populate_in_background, then gives the pages past the first
  // `floats` floats back to the kernel, so memory populated for a load that
  // found fewer vectors does not stay resident; they read as zero again.
  void release_past(std::size_t floats);

 private:
  void release();
  void join_populate();

  float* data_ = nullptr;
  std::size_t capacity_ = 0;  // in floats
  std::size_t bytes_ = 0;     // mapped or allocated bytes
  bool mapped_ = false;
  std::thread populate_;  // see populate_in_background
};

}  // namespace velmoradb
