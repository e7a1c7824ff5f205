#include "engine/vector_arena.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velmoradb {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kAlign = 64;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

[[noreturn]] void out_of_memory() {
  // Running out of memory ends the process, as everywhere in the system.
  std::abort();
}

}  // namespace

VectorArena::~VectorArena() { release(); }

VectorArena::VectorArena(VectorArena&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      bytes_(std::exchange(other.bytes_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

VectorArena& VectorArena::operator=(VectorArena&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    bytes_ = std::exchange(other.bytes_, 0);
    mapped_ = std::exchange(other.mapped_, false);
  }
  return *this;
}

void VectorArena::release() {
  if (!data_) return;
#if defined(__linux__)
  if (mapped_) {
    munmap(data_, bytes_);
  } else {
    std::free(data_);
  }
#else
  std::free(data_);
#endif
  data_ = nullptr;
  capacity_ = bytes_ = 0;
  mapped_ = false;
}

void VectorArena::reserve(std::size_t floats) {
  if (floats <= capacity_) return;
  // Grow geometrically so a run of appends costs amortised constant time.
  std::size_t want = std::max(floats, capacity_ + capacity_ / 2);
  std::size_t bytes = round_up(want * sizeof(float), kAlign);
#if defined(__linux__)
  if (bytes >= kHugePage) {
    bytes = round_up(bytes, kHugePage);
    void* p;
    if (mapped_) {
      p = mremap(data_, bytes_, bytes, MREMAP_MAYMOVE);
    } else {
      p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p != MAP_FAILED && data_) std::memcpy(p, data_, bytes_);
    }
    if (p == MAP_FAILED) out_of_memory();
    madvise(p, bytes, MADV_HUGEPAGE);  // a hint; failure is harmless
    if (!mapped_ && data_) std::free(data_);
    data_ = static_cast<float*>(p);
    mapped_ = true;
    bytes_ = bytes;
    capacity_ = bytes / sizeof(float);
    return;
  }
#endif
  void* p = std::aligned_alloc(kAlign, bytes);
  if (!p) out_of_memory();
  std::memset(p, 0, bytes);
  if (data_) std::memcpy(p, data_, bytes_);
  std::free(data_);
  data_ = static_cast<float*>(p);
  bytes_ = bytes;
  capacity_ = bytes / sizeof(float);
}

}  // namespace velmoradb
