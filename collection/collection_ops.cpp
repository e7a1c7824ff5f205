// Inserts, searches, the checkpoint, and the apply steps shared with replay.
#include <algorithm>
#include <cmath>
#include <string>

#include "collection/collection.h"
#include "storage/json/json.h"
#include "storage/record_codec.h"

namespace velmoradb {

namespace {

VectorError closed_error() { return VectorError::collection("collection is closed"); }

}  // namespace

Status PersistentCollection::check_writable() const {
  if (closed_) return closed_error();
  if (read_only_) return VectorError::collection("collection is read-only");
  if (broken_) {
    return VectorError::collection("a failed bulk insert could not be undone: reopen the collection");
  }
  return {};
}

bool PersistentCollection::closed() const { return closed_; }

Status PersistentCollection::insert(std::uint64_t id, std::vector<float> vector, Payload payload) {
  if (auto r = wait_loaded(); !r) return r;
  std::lock_guard writer(write_lock_);
  if (auto r = check_writable(); !r) return r;
  return insert_locked(id, std::move(vector), std::move(payload));
}

Status PersistentCollection::insert_batch(const std::uint64_t* ids, std::size_t count,
                                          const BatchRow& row) {
  return insert_batch(ids, count, row, nullptr);
}

Status PersistentCollection::insert_batch(const std::uint64_t* ids, std::size_t count,
                                          const BatchRow& row, Payload* payloads,
                                          std::size_t* inserted) {
  if (inserted) *inserted = 0;
  if (auto r = wait_loaded(); !r) return r;
  std::lock_guard writer(write_lock_);
  if (auto r = check_writable(); !r) return r;
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
    const auto record = static_cast<std::size_t>(record_codec::empty_record_size(config_.dimension));
    std::unique_lock lock(data_lock_);
    data_->reserve_held(std::min(kMaxHeldBytes + record, count * record));
  }
  Status result;
  std::size_t done = 0;
  for (; done < count && result; ++done) {
    auto [data, len] = row(done);
    result = insert_locked(ids[done], std::vector<float>(data, data + len),
                           payloads ? std::move(payloads[done]) : Payload{});
    if (!result) break;
  }
  if (inserted) *inserted = done;
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

Result<bool> PersistentCollection::remove(std::uint64_t id) {
  if (auto r = wait_loaded(); !r) return r.error();
  std::lock_guard writer(write_lock_);
  if (auto r = check_writable(); !r) return r.error();
  return remove_locked(id);
}

Result<std::size_t> PersistentCollection::remove_batch(const std::uint64_t* ids, std::size_t count) {
  if (auto r = wait_loaded(); !r) return r.error();
  std::lock_guard writer(write_lock_);
  if (auto r = check_writable(); !r) return r.error();
  // Acknowledged together, as insert_batch's pairs are.
  {
    std::unique_lock lock(wal_lock_);
    wal_->begin_batch(count >= WriteAheadLog::kBatchSize);
  }
  std::size_t present = 0;
  Status result;
  for (std::size_t i = 0; i < count; ++i) {
    Result<bool> removed = remove_locked(ids[i]);
    if (!removed) {
      result = removed.error();
      break;
    }
    if (*removed) ++present;
  }
  Status log_ended;
  {
    std::unique_lock lock(wal_lock_);
    log_ended = wal_->end_batch();
  }
  (void)release_held_data();
  if (!result) return result.error();
  if (!log_ended) return log_ended.error();
  return present;
}

Result<bool> PersistentCollection::remove_locked(std::uint64_t id) {
  std::optional<std::uint64_t> offset;
  {
    std::shared_lock lock(offsets_lock_);
    offset = record_offsets_.find(id);
  }
  // A missing id changes nothing, so nothing is logged.
  if (!offset) return false;
  std::uint64_t log_length;
  {
    std::unique_lock lock(wal_lock_);
    log_length = wal_->length();
    if (auto r = wal_->append(WalEntry{WalEntryKind::Delete, id, {}, {}}); !r) return r.error();
  }
  {
    // The marker is held like a record: it reaches the file only behind
    // the Delete frame.
    std::unique_lock lock(data_lock_);
    if (auto r = data_->mark_deleted(*offset); !r) {
      // The delete is reported as failed: it must not come back at the
      // next open either.
      lock.unlock();  // wal_lock_ comes before data_lock_
      std::unique_lock wal(wal_lock_);
      (void)wal_->discard_after(log_length);
      return r.error();
    }
  }
  {
    std::unique_lock lock(index_lock_);
    index_.remove(id);
  }
  {
    std::unique_lock lock(offsets_lock_);
    record_offsets_.erase(id);
  }
  // The delete is complete: a failure to write out held data is no
  // failure of it (see insert_locked).
  (void)release_held_data();
  return true;
}

Status PersistentCollection::insert_locked(std::uint64_t id, std::vector<float> vector,
                                           Payload payload) {
  // Refuse what the log could not give back: a wrong length would fail every
  // later replay, and a non-finite component is written as null, which the
  // log refuses to read. A payload likewise: a NaN would come back as null,
  // and text the log cannot read would end the log there at the next open.
  if (vector.size() != config_.dimension) {
    return VectorError::dimension_mismatch(config_.dimension, vector.size());
  }
  for (std::size_t i = 0; i < vector.size(); ++i) {
    if (!std::isfinite(vector[i])) {
      return VectorError::collection("non-finite vector component at position " +
                                     std::to_string(i));
    }
  }
  if (auto checked = json::check_payload(payload); !checked) return checked;
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
  Status applied = apply_put(id, std::move(vector), std::move(payload));
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
        if (data_->held_record_bytes() < kMaxHeldBytes) return {};
      }
      if (auto r = wal_->sync(); !r) return r;
    }
  }
  // The records only: the deleted markers (of deletes and of replaced
  // records) wait for the checkpoint or the close. The log's frames stand
  // behind them, and the load keeps the later of two live records of an id.
  std::unique_lock lock(data_lock_);
  if (data_->held_record_bytes() == 0) return {};
  return data_->write_out_records();
}

