// A bulk insert: a large batch written straight to the data file, its
// vectors written once, as the data file's records, and never as log text.
//
// The order of writes:
//   1. a checkpoint: the data file forced, the log empty, so the data file
//      alone is the collection;
//   2. data.vdb.bulk holds the data file's length L ("L\n"), forced, with
//      its directory: the batch's records will lie past L;
//   3. the records appended to data.vdb from L on, in large pieces, and the
//      file forced;
//   4. data.vdb.bulk emptied and forced: the batch is durable, and is
//      acknowledged only now.
// After a crash or a power cut before step 4 completes, the open finds L
// in data.vdb.bulk and cuts the data file back to L (whatever part of the
// batch reached the disk, in whatever order), then empties the marker: no
// insert of the batch survives, and none was acknowledged. After step 4 the
// whole batch is there. A record that an id of the batch replaces stays
// live in the file until its marker is written after step 4; meanwhile the
// load keeps the later record of an id, as for any replacement.
//
// A failure during steps 2-4 undoes the batch in the same way (the file cut
// back to L and forced, the marker emptied); if even that fails, the
// collection refuses further writes until it is reopened, whose recovery
// completes the undo.
#include <bit>
#include <charconv>
#include <string>
#include <system_error>
#include <thread>

#include "collection/collection.h"
#include "storage/directory_files.h"
#include "storage/json/json.h"
#include "storage/record_codec.h"
#include "storage/endian.h"
#include "storage/record_file_writer.h"

namespace velmoradb {

namespace {


Status write_marker(FileSystem& fs, const std::string& path, std::string_view text) {
  auto file = fs.open(path, OpenMode::WriteCreateTruncate);
  if (!file) return VectorError::io("write bulk marker failed: " + file.error().text());
  if (!text.empty()) {
    if (auto r = (*file)->write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()); !r) {
      return VectorError::io("write bulk marker failed: " + r.error().text());
    }
  }
  if (auto r = (*file)->sync(); !r) return VectorError::io("sync failed: " + r.error().text());
  return {};
}

struct Marker {
  bool holds_bytes = false;             // not empty (and present)
  std::optional<std::uint64_t> length;  // the data file's length it records
};

// A marker without a length (missing, empty, or torn) had no record of its
// batch behind it: a marker is forced before any record is written.
Result<Marker> read_marker(FileSystem& fs, const std::string& path) {
  Marker marker;
  if (!fs.exists(path)) return marker;
  auto file = fs.open(path, OpenMode::ReadOnly);
  if (!file) return VectorError::io("read bulk marker failed: " + file.error().text());
  std::uint8_t buf[32];
  std::size_t got = 0;
  while (got < sizeof buf) {
    auto n = (*file)->read(buf + got, sizeof buf - got);
    if (!n) return VectorError::io("read bulk marker failed: " + n.error().text());
    if (*n == 0) break;
    got += *n;
  }
  marker.holds_bytes = got > 0;
  const char* text = reinterpret_cast<const char*>(buf);
  if (got < 2 || text[got - 1] != '\n') return marker;
  std::uint64_t length = 0;
  auto [end, ec] = std::from_chars(text, text + got - 1, length);
  if (ec == std::errc() && end == text + got - 1) marker.length = length;
  return marker;
}

// Whether a float is NaN or infinite: its exponent bits all set.
bool non_finite_bits(std::uint32_t bits) { return (bits & 0x7f800000u) == 0x7f800000u; }

// The position of the first NaN or infinite component, or dim.
std::size_t first_non_finite(const float* v, std::size_t dim) {
  // A loop without an early exit over the bits, which compilers vectorise
  // (a float comparison they keep scalar, as it may raise an exception).
  std::uint32_t any = 0;
  for (std::size_t j = 0; j < dim; ++j) any |= non_finite_bits(std::bit_cast<std::uint32_t>(v[j])) ? 1u : 0u;
  if (any == 0) return dim;
  std::size_t j = 0;
  while (!non_finite_bits(std::bit_cast<std::uint32_t>(v[j]))) ++j;
  return j;
}

}  // namespace

