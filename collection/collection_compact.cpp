// Compaction: data.vdb rewritten with only the live records, through a new
// file that replaces the old one atomically.
#include <string>
#include <utility>

#include "collection/collection.h"
#include "storage/data_format.h"
#include "storage/json.h"

namespace velmoradb {

namespace {

constexpr std::string_view kDataFile = "data.vdb";
constexpr std::string_view kCompactFile = "data.vdb.compact";

}  // namespace

Result<CompactStats> PersistentCollection::compact() {
  std::lock_guard writer(write_lock_);
  if (auto r = check_writable(); !r) return r.error();
  return compact_locked();
}

Result<CompactStats> PersistentCollection::compact_locked() {
  // Everything is in data.vdb, forced, and the log is empty: from here on
  // the old file alone holds the collection, and so does the new one once
  // it is complete. Writers wait for write_lock_, so neither changes.
  if (auto r = checkpoint(); !r) return r.error();
  CompactStats stats;
  {
    std::shared_lock lock(data_lock_);
    stats.bytes_before = data_->position();
    stats.records_dropped = file_records_;
  }
  // A file left by a compaction that never finished holds nothing needed.
  auto fresh = VectorDataFile::open(fs_, join_path(dir_, kCompactFile));
  if (!fresh) return fresh.error();
  if ((*fresh)->position() > 0) {
    if (auto r = (*fresh)->truncate_to(0); !r) return r.error();
  }
  // The live records in slot order, so the offsets follow the index's slots.
  RecordOffsets::OffsetArray offsets;
  IdSlotMap slots;
  {
    std::shared_lock lock(index_lock_);  // searches go on alongside
    const std::size_t n = index_.size();
    offsets.reserve(n);
    static const Payload kEmpty;
    for (std::uint64_t id : index_.ids()) {
      std::vector<float> vector = *index_.vector_of(id);
      const Payload* payload = index_.payload_of(id);
      auto offset = (*fresh)->append(id, vector.data(), vector.size(), payload ? *payload : kEmpty);
      if (!offset) return offset.error();
      offsets.push_back(*offset);
    }
    slots = index_.slot_map();
  }
  stats.records_dropped -= offsets.size();
  stats.bytes_after = (*fresh)->position();
  if (auto r = (*fresh)->sync(); !r) return r.error();
  // The rename replaces data.vdb at once: before it the old file is the
  // collection, after it the new one, each complete on disk.
  if (auto r = (*fresh)->rename_to(join_path(dir_, kDataFile)); !r) return r.error();
  {
    std::unique_lock data(data_lock_);
    data_ = std::move(*fresh);
    data_->hold(true);  // see the write ordering in collection.h
    file_records_ = offsets.size();
    std::unique_lock lock(offsets_lock_);
    record_offsets_ = RecordOffsets(std::move(slots), std::move(offsets));
  }
  // The new name reaches the disk with the directory. Until it has, the
  // log must not be emptied of anything the old file lacks: the next
  // checkpoint forces the directory first.
  if (auto r = fs_.sync_dir(dir_); !r) {
    dir_unsynced_ = true;
    return VectorError::io("sync failed: " + r.error().text());
  }
  return stats;
}

Result<std::uint64_t> PersistentCollection::reclaimable_bytes() const {
  std::shared_lock data(data_lock_);
  std::shared_lock index(index_lock_);
  if (closed_) return VectorError::collection("collection is closed");
  // The live records as compaction writes them: payloads encoded afresh.
  const std::uint64_t fixed = data_format::kFixedSize + data_format::kElementSize * std::uint64_t{config_.dimension};
  std::uint64_t live = fixed * index_.size();
  const std::uint64_t empty_payload = json::encoded_payload_length(Payload{});
  if (index_.payload_count() == 0) {
    live += empty_payload * index_.size();
  } else {
    for (std::uint64_t id : index_.ids()) {
      const Payload* payload = index_.payload_of(id);
      live += payload ? json::encoded_payload_length(*payload) : empty_payload;
    }
  }
  const std::uint64_t length = data_ ? data_->position() : 0;
  return length > live ? length - live : 0;
}

}  // namespace velmoradb
