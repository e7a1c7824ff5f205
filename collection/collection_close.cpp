// Closing a collection: its data written out behind a forced log, its files
// and its directory lock released.
#include "collection/collection.h"

namespace velmoradb {

PersistentCollection::~PersistentCollection() { (void)close(); }

Status PersistentCollection::close() {
  std::lock_guard writer(write_lock_);
  if (closed_) return {};
  Status result;
  {
    std::unique_lock wal(wal_lock_);
    std::unique_lock data(data_lock_);
    if (!read_only_ && wal_ && data_) {
      // Held records and markers may reach the data file only behind their
      // log frames on disk; if the log cannot be forced they are dropped,
      // and the replay of the log at the next open writes them again.
      if (!wal_->durable()) result = wal_->sync();
      if (data_->held() > 0) {
        if (result) {
          result = data_->write_out();
        } else {
          data_->discard_held();
        }
      }
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
  return result;
}

}  // namespace velmoradb
