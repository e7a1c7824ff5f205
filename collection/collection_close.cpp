// Closing a collection: its data written out behind a forced log, its files
// and its directory lock released.
#include "collection/collection.h"

namespace velmoradb {

PersistentCollection::~PersistentCollection() { (void)close_files(false); }

Status PersistentCollection::close() { return close_files(true); }

Status PersistentCollection::close_files(bool checkpoint_first) {
  // A load that failed left a collection to close without a checkpoint,
  // and its error is close()'s.
  const Status loaded = wait_loaded();
  if (!loaded) checkpoint_first = false;
  std::lock_guard writer(write_lock_);
  // Before anything is torn down: a build reads the index.
  stop_bound_codes();
  if (retired_data_.valid()) retired_data_.wait();
  if (closed_) return {};
  Status result;
  if (checkpoint_first && !read_only_ && wal_ && data_) {
    bool log_empty;
    {
      std::shared_lock wal(wal_lock_);
      log_empty = wal_->length() == 0;
    }
    // A failed checkpoint leaves the log in charge: the steps below still
    // hand over what they can, and the error is returned.
    if (!log_empty) result = checkpoint();
  }
  {
    std::unique_lock wal(wal_lock_);
    std::unique_lock data(data_lock_);
    if (!read_only_ && wal_ && data_) {
      // Held records and markers may reach the data file only behind their
      // log frames on disk; if the log cannot be forced they are dropped,
      // and the replay of the log at the next open writes them again.
      Status forced = wal_->durable() ? Status{} : wal_->sync();
      if (data_->held() > 0) {
        if (forced) {
          forced = data_->write_out();
        } else {
          data_->discard_held();
        }
      }
      if (result) result = forced;
    }
    std::unique_lock index(index_lock_);
    std::unique_lock offsets(offsets_lock_);
    closed_ = true;
    wal_.reset();
    data_.reset();
    index_ = VectorIndex(config_.metric, config_.dimension);
    record_offsets_ = RecordOffsets();
  }
  dir_lock_.reset();
  if (!loaded) return loaded;
  return result;
}

}  // namespace velmoradb
