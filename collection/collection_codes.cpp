// The bound codes of a collection's index: switched on after the load and
// the replay of the log, built on a thread of their own so that open()
// need not wait for them.
//
// The build reads the index under index_lock_ shared, in steps of
// kSlotsPerStep slots (writers may take the lock between steps), into codes
// of its own; the exclusive lock is taken only to install them. Inserts
// meanwhile do not touch codes (none are switched on); the install codes
// the slots they appended, as an insert would. A remove moves slots, which
// makes a build stale: it begins again, up to kBuildAttempts times, and
// after that the codes are built under the exclusive lock, as a
// synchronous open does, so that steady removes cannot keep them off.
#include <new>
#include <system_error>
#include <thread>

#include "collection/collection.h"

namespace velmoradb {

namespace {

constexpr std::size_t kSlotsPerStep = std::size_t{1} << 16;
constexpr int kBuildAttempts = 3;

}  // namespace

void PersistentCollection::start_bound_codes(std::chrono::milliseconds delay) {
  // After the load and the replay: the codes are built once, from the final
  // vectors, rather than grown and rebuilt record by record.
  {
    std::unique_lock lock(index_lock_);
    index_.set_bound_codes_min_size(config_.bound_codes_min_size);
    if (!config_.bound_codes) {
      index_.use_bound_codes(false);
      return;
    }
    // Below the minimum there is nothing to build yet: the insert that
    // reaches it builds the codes.
    if (!config_.bound_codes_background || index_.size() < config_.bound_codes_min_size) {
      index_.use_bound_codes(true);
      return;
    }
  }
  {
    std::lock_guard lock(codes_wait_lock_);
    codes_building_ = true;
  }
  try {
    codes_builder_ = std::jthread([this, delay](std::stop_token stop) { build_bound_codes(std::move(stop), delay); });
  } catch (const std::system_error&) {
    // No thread to be had: built here, as without the background build.
    {
      std::lock_guard lock(codes_wait_lock_);
      codes_building_ = false;
    }
    build_bound_codes({}, std::chrono::milliseconds{0});
  }
}

void PersistentCollection::build_bound_codes(std::stop_token stop, std::chrono::milliseconds delay) {
  if (delay.count() > 0) {
    std::mutex m;
    std::condition_variable_any pause;
    std::unique_lock lock(m);
    pause.wait_for(lock, stop, delay, [] { return false; });
  }
  try {
    build_and_install_codes(stop);
  } catch (...) {
    // Out of memory (nothing else throws below the Python layer): the
    // codes stay off and searches scan. Half-made codes are dropped.
    std::unique_lock lock(index_lock_);
    index_.use_bound_codes(false);
  }
  {
    std::lock_guard lock(codes_wait_lock_);
    codes_building_ = false;
  }
  codes_built_.notify_all();
}

void PersistentCollection::build_and_install_codes(const std::stop_token& stop) {
  for (int attempt = 0; attempt < kBuildAttempts; ++attempt) {
    std::optional<BoundCodesBuild> build;
    {
      std::shared_lock lock(index_lock_);
      build = index_.begin_bound_codes(stop);
    }
    if (!build) return;  // stopped
    VectorIndex::BuildStep step = VectorIndex::BuildStep::More;
    while (step == VectorIndex::BuildStep::More) {
      // A waiting writer gets its turn between the steps.
      std::this_thread::yield();
      std::shared_lock lock(index_lock_);
      step = index_.extend_bound_codes(*build, kSlotsPerStep, stop);
    }
    if (step == VectorIndex::BuildStep::Cancelled) return;
    if (step == VectorIndex::BuildStep::Done) {
      std::unique_lock lock(index_lock_);
      if (stop.stop_requested()) return;
      if (index_.install_bound_codes(std::move(*build))) return;
    }
  }
  std::unique_lock lock(index_lock_);
  if (!stop.stop_requested()) index_.use_bound_codes(true);
}

void PersistentCollection::stop_bound_codes() {
  if (!codes_builder_.joinable()) return;
  codes_builder_.request_stop();
  codes_builder_.join();
}

void PersistentCollection::wait_for_bound_codes() const {
  (void)wait_loaded();  // the load starts the build
  std::unique_lock lock(codes_wait_lock_);
  codes_built_.wait(lock, [this] { return !codes_building_; });
}

}  // namespace velmoradb
