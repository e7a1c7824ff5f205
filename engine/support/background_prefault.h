// BackgroundPrefault: a thread that faults in a range of fresh anonymous
// memory ahead of the writer that is about to fill it.
//
// The first write to each page of a new mapping stops the writer while the
// kernel finds and zeroes a page (on a virtual machine the host often has to
// back it first): loading a million vectors of dimension 128 spends about
// half its time there. A second core can take those faults in parallel
// with the writer's own work (reading and decoding the records), so the
// writer finds its pages present. Nothing is written: the pages are made
// present and writable (MADV_POPULATE_WRITE) and keep reading as zero, so
// the writer and this thread may touch the same page in any order.
//
// Where the kernel lacks that request (Linux before 5.14, other systems),
// nothing happens and the writer faults its pages in itself, as without it.
#pragma once

#include <atomic>
#include <cstddef>
#include <span>
#include <thread>

namespace velmoradb {

class BackgroundPrefault {
 public:
  // Starts faulting in `range` at once, front to back.
  explicit BackgroundPrefault(std::span<std::byte> range);
  // Stops the thread (where it is) and waits for it.
  ~BackgroundPrefault();
  BackgroundPrefault(const BackgroundPrefault&) = delete;
  BackgroundPrefault& operator=(const BackgroundPrefault&) = delete;

  // Stops and waits, then returns the pages from `keep_end` to the end of
  // the range, whole 2 MiB pages only, to the kernel: what the estimate of
  // the writer's need faulted in beyond what it wrote. They read as zero
  // again afterwards, as never-touched memory does. Nothing is handed back
  // when `keep_end` lies outside the range.
  void finish(const void* keep_end);

 private:
  void run();
  void stop();

  char* begin_;
  std::size_t bytes_;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> done_{0};  // bytes from begin_ made present
  std::thread thread_;
};

}  // namespace velmoradb
