#include "engine/support/background_prefault.h"

#include <algorithm>
#include <cstdint>
#include <system_error>

#include "engine/support/huge_pages.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velmoradb {

namespace {

// A step of the thread: small enough to stop soon when asked, large enough
// that each request covers several huge pages.
constexpr std::size_t kStep = std::size_t{8} << 20;

}  // namespace

BackgroundPrefault::BackgroundPrefault(std::span<std::byte> range)
    : begin_(reinterpret_cast<char*>(range.data())), bytes_(range.size()) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  if (begin_ == nullptr || bytes_ == 0) return;
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // No thread to be had: the writer faults its pages in itself.
  }
#endif
}

BackgroundPrefault::~BackgroundPrefault() { stop(); }

void BackgroundPrefault::stop() {
  stop_.store(true, std::memory_order_relaxed);
  if (thread_.joinable()) thread_.join();
}

void BackgroundPrefault::run() {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  // madvise wants a page-aligned start.
  const auto page = static_cast<std::uintptr_t>(4096);
  const auto start = reinterpret_cast<std::uintptr_t>(begin_);
  const std::uintptr_t aligned = start / page * page;
  const std::uintptr_t end = start + bytes_;
  for (std::uintptr_t p = aligned; p < end && !stop_.load(std::memory_order_relaxed);) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uintptr_t>(kStep, end - p));
    // Fails on a kernel without the request, or where the memory is gone:
    // the writer then faults its pages in itself.
    if (madvise(reinterpret_cast<void*>(p), n, MADV_POPULATE_WRITE) != 0) break;
    p += n;
    done_.store(static_cast<std::size_t>(p - start), std::memory_order_relaxed);
  }
#endif
}

void BackgroundPrefault::finish(const void* keep_end) {
  stop();
#if defined(__linux__)
  const auto start = reinterpret_cast<std::uintptr_t>(begin_);
  const std::uintptr_t faulted_end = start + std::min(done_.load(std::memory_order_relaxed), bytes_);
  const auto kept = reinterpret_cast<std::uintptr_t>(keep_end);
  // A keep_end outside the range means the memory moved (the writer's
  // storage grew elsewhere): the old range is no longer ours to hand back.
  if (kept < start || kept > start + bytes_) return;
  const std::uintptr_t from = (kept + kHugePage - 1) / kHugePage * kHugePage;
  const std::uintptr_t to = faulted_end / kHugePage * kHugePage;
  if (to > from) {
    // Private anonymous memory reads as zero after this, as before the fault.
    (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
  }
#else
  (void)keep_end;
#endif
}

}  // namespace velmoradb
