// Compaction: data.vdb rewritten with only the live records, through a new
// file that replaces the old one atomically.
#include <algorithm>
#include <string>
#include <utility>

#include "collection/collection.h"
#include "storage/directory_files.h"
#include "storage/record_codec.h"
#include "storage/endian.h"
#include "storage/json/json.h"
#include "storage/record_file_writer.h"

namespace velmoradb {

namespace {



}  // namespace

Result<CompactStats> PersistentCollection::compact() {
  if (auto r = wait_loaded(); !r) return r.error();
  std::lock_guard writer(write_lock_);
  if (auto r = check_writable(); !r) return r.error();
  return compact_locked();
}

Result<CompactStats> PersistentCollection::compact_locked() {
  // The order of writes:
  //   1. the log forced: it now holds every change since the last
  //      checkpoint, so the old data file plus the log is the collection;
  //   2. the live records written to data.vdb.compact and forced;
  //   3. the rename over data.vdb, then the directory forced: from here on
  //      the new file plus the log is the collection (replaying a change
  //      over a file that already shows it changes nothing);
  //   4. a checkpoint, which empties the log.
  // The old data file is never forced: what it holds but not yet on disk
  // (records, deleted markers) is in the log and in the new file, and is
  // dropped with it. Writers wait for write_lock_ throughout.
  {
    std::unique_lock lock(wal_lock_);
    if (!wal_->durable()) {
      if (auto r = wal_->sync(); !r) return r.error();
    }
  }
  CompactStats stats;
  {
    std::shared_lock lock(data_lock_);
    stats.bytes_before = data_->position();
    stats.records_dropped = file_records_;
  }
  // Every live record into the old file (the log is on disk, so they may
  // go), then copied from it byte for byte in file order: one streamed read
  // and one streamed write, with no record decoded or encoded again.
  {
    std::unique_lock data(data_lock_);
    if (auto r = data_->write_out_records(); !r) return r.error();
  }
  // The live records by offset, each with its slot in the offsets' map.
  // Only writers change that map, and they wait for write_lock_: its slots
  // stay as they are until the new offsets replace the old.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> live;
  IdArray id_of_slot;
  {
    std::shared_lock lock(offsets_lock_);
    const RecordOffsets::OffsetArray& at = record_offsets_.offsets();
    live.reserve(at.size());
    for (std::size_t slot = 0; slot < at.size(); ++slot) live.emplace_back(at[slot], static_cast<std::uint32_t>(slot));
    id_of_slot = record_offsets_.slot_map().ids();
  }
  std::sort(live.begin(), live.end());
  std::vector<std::uint64_t> old_offsets(live.size());
  for (std::size_t i = 0; i < live.size(); ++i) old_offsets[i] = live[i].first;
  // A file left by a compaction that never finished holds nothing needed:
  // the writer empties it.
  const std::string compact_path = join_path(dir_, directory_files::kCompact);
  auto writer = RecordFileWriter::create(fs_, compact_path);
  if (!writer) return writer.error();
  RecordOffsets::OffsetArray offsets(live.size());
  Status copied;
  {
    std::shared_lock data(data_lock_);
    copied = data_->read_raw_records(old_offsets, [&](std::span<const std::uint8_t> record, std::size_t i) -> Status {
      const std::uint64_t id = record_codec::decode_header(record.data()).id;
      if (id != id_of_slot[live[i].second]) {
        return VectorError::io("read data failed: the record at offset " + std::to_string(live[i].first) +
                               " is not that of id " + std::to_string(id_of_slot[live[i].second]));
      }
      auto offset = (*writer)->add_encoded(record.data(), record.size());
      if (!offset) return offset.error();
      offsets[live[i].second] = *offset;
      return {};
    });
  }
  if (!copied) return copied.error();
  if (auto r = (*writer)->finish(); !r) return r.error();
  writer->reset();
  auto fresh = VectorDataFile::open(fs_, compact_path);
  if (!fresh) return fresh.error();
  stats.records_dropped -= offsets.size();
  stats.bytes_after = (*fresh)->position();
  // The rename replaces data.vdb at once: before it the old file is the
  // collection's, after it the new one, each complete on disk with the log.
  if (auto r = (*fresh)->rename_to(join_path(dir_, directory_files::kData)); !r) return r.error();
  std::unique_ptr<VectorDataFile> retired;
  {
    std::unique_lock data(data_lock_);
    data_->discard_held();  // in the log and in the new file
    retired = std::exchange(data_, std::move(*fresh));
    data_->hold(true);  // see the write ordering in collection.h
    file_records_ = offsets.size();
    std::unique_lock lock(offsets_lock_);
    record_offsets_.replace_offsets(std::move(offsets));
  }
  // The new name reaches the disk with the directory. Until it has, the
  // log must not be emptied: the checkpoint forces the directory first,
  // and a later one tries again if this one fails.
  dir_unsynced_ = true;
  if (retired_data_.valid()) retired_data_.wait();
  retired_data_ = std::async(std::launch::async, [old = std::move(retired)]() mutable { old.reset(); });
  if (auto r = checkpoint(); !r) return r.error();
  return stats;
}

Result<std::uint64_t> PersistentCollection::reclaimable_bytes() const {
  if (auto r = wait_loaded(); !r) return r.error();
  std::shared_lock data(data_lock_);
  std::shared_lock index(index_lock_);
  if (closed_) return VectorError::collection("collection is closed");
  // The live records as compaction copies them: each payload as it is
  // stored, which the payload store keeps (an empty payload is taken as
  // written by every insert); where it does not, as encoded afresh.
  const std::uint64_t fixed = record_codec::min_record_size(config_.dimension);
  std::uint64_t live = fixed * index_.size();
  const std::uint64_t empty_payload = json::encoded_payload_length(Payload{});
  if (const std::optional<std::size_t> texts = index_.payload_text_bytes()) {
    live += *texts + empty_payload * (index_.size() - index_.payload_count());
  } else {
    for (std::uint64_t id : index_.ids()) {
      const std::optional<Payload> payload = index_.payload_of(id);
      live += payload ? json::encoded_payload_length(*payload) : empty_payload;
    }
  }
  const std::uint64_t length = data_ ? data_->position() : 0;
  return length > live ? length - live : 0;
}

}  // namespace velmoradb
