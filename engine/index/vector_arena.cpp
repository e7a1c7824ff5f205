#include "engine/index/vector_arena.h"

#include "engine/support/huge_pages.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velmoradb {

namespace {

constexpr std::size_t kAlign = 64;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

#if defined(__linux__)
// Maps `bytes` (a multiple of kHugePage) at an address aligned to kHugePage
// (huge_pages.h). Moves the pages of the `old_bytes` mapping at `old` there,
// if any, without copying.
float* map_aligned(void* old, std::size_t old_bytes, std::size_t bytes) {
  // A reservation of the range, replaced below.
  void* target = map_huge_page_aligned(bytes, PROT_NONE, MAP_NORESERVE);
  void* p;
  if (old) {
    // Replaces the reservation; the pages past old_bytes read as zero.
    p = mremap(old, old_bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, target);
  } else {
    p = mmap(target, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
  }
  if (p == MAP_FAILED) {
    // The old mapping, if any, is still whole; the reservation is given back.
    munmap(target, bytes);
    throw std::bad_alloc();
  }
  madvise(p, bytes, MADV_HUGEPAGE);  // a hint; failure is harmless
  return static_cast<float*>(p);
}
#endif

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
  // Pages never written are not resident, so the slack costs address space
  // only.
  std::size_t want = std::max(floats, capacity_ + capacity_ / 2);
  std::size_t bytes = round_up(want * sizeof(float), kAlign);
#if defined(__linux__)
  if (bytes >= kHugePage) {
    bytes = round_up(bytes, kHugePage);
    float* p = map_aligned(mapped_ ? data_ : nullptr, mapped_ ? bytes_ : 0, bytes);
    if (!mapped_ && data_) {
      std::memcpy(p, data_, bytes_);
      std::free(data_);
    }
    data_ = p;
    mapped_ = true;
    bytes_ = bytes;
    capacity_ = bytes / sizeof(float);
    return;
  }
#endif
  void* p = std::aligned_alloc(kAlign, bytes);
  if (!p) throw std::bad_alloc();
  std::memset(p, 0, bytes);
  if (data_) std::memcpy(p, data_, bytes_);
  std::free(data_);
  data_ = static_cast<float*>(p);
  bytes_ = bytes;
  capacity_ = bytes / sizeof(float);
}

}  // namespace velmoradb
