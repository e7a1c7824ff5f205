// Large arrays on mappings of their own, aligned so the kernel can back
// them with 2 MiB pages.
#include "engine/support/huge_pages.h"

#include <cstdint>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velmoradb {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

}  // namespace

#if defined(__linux__)

void* allocate_huge(std::size_t bytes) {
  if (bytes < kHugePage) {
    void* p = ::operator new(bytes, std::nothrow);
    if (!p) std::abort();
    return p;
  }
  const std::size_t size = round_up(bytes, kHugePage);
  // Map one huge page more than needed, then cut the ends off so what is
  // left starts on a 2 MiB boundary: the kernel backs only aligned ranges.
  void* raw = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) std::abort();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = round_up(start, kHugePage);
  if (aligned > start) munmap(raw, aligned - start);
  const std::size_t after = start + size + kHugePage - (aligned + size);
  if (after > 0) munmap(reinterpret_cast<void*>(aligned + size), after);
  void* p = reinterpret_cast<void*>(aligned);
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

void* allocate_huge(std::size_t bytes) {
  void* p = ::operator new(bytes, std::nothrow);
  if (!p) std::abort();
  return p;
}

void free_huge(void* p, std::size_t) { ::operator delete(p); }

#endif

}  // namespace velmoradb
