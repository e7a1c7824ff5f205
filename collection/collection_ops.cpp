// Inserts, searches, the checkpoint, and the apply steps shared with replay.
#include <algorithm>
#include <cmath>
#include <string>

#include "collection/collection.h"
#include "storage/data_format.h"

namespace velmoradb {

Status PersistentCollection::insert(std::uint64_t id, std::vector<float> vector, Payload payload) {
  std::lock_guard writer(write_lock_);
  return insert_locked(id, std::move(vector), std::move(payload));
}

Status PersistentCollection::insert_batch(const std::uint64_t* ids, std::size_t count,
                                          const BatchRow& row) {
  std::lock_guard writer(write_lock_);
  // A batch of a hundred pairs or more ends in a sync of the log, which
  // writes everything out: such a batch may gather its frames in larger
  // pieces first. A shorter one writes as single inserts do, so any write
  // that fails fails the pair being inserted, and nothing fails after the
  // last pair went in.
  const bool large_writes = count >= WriteAheadLog::kBatchSize;
  {
    std::unique_lock lock(wal_lock_);
    wal_->begin_batch(large_writes);
  }
  if (large_writes) {
    // The records are held until the log is forced, at most about
    // kMaxHeldBytes of them at a time: room for that much, touched once.
    const std::size_t record = data_format::kFixedSize + 4 * config_.dimension + 11;
    std::unique_lock lock(data_lock_);
    data_->reserve_held(std::min(kMaxHeldBytes + record, count * record));
  }
  Status result;
  for (std::size_t i = 0; i < count && result; ++i) {
    auto [data, len] = row(i);
    result = insert_locked(ids[i], std::vector<float>(data, data + len), {});
  }
  Status log_ended;
  {
    std::unique_lock lock(wal_lock_);
    log_ended = wal_->end_batch();
  }
  // The records follow the log if it is on disk now; else they wait.
  (void)release_held_data();
  {
    std::unique_lock lock(data_lock_);
    data_->release_memory();
  }
  if (!result) return result;
  return log_ended;
}

Status PersistentCollection::insert_locked(std::uint64_t id, std::vector<float> vector,
                                           Payload payload) {
  // Refuse what the log could not give back: a wrong length would fail every
  // later replay, and a non-finite component is written as null, which the
  // log refuses to read.
  if (vector.size() != config_.dimension) {
    return VectorError::dimension_mismatch(config_.dimension, vector.size());
  }
  for (std::size_t i = 0; i < vector.size(); ++i) {
    if (!std::isfinite(vector[i])) {
      return VectorError::collection("non-finite vector component at position " +
                                     std::to_string(i));
    }
  }
  std::uint64_t log_length;
  {
    std::unique_lock lock(wal_lock_);
    log_length = wal_->length();
    // The entry borrows the vector and payload for the append and gives them back.
    WalEntry entry{WalEntryKind::Insert, id, std::move(vector), std::move(payload)};
    Status appended = wal_->append(entry);
    vector = std::move(entry.vector);
    payload = std::move(entry.payload);
    if (!appended) return appended;
  }
  Status applied = apply_insert(id, std::move(vector), std::move(payload));
  if (!applied) {
    // The insert is reported as failed, so it must not come back at the next
    // open: take its frame back out of the log.
    std::unique_lock lock(wal_lock_);
    (void)wal_->discard_after(log_length);
    return applied;
  }
  // The insert is complete (and, when the log was forced, durable): a
  // failure to write out held records is no failure of it. They stay held,
  // and the next release or the flush tries again and reports it.
  (void)release_held_data();
  return {};
}

Status PersistentCollection::release_held_data() {
  {
    // Lock order: wal_lock_ before data_lock_.
    std::unique_lock lock(wal_lock_);
    if (!wal_->durable()) {
      {
        std::shared_lock data(data_lock_);
        if (data_->held() < kMaxHeldBytes) return {};
      }
      if (auto r = wal_->sync(); !r) return r;
    }
  }
  std::unique_lock lock(data_lock_);
  if (data_->held() == 0) return {};
  return data_->write_out();
}

std::vector<SearchResult> PersistentCollection::search(const float* query, std::size_t len,
                                                       std::size_t k) const {
  std::shared_lock lock(index_lock_);
  return index_.search(query, len, k);
}

std::vector<std::vector<SearchResult>> PersistentCollection::search_batch(
    const float* queries, std::size_t nq, std::size_t k) const {
  std::shared_lock lock(index_lock_);
  return index_.search_batch(queries, nq, k);
}

Status PersistentCollection::flush() {
  std::lock_guard writer(write_lock_);
  return checkpoint();
}

Status PersistentCollection::checkpoint() {
  // The log first: the held records may reach the data file only behind
  // their frames. Then the data file, forced, before the log is emptied.
  {
    std::unique_lock lock(wal_lock_);
    if (!wal_->durable()) {
      if (auto r = wal_->sync(); !r) return r;
    }
  }
  {
    std::unique_lock lock(data_lock_);
    if (auto r = data_->sync(); !r) return r;
  }
  {
    std::unique_lock lock(wal_lock_);
    if (auto r = wal_->checkpoint(); !r) return r;
  }
  return write_meta_now();
}

Status PersistentCollection::apply_insert(std::uint64_t id, std::vector<float> vector,
                                          Payload payload) {
  // A vector the index would refuse never reaches the data file.
  if (vector.size() != config_.dimension) {
    return VectorError::dimension_mismatch(config_.dimension, vector.size());
  }
  std::optional<std::uint64_t> previous;
  {
    std::shared_lock lock(offsets_lock_);
    previous = record_offsets_.find(id);
  }
  std::uint64_t offset;
  {
    std::unique_lock lock(data_lock_);
    auto r = data_->append(id, vector.data(), vector.size(), payload);
    if (!r) return r.error();
    offset = *r;
    if (previous) {
      // Retire the replaced record, so only one live record per id remains.
      // The marker is held with the new record, and reaches the file only
      // after the new insert's frame is on disk. A failure here loses
      // nothing (loading keeps the latest live record of an id), so the
      // insert goes on.
      (void)data_->mark_deleted(*previous);
    }
  }
  {
    std::unique_lock lock(index_lock_);
    index_.remove(id);
    if (auto r = index_.insert(id, vector, std::move(payload)); !r) return r;
  }
  {
    std::unique_lock lock(offsets_lock_);
    record_offsets_.put(id, offset);
  }
  {
    std::unique_lock lock(next_id_lock_);
    if (id + 1 > next_id_) next_id_ = id + 1;  // id + 1 wraps to 0 for the largest id
  }
  return {};
}

Status PersistentCollection::apply_update(std::uint64_t id, std::vector<float> vector,
                                          Payload payload) {
  if (vector.size() != config_.dimension) {
    return VectorError::dimension_mismatch(config_.dimension, vector.size());
  }
  {
    std::shared_lock offsets(offsets_lock_);
    if (auto previous = record_offsets_.find(id)) {
      // Exclusive: the marker may land in the append buffer.
      std::unique_lock data(data_lock_);
      if (auto r = data_->mark_deleted(*previous); !r) return r;
    }
  }
  std::uint64_t offset;
  {
    std::unique_lock lock(data_lock_);
    auto r = data_->append(id, vector.data(), vector.size(), payload);
    if (!r) return r.error();
    offset = *r;
  }
  {
    std::unique_lock lock(index_lock_);
    index_.remove(id);
    if (auto r = index_.insert(id, vector, std::move(payload)); !r) return r;
  }
  std::unique_lock lock(offsets_lock_);
  record_offsets_.put(id, offset);
  return {};
}

Result<bool> PersistentCollection::apply_delete(std::uint64_t id) {
  {
    std::shared_lock offsets(offsets_lock_);
    if (auto previous = record_offsets_.find(id)) {
      std::unique_lock data(data_lock_);
      if (auto r = data_->mark_deleted(*previous); !r) return r.error();
    }
  }
  bool found;
  {
    std::unique_lock lock(index_lock_);
    found = index_.remove(id).has_value();
  }
  std::unique_lock lock(offsets_lock_);
  record_offsets_.erase(id);
  return found;
}

std::size_t PersistentCollection::size() const {
  std::shared_lock lock(index_lock_);
  return index_.size();
}

std::map<std::uint64_t, std::vector<float>> PersistentCollection::snapshot() const {
  std::shared_lock lock(index_lock_);
  std::map<std::uint64_t, std::vector<float>> out;
  for (std::uint64_t id : index_.ids()) out.emplace(id, *index_.vector_of(id));
  return out;
}

std::uint64_t PersistentCollection::next_id() const {
  std::shared_lock lock(next_id_lock_);
  return next_id_;
}

}  // namespace velmoradb
