// HugePageAllocator: an allocator for large arrays read at random, such as
// hash tables. An array of 2 MiB or more gets a mapping of its own, aligned
// to 2 MiB and offered to the kernel for huge pages (on Linux): a lookup in
// a table of a million ids then costs one cache miss, where over 4 KiB
// pages it also walks the page tables (the table spans thousands of pages,
// more than the TLB holds). Smaller arrays come from operator new.
//
// Like std::allocator, allocate() throws std::bad_alloc when the memory
// cannot be had (memory_policy.h). Stateless: any two instances are interchangeable.
#pragma once

#include <cstddef>

namespace velmoradb {

// `bytes` of memory for a HugePageAllocator, or std::bad_alloc; freed by
// free_huge with the same size.
void* allocate_huge(std::size_t bytes);
void free_huge(void* p, std::size_t bytes);

constexpr std::size_t kHugePage = std::size_t{2} << 20;

#if defined(__linux__)
// A new private anonymous mapping of `bytes` (a multiple of kHugePage) that
// starts on a kHugePage boundary, the only ranges the kernel backs with huge
// pages; `protection` and `flags` are added to mmap's. Throws
// std::bad_alloc. Unmapped with munmap.
void* map_huge_page_aligned(std::size_t bytes, int protection, int flags);
#endif

template <typename T>
struct HugePageAllocator {
  using value_type = T;

  HugePageAllocator() = default;
  template <typename U>
  HugePageAllocator(const HugePageAllocator<U>&) {}  // NOLINT: rebinding is implicit

  T* allocate(std::size_t n) { return static_cast<T*>(allocate_huge(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) { free_huge(p, n * sizeof(T)); }

  template <typename U>
  bool operator==(const HugePageAllocator<U>&) const { return true; }
};

}  // namespace velmoradb
