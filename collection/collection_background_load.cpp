// The load of a large collection after open() has returned
// (CollectionConfig::load_in_background): the thread that runs it, the wait
// every method begins with, and the searches answered from the data file
// meanwhile.
//
// Two cores share the work: the first search after a reopen reads the
// data file once on the caller's thread, and the load, which would
// otherwise compete for the cores with its helper threads, pauses for it
// between two runs of records. That pause happens once: a steady stream of
// searches must not hold the load back, and past half of the load a search
// waits for the rest instead of reading the whole file again.
#include <exception>
#include <new>
#include <string>

#include "collection/collection.h"
#include "collection/data_file_search.h"

namespace velmoradb {

void PersistentCollection::run_load(WalContents log) {
  Status status;
  try {
    status = recover_from(log);
    if (status) start_bound_codes();
  } catch (const std::bad_alloc&) {
    // What a synchronous open would raise as MemoryError: reported by the
    // next call.
    status = VectorError::collection("load failed: out of memory");
  } catch (const std::exception& e) {
    status = VectorError::collection(std::string("load failed: ") + e.what());
  }
  {
    std::lock_guard lock(load_wait_lock_);
    load_status_ = status;
    loading_.store(false, std::memory_order_release);
  }
  load_changed_.notify_all();
}

Status PersistentCollection::wait_loaded() const {
  if (!load_started_) return {};
  if (loading_.load(std::memory_order_acquire)) {
    std::unique_lock lock(load_wait_lock_);
    load_changed_.wait(lock, [this] { return !loading_.load(std::memory_order_relaxed); });
  }
  return load_status_;
}

std::optional<std::vector<SearchResult>> PersistentCollection::search_while_loading(const float* query,
                                                                                   std::size_t k) const {
  if (!load_started_ || !loading_.load(std::memory_order_acquire)) return std::nullopt;
  if (load_progress_.load(std::memory_order_relaxed) > load_file_length_ / 2) return std::nullopt;
  {
    std::lock_guard lock(load_wait_lock_);
    early_searches_.fetch_add(1, std::memory_order_relaxed);
  }
  std::optional<std::vector<SearchResult>> found;
  try {
    std::shared_lock data(data_lock_);
    if (early_open_) found = search_data_file(*data_, config_.metric, config_.dimension, query, k);
  } catch (const std::bad_alloc&) {
    found.reset();  // the load's index answers instead
  }
  {
    std::lock_guard lock(load_wait_lock_);
    early_searches_.fetch_sub(1, std::memory_order_relaxed);
  }
  load_changed_.notify_all();
  return found;
}

void PersistentCollection::pause_for_early_searches() {
  if (load_paused_ || early_searches_.load(std::memory_order_relaxed) == 0) return;
  std::unique_lock lock(load_wait_lock_);
  if (early_searches_.load(std::memory_order_relaxed) == 0) return;
  load_paused_ = true;
  load_changed_.wait(lock, [this] { return early_searches_.load(std::memory_order_relaxed) == 0; });
}

}  // namespace velmoradb