std::vector<SearchResult> PersistentCollection::search(const float* query, std::size_t len,
                                                       std::size_t k) const {
  if (!wait_loaded()) return {};
  std::shared_lock lock(index_lock_);
  return index_.search(query, len, k);
}

std::vector<std::vector<SearchResult>> PersistentCollection::search_batch(
    const float* queries, std::size_t nq, std::size_t k) const {
  if (!wait_loaded()) return {};
  std::shared_lock lock(index_lock_);
  return index_.search_batch(queries, nq, k);
}

Result<std::vector<SearchResult>> PersistentCollection::search(const float* query, std::size_t len,
                                                               std::size_t k, const Filter* where) const {
  if (len == config_.dimension && (where == nullptr || where->matches_everything())) {
    if (auto found = search_while_loading(query, k)) return std::move(*found);
  }
  if (auto r = wait_loaded(); !r) return r.error();
  std::shared_lock lock(index_lock_);
  if (closed_) return closed_error();
  if (len != config_.dimension) return VectorError::dimension_mismatch(config_.dimension, len);
  if (where == nullptr || where->matches_everything()) return index_.search(query, len, k);
  if (k == 0) return std::vector<SearchResult>();
  return index_.search(query, len, k, index_.matching(*where));
}

Result<std::vector<std::vector<SearchResult>>> PersistentCollection::search_batch(
    const float* queries, std::size_t nq, std::size_t k, const Filter* where, std::size_t threads) const {
  if (auto r = wait_loaded(); !r) return r.error();
  std::shared_lock lock(index_lock_);
  if (closed_) return closed_error();
  if (where == nullptr || where->matches_everything()) {
    return index_.search_batch_parallel(queries, nq, k, nullptr, threads);
  }
  if (k == 0 || nq == 0) return std::vector<std::vector<SearchResult>>(nq);
  const SlotBitmap only = index_.matching(*where);
  return index_.search_batch_parallel(queries, nq, k, &only, threads);
}

Result<std::optional<Record>> PersistentCollection::get(std::uint64_t id) const {
  if (auto r = wait_loaded(); !r) return r.error();
  std::shared_lock lock(index_lock_);
  if (closed_) return closed_error();
  auto vector = index_.vector_of(id);
  if (!vector) return std::optional<Record>();
  Record record{id, std::move(*vector), {}};
  if (std::optional<Payload> payload = index_.payload_of(id)) record.payload = std::move(*payload);
  return std::optional<Record>(std::move(record));
}

Result<bool> PersistentCollection::contains(std::uint64_t id) const {
  if (auto r = wait_loaded(); !r) return r.error();
  std::shared_lock lock(index_lock_);
  if (closed_) return closed_error();
  return index_.contains(id);
}

Result<std::vector<std::uint64_t>> PersistentCollection::ids(const Filter* where) const {
  if (auto r = wait_loaded(); !r) return r.error();
  std::vector<std::uint64_t> out;
  {
    std::shared_lock lock(index_lock_);
    if (closed_) return closed_error();
    const IdArray& all = index_.ids();
    if (where == nullptr || where->matches_everything()) {
      out.assign(all.begin(), all.end());
    } else {
      index_.matching(*where).for_each([&](std::size_t slot) { out.push_back(all[slot]); });
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

Status PersistentCollection::flush() {
  if (auto r = wait_loaded(); !r) return r;
  std::lock_guard writer(write_lock_);
  if (auto r = check_writable(); !r) return r;
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
  // A compaction's rename whose forcing failed: the data file's name must
  // be on disk before the log that could restore it is emptied.
  if (dir_unsynced_) {
    if (auto r = fs_.sync_dir(dir_); !r) return VectorError::io("sync failed: " + r.error().text());
    dir_unsynced_ = false;
  }
  {
    std::unique_lock lock(wal_lock_);
    if (auto r = wal_->checkpoint(); !r) return r;
  }
  return write_meta_now();
}

Status PersistentCollection::apply_put(std::uint64_t id, std::vector<float> vector,
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
    ++file_records_;
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

Result<bool> PersistentCollection::apply_delete(std::uint64_t id) {
  std::optional<std::uint64_t> previous;
  {
    std::shared_lock lock(offsets_lock_);
    previous = record_offsets_.find(id);
  }
  if (previous) {
    std::unique_lock data(data_lock_);
    if (auto r = data_->mark_deleted(*previous); !r) return r.error();
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
  if (!wait_loaded()) return 0;
  std::shared_lock lock(index_lock_);
  return index_.size();
}

std::size_t PersistentCollection::bound_codes_bytes() const {
  if (!wait_loaded()) return 0;
  std::shared_lock lock(index_lock_);
  return index_.bound_codes_bytes();
}

bool PersistentCollection::bound_codes_active() const {
  if (!wait_loaded()) return false;
  std::shared_lock lock(index_lock_);
  return index_.bound_codes_active();
}

std::map<std::uint64_t, std::vector<float>> PersistentCollection::snapshot() const {
  if (!wait_loaded()) return {};
  std::shared_lock lock(index_lock_);
  std::map<std::uint64_t, std::vector<float>> out;
  for (std::uint64_t id : index_.ids()) out.emplace(id, *index_.vector_of(id));
  return out;
}

std::uint64_t PersistentCollection::next_id() const {
  (void)wait_loaded();
  std::shared_lock lock(next_id_lock_);
  return next_id_;
}

}  // namespace velmoradb
