// Large arrays on mappings of their own, aligned so the kernel can back
// them with 2 MiB pages.
#include "engine/support/huge_pages.h"

#include <cstdint>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velmoradb {

namespace {

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

}  // namespace

#if defined(__linux__)

void* map_huge_page_aligned(std::size_t bytes, int protection, int flags) {
  // Map one huge page more than needed, then cut the ends off so what is
  // left starts on a 2 MiB boundary.
  void* raw = mmap(nullptr, bytes + kHugePage, protection, MAP_PRIVATE | MAP_ANONYMOUS | flags, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = round_up(start, kHugePage);
  if (aligned > start) munmap(raw, aligned - start);
  const std::size_t after = start + bytes + kHugePage - (aligned + bytes);
  if (after > 0) munmap(reinterpret_cast<void*>(aligned + bytes), after);
  return reinterpret_cast<void*>(aligned);
}

void* allocate_huge(std::size_t bytes) {
  if (bytes < kHugePage) {
    return ::operator new(bytes);
  }
  const std::size_t size = round_up(bytes, kHugePage);
  void* p = map_huge_page_aligned(size, PROT_READ | PROT_WRITE, 0);
  madvise(p, size, MADV_HUGEPAGE);  // a hint; failure is harmless
  return p;
}

void free_huge(void* p, std::size_t bytes) {
  if (!p) return;
  if (bytes < kHugePage) {
    ::operator delete(p);
    return;
  }
  munmap(p, round_up(bytes, kHugePage));
}

#else

void* allocate_huge(std::size_t bytes) { return ::operator new(bytes); }

void free_huge(void* p, std::size_t) { ::operator delete(p); }

#endif

}  // namespace velmoradb