Status PersistentCollection::roll_back_bulk() {
  const std::string path = join_path(dir_, directory_files::kBulk);
  auto marker = read_marker(fs_, path);
  if (!marker) return marker.error();
  const bool unfinished = marker->length && data_ && data_->position() > *marker->length;
  if (read_only_) {
    if (!unfinished) return {};
    return VectorError::collection("the collection holds an unfinished bulk insert: "
                                   "open it for writing once to roll it back");
  }
  if (unfinished) {
    std::unique_lock data(data_lock_);
    if (auto r = data_->truncate_to(*marker->length); !r) return r;
    if (auto r = data_->sync(); !r) return r;
  }
  // Emptied; its name is on disk since the batch that wrote it.
  return marker->holds_bytes ? write_marker(fs_, path, "") : Status{};
}

Status PersistentCollection::undo_bulk(std::uint64_t length) {
  Status undone;
  {
    std::unique_lock data(data_lock_);
    undone = data_->truncate_to(length);
    if (undone) undone = data_->sync();
  }
  if (undone) undone = write_marker(fs_, join_path(dir_, directory_files::kBulk), "");
  if (!undone) broken_ = true;
  return undone;
}

Status PersistentCollection::insert_batch_direct(const std::uint64_t* ids, std::size_t count, const BatchRow& row,
                                                 Payload* payloads, std::size_t* inserted) {
  if (inserted) *inserted = 0;
  if (auto r = wait_loaded(); !r) return r;
  std::lock_guard writer(write_lock_);
  if (auto r = check_writable(); !r) return r;
  // The lengths and payloads are checked before anything is written; a non-finite
  // component is found as the vectors go to the index (below), which
  // undoes the batch.
  for (std::size_t i = 0; i < count; ++i) {
    if (std::size_t len = row(i).second; len != config_.dimension) {
      return VectorError::dimension_mismatch(config_.dimension, len);
    }
    if (payloads == nullptr) continue;
    if (auto checked = json::check_payload(payloads[i]); !checked) return checked;
  }
  if (count == 0) return {};
  if (auto r = checkpoint(); !r) return r;
  const std::string marker = join_path(dir_, directory_files::kBulk);
  std::uint64_t start;
  {
    std::shared_lock data(data_lock_);
    start = data_->position();
  }
  const bool marker_named = fs_.exists(marker);
  if (auto r = write_marker(fs_, marker, std::to_string(start) + "\n"); !r) {
    (void)undo_bulk(start);
    return r;
  }
  if (!marker_named) {
    if (auto r = fs_.sync_dir(dir_); !r) {
      (void)undo_bulk(start);
      return VectorError::io("sync failed: " + r.error().text());
    }
  }
  // The vectors go to the index as the file gets them, staged where no
  // search reads until the batch is durable: building the arena's pages
  // (first touched here) overlaps the disk's work.
  StagedRows staging;
  {
    std::unique_lock lock(index_lock_);
    staging = index_.begin_staging(count);
  }
  const auto discard_staging = [&] {
    std::unique_lock lock(index_lock_);
    index_.discard_staged(staging);
  };
  std::vector<std::uint64_t> offsets(count);
  {
    // Searches go on: they read the index below its size, and the data
    // file not at all.
    std::unique_lock data(data_lock_);
    auto direct = data_->direct_writer();
    Status written = direct ? Status{} : Status(direct.error());
    std::uint64_t end = 0;
    if (direct) {
      std::unique_ptr<RecordFileWriter> out = std::move(*direct);
      static const Payload kEmpty;
      // Rows are staged a block at a time from the bytes written to the
      // file, so that the index holds what the file holds even if the
      // caller's rows change meanwhile; they are checked there too.
      const std::size_t dim = config_.dimension;
      std::vector<float> group(StagedRows::kMaxBlockRows * dim);
      std::size_t grouped = 0;
      for (std::size_t i = 0; i < count && written; ++i) {
        auto [vector, len] = row(i);
        auto offset = out->add(ids[i], vector, len, payloads ? payloads[i] : kEmpty);
        if (!offset) {
          written = offset.error();
          break;
        }
        offsets[i] = *offset;
        float* staged = group.data() + grouped * dim;
        le::load_floats(staged, out->last_record() + record_codec::kVectorOffset, dim);
        if (auto bad = first_non_finite(staged, dim); bad < dim) {
          written = VectorError::collection("non-finite vector component at position " + std::to_string(bad));
          break;
        }
        if (++grouped == staging.block_rows() || i + 1 == count) {
          index_.stage_rows(staging, group.data(), grouped);
          grouped = 0;
        }
      }
      if (written) written = out->finish();
      end = out->length();
    }  // the writer is done with the file
    if (!written) {
      data.unlock();
      discard_staging();
      (void)undo_bulk(start);
      return written;
    }
    data_->adopt_direct(end);
    file_records_ += count;
  }
  // Emptying the marker commits the batch: once the emptied file is in the
  // operating system's hands, a crash of the process keeps the batch, so
  // from here on it is applied, even if forcing the marker then fails (as a
  // batch whose log sync fails stays inserted).
  auto cleared = fs_.open(marker, OpenMode::WriteCreateTruncate);
  if (!cleared) {
    discard_staging();
    (void)undo_bulk(start);
    return VectorError::io("write bulk marker failed: " + cleared.error().text());
  }
  // Durable. The index and the offsets follow, each under its lock once;
  // the records that the batch replaces get their markers (held, and
  // written out with the next release: nothing in the log stands behind
  // them), an id given twice in the batch included.
  std::vector<std::uint64_t> retired;  // offsets of replaced records
  const auto put_offsets = [&] {
    constexpr std::size_t kAhead = 8;  // ids prefetched ahead: each probe misses the cache
    std::unique_lock lock(offsets_lock_);
    record_offsets_.reserve(record_offsets_.size() + count);
    for (std::size_t i = 0; i < count; ++i) {
      if (i + kAhead < count) record_offsets_.prefetch(ids[i + kAhead]);
      if (auto previous = record_offsets_.put(ids[i], offsets[i])) {
        retired.push_back(*previous);
      }
    }
  };
  // The offsets go in on another core while this one publishes the rows:
  // the two maps are apart, under locks of their own.
  std::jthread offsets_thread;
  try {
    offsets_thread = std::jthread(put_offsets);
  } catch (const std::system_error&) {
    // No thread to be had: this one does both.
  }
  if (!offsets_thread.joinable()) put_offsets();
  // The codes are not kept current row by row through a bulk insert: coding
  // a row costs about as much as writing it. They are dropped here and
  // built again afterwards on the builder thread, as at open (searches scan
  // meanwhile, with the same answers).
  // (After a pause: the next bulk insert of a load in several calls stops
  // the builder before it has done any work.)
  constexpr std::chrono::milliseconds kRecodeDelay{500};
  const bool recode = config_.bound_codes && config_.bound_codes_background;
  if (recode) stop_bound_codes();
  {
    std::unique_lock lock(index_lock_);
    if (recode) index_.use_bound_codes(false);
    index_.publish_staged(staging, ids, payloads);
  }
  if (offsets_thread.joinable()) offsets_thread.join();
  if (recode) start_bound_codes(kRecodeDelay);
  {
    std::unique_lock lock(next_id_lock_);
    for (std::size_t i = 0; i < count; ++i) {
      if (ids[i] + 1 > next_id_) next_id_ = ids[i] + 1;  // wraps to 0 for the largest id
    }
  }
  {
    std::unique_lock data(data_lock_);
    for (std::uint64_t offset : retired) (void)data_->mark_deleted(offset);
  }
  if (inserted) *inserted = count;
  // The markers only once the emptied marker is on disk: before that a
  // power cut may bring the marker back, and its rollback would find the
  // replaced records marked.
  if (auto r = (*cleared)->sync(); !r) {
    std::unique_lock data(data_lock_);
    data_->discard_held();  // only these markers are held; the load does without them
    return VectorError::io("sync failed: " + r.error().text());
  }
  (void)release_held_data();
  return {};
}

}  // namespace velmoradb
