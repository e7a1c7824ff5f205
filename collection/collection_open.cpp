// Opening a collection: create or check the directory, take its lock, open
// the log and the data file, rebuild the index from the data file and replay
// the log on top of it.
#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "collection/collection.h"
#include "collection/payload_attacher.h"
#include "collection/payload_text_store.h"
#include "collection/record_offsets.h"
#include "engine/support/background_prefault.h"
#include "storage/directory_files.h"
#include "storage/record_codec.h"
#include "storage/json/json.h"
#include "storage/meta.h"

namespace velmoradb {

namespace {

constexpr std::size_t kCopyChunk = 1 << 20;
// From about this many records on, a load attaches payloads on a thread of
// its own (the thread costs some tens of microseconds to start; a record's
// payload about a hundred nanoseconds to attach).
constexpr std::size_t kPayloadsAsideRecords = 4096;
// The live records of the load, handed to the index a run at a time
// straight from the read buffer: it then looks ids up a few ahead (at a
// million ids every lookup misses the cache) and writes whole rows of its
// blocks at once. The latest live record of an id wins, so a reopen yields
// the vector inserted last; the offsets of the records it replaces are
// collected in `superseded`, in file order. The offset of each slot's
// record is kept along with the index's slots, so the offsets map is the
// index's map copied rather than built by a second lookup per record.
//
// A large load hands the payloads its decode cache holds to a
// PayloadAttacher, which attaches them on another core while this thread
// goes on, until a payload the cache does not hold (a text that does not
// repeat) comes: from there on this thread attaches every payload itself.
class LoadBatch {
 public:
  LoadBatch(VectorIndex& index, std::vector<std::uint64_t>& superseded)
      : index_(index), superseded_(superseded) {}

  void reserve(std::size_t records) { slot_offsets_.reserve(records); }
  // Payloads go to a thread of their own from now on (started at the
  // first one that can).
  void attach_payloads_aside() { aside_ = true; }
  // Every payload is attached: the index is this thread's alone again.
  void finish_payloads() { attacher_.reset(); }

  // The records of `run` that hold a vector of the index's dimension, in
  // order.
  void add(std::span<RecordView> run) {
    const std::size_t dim = index_.dimension();
    for (RecordView& rec : run) {
      if (rec.dim != dim) continue;  // never indexed
      ids_.push_back(rec.id);
      offsets_.push_back(rec.offset);
      rows_.push_back(rec.vector);
      payloads_.push_back(rec.payload);
      texts_.push_back(rec.payload_text);
      cached_.push_back(rec.payload_cached);
      any_payload_ = any_payload_ || rec.payload != nullptr;
    }
    flush();  // the rows point into the run
  }

  // The offsets of the records in the index, by id. Ends the load.
  RecordOffsets take_offsets() { return RecordOffsets(index_.slot_map(), std::move(slot_offsets_)); }

 private:
  void flush() {
    const std::size_t n = ids_.size();
    // insert_rows stops at an id already present (also one earlier in the
    // run): that record replaces the entry and the run goes on behind it.
    const bool aside = aside_ && any_payload_;
    for (std::size_t done = 0; done < n;) {
      const std::size_t before = index_.size();
      const bool here = any_payload_ && !aside;
      Status status = index_.insert_rows(ids_.data() + done, rows_.data() + done, n - done,
                                         here ? payloads_.data() + done : nullptr,
                                         here ? texts_.data() + done : nullptr);
      const std::size_t appended = index_.size() - before;
      if (aside) attach(before, done, appended);
      slot_offsets_.insert(slot_offsets_.end(), offsets_.begin() + done, offsets_.begin() + done + appended);
      done += appended;
      if (status) break;
      if (attacher_) attacher_->drain();  // the replacement moves payloads
      put(ids_[done], rows_[done], payloads_[done], texts_[done], offsets_[done]);
      ++done;
    }
    ids_.clear();
    offsets_.clear();
    rows_.clear();
    payloads_.clear();
    texts_.clear();
    cached_.clear();
    any_payload_ = false;
  }

  // The payloads of records from..from+count-1 of the batch, now in the
  // slots from `first` on.
  void attach(std::size_t first, std::size_t from, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      const Payload* payload = payloads_[from + i];
      if (payload == nullptr) continue;
      const auto slot = static_cast<std::uint32_t>(first + i);
      if (aside_ && cached_[from + i]) {
        if (!attacher_) attacher_ = std::make_unique<PayloadAttacher>(index_);
        attacher_->attach(slot, *payload, texts_[from + i]);
        continue;
      }
      if (aside_) {
        // This payload lives only as long as its run: it is attached here,
        // once the attacher has caught up. Texts that do not repeat seldom
        // come alone, and waiting for the attacher at each would cost more
        // than it saves, so the rest of the load attaches here too.
        if (attacher_) attacher_->drain();
        aside_ = false;
      }
      index_.attach_payload(slot, *payload, texts_[from + i]);
    }
  }

  // Inserts or replaces `id` as every replacement does (remove, then
  // insert), moving the slot offsets as the index moves its slots.
  // The payload keeps its stored text, as in a run.
  void put(std::uint64_t id, const std::uint8_t* row, const Payload* payload, std::string_view text,
           std::uint64_t offset) {
    const std::uint32_t slot = index_.slot_map().find(id);
    if (slot != IdSlotMap::kNone) {
      superseded_.push_back(slot_offsets_[slot]);
      index_.remove(id);  // the last slot moves into `slot`
      slot_offsets_[slot] = slot_offsets_.back();
      slot_offsets_.pop_back();
    }
    if (index_.insert_rows(&id, &row, 1, &payload, &text)) slot_offsets_.push_back(offset);
  }

  VectorIndex& index_;
  std::vector<std::uint64_t>& superseded_;
  std::vector<std::uint64_t> ids_;
  std::vector<std::uint64_t> offsets_;
  std::vector<const std::uint8_t*> rows_;
  std::vector<const Payload*> payloads_;  // null for an empty one, beside the rows
  std::vector<std::string_view> texts_;    // the stored text of each, when known
  std::vector<bool> cached_;               // each payload held by the decode cache
  bool any_payload_ = false;       // of the run
  bool aside_ = false;                         // cached payloads go to the attacher
  std::unique_ptr<PayloadAttacher> attacher_;  // started at the first such payload
  RecordOffsets::OffsetArray slot_offsets_;  // the offset of each slot's record
};

// The records from the start of `run` to the end of the file, estimated
// from the run's average length (deleted records included, so rather too
// few than too many: memory faulted in beyond the load's need is handed
// back, but only in whole huge pages).
std::size_t records_ahead(std::span<const RecordView> run, std::uint64_t file_length) {
  const RecordView& first = run.front();
  const RecordView& last = run.back();
  const std::uint64_t span = last.offset + last.length - first.offset;
  if (span == 0 || file_length <= first.offset) return 0;
  return static_cast<std::size_t>((file_length - first.offset) / span * run.size() +
                                  (file_length - first.offset) % span * run.size() / span);
}

}  // namespace

PersistentCollection::PersistentCollection(FileSystem& fs, std::string dir, CollectionConfig config,
                                           bool read_only)
    : fs_(fs), dir_(std::move(dir)), config_(config), read_only_(read_only),
      index_(config.metric, config.dimension) {
  index_.choose_search_path_by_time(config.choose_search_path_by_time);
  index_.use_payload_store(std::make_unique<PayloadTextStore>());
}

Result<std::unique_ptr<PersistentCollection>> PersistentCollection::open_or_create(
    const std::string& path, const CollectionConfig& config, FileSystem& fs) {
  OpenOptions options;
  options.require_stored_metric = false;
  return open(path, config, options, fs);
}

Result<std::optional<CollectionConfig>> PersistentCollection::stored_config(const std::string& path,
                                                                            FileSystem& fs) {
  if (!fs.exists(join_path(path, directory_files::kMeta))) return std::optional<CollectionConfig>();
  auto meta = read_meta(fs, path);
  if (!meta) return meta.error();
  auto metric = metric_from_name(meta->metric);
  if (!metric) {
    return VectorError::collection("unknown metric '" + meta->metric + "' in " +
                                   join_path(path, directory_files::kMeta));
  }
  CollectionConfig config;
  config.dimension = static_cast<std::size_t>(meta->dimension);
  config.metric = *metric;
  return std::optional<CollectionConfig>(config);
}

namespace {

// Creates `path` and its missing parents, each forced into its parent: a
// new directory's name is on disk only once its parent is forced, and
// without that a power cut can take the whole collection with it.
Status create_directory(FileSystem& fs, const std::string& path) {
  // The directories made here, outermost first.
  std::vector<std::string> made;
  for (std::string p = path; !fs.exists(p) && p != parent_path(p); p = parent_path(p)) {
    made.insert(made.begin(), p);
  }
  if (auto r = fs.create_dirs(path); !r) {
    return VectorError::collection("create dir failed: " + r.error().text());
  }
  for (const std::string& dir : made) {
    if (auto r = fs.sync_dir(parent_path(dir)); !r) {
      return VectorError::collection("create dir failed: " + r.error().text());
    }
  }
  return {};
}

// The lock of an open: shared for a reader, exclusive for a writer. A
// refusal says who holds the directory: a writer refused is told whether
// readers hold it (a shared lock is then granted to a probe).
Result<std::unique_ptr<DirLock>> lock_directory(FileSystem& fs, const std::string& path, bool read_only) {
  auto lock = fs.lock_dir(path, read_only ? LockMode::Shared : LockMode::Exclusive);
  if (lock) return lock;
  std::string holder;
  if (is_lock_held(lock.error())) {
    if (read_only) {
      holder = " (the directory is open for writing in another Collection object or process)";
    } else if (fs.lock_dir(path, LockMode::Shared)) {
      holder = " (the directory is open read-only in another Collection object or process)";
    } else {
      holder = " (the directory is open in another Collection object or process)";
    }
  }
  return VectorError::collection("lock failed: " + lock.error().text() + holder);
}

}  // namespace

Result<std::unique_ptr<PersistentCollection>> PersistentCollection::open(
    const std::string& path, const CollectionConfig& requested, const OpenOptions& options, FileSystem& fs) {
  const bool read_only = options.read_only;
  if (read_only && options.intent != OpenIntent::OpenExisting) {
    return VectorError::collection("a read-only open needs an existing collection (OpenExisting)");
  }
  CollectionConfig config = requested;
  const std::string meta_path = join_path(path, directory_files::kMeta);
  bool is_new = !fs.exists(meta_path);
  if (options.intent == OpenIntent::OpenExisting && is_new) {
    return VectorError::collection("no collection at " + path + " (meta.json does not exist)");
  }
  if (options.intent == OpenIntent::CreateNew && !is_new) {
    return VectorError::collection("a collection already exists at " + path);
  }
  if (!read_only && !fs.exists(path)) {
    if (auto r = create_directory(fs, path); !r) return r.error();
  }
  std::uint64_t stored_next_id = 1;
  if (!is_new) {
    auto meta = read_meta(fs, path);
    if (!meta) return meta.error();
    if (options.intent == OpenIntent::OpenExisting) {
      auto metric = metric_from_name(meta->metric);
      if (!metric) return VectorError::collection("unknown metric '" + meta->metric + "' in " + meta_path);
      config.dimension = static_cast<std::size_t>(meta->dimension);
      config.metric = *metric;
    }
    if (meta->dimension != config.dimension) {
      return VectorError::collection("dimension mismatch: collection has " +
                                     std::to_string(meta->dimension) + ", config has " +
                                     std::to_string(config.dimension));
    }
    if (options.require_stored_metric && meta->metric != metric_name(config.metric)) {
      return VectorError::collection("metric mismatch: collection has " + meta->metric + ", config has " +
                                     std::string(metric_name(config.metric)));
    }
    stored_next_id = meta->next_id;
  }

  std::unique_ptr<PersistentCollection> c(new PersistentCollection(fs, path, config, read_only));
  // One writer per directory: two would interleave their buffered writes
  // and tear each other's frames; readers share it, as nothing they do
  // writes. The lock is taken on the directory itself, so a path naming a
  // file is refused first, in its own words.
  auto is_dir = fs.is_directory(path);
  if (!is_dir) return VectorError::collection("lock failed: " + is_dir.error().text());
  if (!*is_dir) return VectorError::collection(path + " is a file, not a directory");
  auto lock = lock_directory(fs, path, read_only);
  if (!lock) return lock.error();
  c->dir_lock_ = std::move(*lock);
  // Another process may have created the collection since it was looked for.
  if (options.intent == OpenIntent::CreateNew && fs.exists(meta_path)) {
    return VectorError::collection("a collection already exists at " + path);
  }
  c->next_id_ = stored_next_id;

  if (read_only) {
    // Nothing is created or written: a missing data file reads as empty.
    if (fs.exists(join_path(path, directory_files::kData))) {
      auto data = VectorDataFile::open_read_only(fs, join_path(path, directory_files::kData));
      if (!data) return data.error();
      c->data_ = std::move(*data);
    }
    if (auto r = c->recover(); !r) return r.error();
    if (!c->load_started_) c->start_bound_codes();
    return c;
  }

  const bool files_exist = fs.exists(join_path(path, directory_files::kWal)) && fs.exists(join_path(path, directory_files::kData));
  auto wal = WriteAheadLog::open(fs, join_path(path, directory_files::kWal), config.wal_sync_policy);
  if (!wal) return wal.error();
  c->wal_ = std::move(*wal);
  auto data = VectorDataFile::open(fs, join_path(path, directory_files::kData));
  if (!data) return data.error();
  c->data_ = std::move(*data);
  c->data_->hold(true);  // see the write ordering in collection.h
  if (!files_exist) {
    // The names of files created here reach the disk with their directory.
    if (auto r = fs.sync_dir(path); !r) return VectorError::io("sync failed: " + r.error().text());
  }

  if (auto r = c->recover(); !r) return r.error();
  if (is_new) {
    if (auto r = c->write_meta_now(); !r) return r.error();
  }
  if (!c->load_started_) c->start_bound_codes();
  return c;
}

Result<LoadedRecords> PersistentCollection::load_data_file(std::uint64_t& max_id,
                                                          std::vector<std::uint64_t>& superseded) {
  std::shared_lock data_lock(data_lock_);
  std::unique_lock index_lock(index_lock_);
  std::unique_lock offsets_lock(offsets_lock_);
  PayloadDecodeCache decoded;  // outlives the batch, which may hand its payloads aside
  LoadBatch batch(index_, superseded);
  bool sized = false;
  std::unique_ptr<BackgroundPrefault> prefault;
  auto scanned = data_->scan_live_runs([&](std::span<RecordView> run, std::uint64_t file_length) {
    if (load_started_) {
      load_progress_.store(run.front().offset, std::memory_order_relaxed);
      pause_for_early_searches();
    }
    if (!sized) {
      // Room for every record the file can hold up front, so nothing is
      // grown and copied during the load: an indexed record is at least
      // this long. Pages never written cost address space only.
      const std::uint64_t size = record_codec::min_record_size(config_.dimension);
      index_.reserve(static_cast<std::size_t>(file_length / size));
      batch.reserve(static_cast<std::size_t>(file_length / size));
      sized = true;
      // Another core faults in the vectors' memory while this one reads.
      const std::size_t ahead = records_ahead(run, file_length);
      prefault = std::make_unique<BackgroundPrefault>(index_.storage_ahead(ahead));
      if (std::any_of(run.begin(), run.end(), [](const RecordView& rec) { return rec.payload != nullptr; })) {
        index_.reserve_payloads(ahead);
      }
      if (ahead >= kPayloadsAsideRecords) batch.attach_payloads_aside();
    }
    for (const RecordView& rec : run) max_id = std::max(max_id, rec.id);
    batch.add(run);
  }, decoded);
  batch.finish_payloads();
  if (prefault) prefault->finish(index_.storage_end());
  record_offsets_ = batch.take_offsets();
  if (scanned) file_records_ = scanned->record_count;
  return scanned;
}

bool PersistentCollection::holds_already(const WalEntry& entry) const {
  std::shared_lock lock(index_lock_);
  auto current = index_.vector_of(entry.id);
  if (!current || current->size() != entry.vector.size() ||
      std::memcmp(current->data(), entry.vector.data(), entry.vector.size() * sizeof(float)) != 0) {
    return false;
  }
  // Payloads compare by their stored text: 0.0 and -0.0 differ there.
  const std::optional<Payload> payload = index_.payload_of(entry.id);
  const Payload empty;
  return json::encode_payload(payload ? *payload : empty) == json::encode_payload(entry.payload);
}

Status PersistentCollection::recover() {
  // Read both files before changing either: a log that cannot be read fails
  // the open and leaves every file as it was. The data file is streamed
  // once, straight into the index.
  // A bulk insert cut short leaves records that were never acknowledged,
  // perhaps torn: they go before anything reads the data file.
  if (auto r = roll_back_bulk(); !r) return r;
  auto log = WriteAheadLog::read_all(fs_, join_path(dir_, directory_files::kWal));
  if (!log) return log.error();
  // Only a load with no log to replay goes aside: the data file then holds
  // the whole collection, and can answer searches until the load is done.
  if (config_.load_in_background && data_ && log->entries.empty() &&
      data_->position() >= config_.background_load_min_bytes) {
    load_file_length_ = data_->position();
    early_open_ = true;
    loading_.store(true);
    load_started_ = true;
    try {
      // A copy: with no entries, only the log's lengths.
      loader_ = std::jthread([this, contents = *log]() mutable { run_load(std::move(contents)); });
      return {};
    } catch (const std::system_error&) {
      // No thread to be had: loaded here, as without the option.
      load_started_ = false;
      loading_.store(false);
      early_open_ = false;
    }
  }
  return recover_from(*log);
}

Status PersistentCollection::recover_from(WalContents& log) {
  std::uint64_t max_id = 0;
  // Earlier live records of ids that a later live record replaces.
  std::vector<std::uint64_t> superseded;
  // A read-only collection may have no data file: it reads as empty.
  Result<LoadedRecords> loaded = data_ ? load_data_file(max_id, superseded) : LoadedRecords{};
  if (load_started_) {
    // Searches read the index from now on: nothing below changes the data
    // file while one of them reads it.
    std::unique_lock lock(data_lock_);
    early_open_ = false;
  }
  if (!loaded) return loaded.error();
  {
    std::unique_lock next_id_lock(next_id_lock_);
    next_id_ = max_id + 1;  // modulo 2^64
  }
  if (read_only_) return replay(log.entries);

  // Torn tails: cut them off before anything is appended behind them.
  if (auto r = cut_log_tail(log); !r) return r;
  if (auto r = cut_damaged_data_tail(*loaded); !r) return r;
  if (log.entries.empty() && superseded.empty()) return {};

  // What the replay writes derives from the log, so the log goes to disk
  // first: after a crash of the process it may hold frames that the
  // operating system has not written yet.
  {
    std::unique_lock lock(wal_lock_);
    if (auto r = wal_->sync(); !r) return r;
  }
  // Retire the replaced records (left live when marking failed at insert,
  // or written by another program): a replayed Delete marks only the
  // latest, and a flush would then let the older one come back at the next
  // open.
  for (std::uint64_t offset : superseded) {
    std::unique_lock lock(data_lock_);
    (void)data_->mark_deleted(offset);
  }
  if (auto r = replay(log.entries); !r) return r;
  // A checkpoint ends the recovery: the next open replays nothing, and the
  // data file does not grow by the log at every open.
  return checkpoint();
}

Status PersistentCollection::replay(std::vector<WalEntry>& entries) {
  for (WalEntry& entry : entries) {
    switch (entry.kind) {
      case WalEntryKind::Insert:
      case WalEntryKind::Update:
        if (entry.vector.size() != config_.dimension) {
          return VectorError::dimension_mismatch(config_.dimension, entry.vector.size());
        }
        // A collection closed without a flush wrote its records out behind
        // the forced log: an insert whose record is the id's current one
        // is there already, and appending it again would only grow the
        // file. A read-only collection writes nothing in any case.
        if (read_only_ || (entry.kind == WalEntryKind::Insert && holds_already(entry))) {
          if (read_only_) {
            std::unique_lock lock(index_lock_);
            index_.remove(entry.id);
            if (auto r = index_.insert(entry.id, entry.vector, std::move(entry.payload)); !r) return r;
          }
          std::unique_lock lock(next_id_lock_);
          if (entry.id + 1 > next_id_) next_id_ = entry.id + 1;  // as the insert would
          break;
        }
        if (auto r = apply_put(entry.id, std::move(entry.vector), std::move(entry.payload)); !r) return r;
        break;
      case WalEntryKind::Delete:
        if (read_only_) {
          std::unique_lock lock(index_lock_);
          index_.remove(entry.id);
        } else if (auto r = apply_delete(entry.id); !r) {
          return r.error();
        }
        break;
      case WalEntryKind::Checkpoint:
        break;
    }
  }
  return {};
}

Status PersistentCollection::cut_log_tail(const WalContents& log) {
  if (log.valid_length >= log.file_length) return {};
  // A page of the tail was lost but bytes follow it: those were never
  // acknowledged as durable, but they are not ours to destroy.
  if (log.kept_tail) {
    if (auto r = keep_copy(directory_files::kWal, log.valid_length, log.file_length); !r) return r;
  }
  std::unique_lock lock(wal_lock_);
  return wal_->truncate_to(log.valid_length);
}

Status PersistentCollection::cut_damaged_data_tail(const LoadedRecords& loaded) {
  if (loaded.end_offset >= loaded.file_length) return {};
  std::unique_lock lock(data_lock_);
  // A writer that died mid-append leaves less than one record behind, and a
  // file system that grew the file before its data arrived leaves zeros.
  // More than that, or a complete record that cannot be read, is damage (a
  // broken dim or payload_len reads like a record running past the end):
  // not ours to destroy, so everything from there to the end is copied
  // aside before it is cut off.
  auto file = fs_.open(join_path(dir_, directory_files::kData), OpenMode::ReadOnly);
  if (!file) return VectorError::io("open for copy failed: " + file.error().text());
  auto zeros = (*file)->zeros_from(loaded.end_offset, loaded.file_length);
  if (!zeros) return VectorError::io("read damaged tail failed: " + zeros.error().text());
  const std::uint64_t tail = loaded.file_length - loaded.end_offset;
  const std::uint64_t one_record = record_codec::empty_record_size(config_.dimension);
  if (!*zeros && (loaded.stop == LoadedRecords::Stop::Undecodable || tail >= one_record)) {
    if (auto r = keep_copy(directory_files::kData, loaded.end_offset, loaded.file_length); !r) return r;
  }
  return data_->truncate_to(loaded.end_offset);
}

Status PersistentCollection::keep_copy(std::string_view name, std::uint64_t from, std::uint64_t to) {
  const std::string base = std::string(name) + std::string(directory_files::kDamagedSuffix);
  std::string target = join_path(dir_, base);
  for (int n = 1; fs_.exists(target); ++n) target = join_path(dir_, base + "." + std::to_string(n));
  auto src = fs_.open(join_path(dir_, name), OpenMode::ReadOnly);
  if (!src) return VectorError::io("open for copy failed: " + src.error().text());
  auto dst = fs_.open(target, OpenMode::WriteCreateTruncate);
  if (!dst) return VectorError::io("open damaged copy failed: " + dst.error().text());
  if (auto r = (*src)->seek(from); !r) return VectorError::io("seek failed: " + r.error().text());
  std::vector<std::uint8_t> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, to - from)));
  for (std::uint64_t left = to - from; left > 0;) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
    if (auto r = (*src)->read_exact(chunk.data(), n); !r) {
      return VectorError::io("read damaged tail failed: " + r.error().text());
    }
    if (auto r = (*dst)->write(chunk.data(), n); !r) {
      return VectorError::io("write damaged copy failed: " + r.error().text());
    }
    left -= n;
  }
  if (auto r = (*dst)->sync(); !r) return VectorError::io("sync failed: " + r.error().text());
  // The copy's name must be on disk before the original bytes are cut.
  if (auto r = fs_.sync_dir(dir_); !r) return VectorError::io("sync failed: " + r.error().text());
  return {};
}

Status PersistentCollection::write_meta_now() {
  CollectionMeta meta;
  meta.dimension = config_.dimension;
  meta.metric = std::string(metric_name(config_.metric));
  {
    std::shared_lock lock(index_lock_);
    meta.vector_count = index_.size();
  }
  {
    std::shared_lock lock(next_id_lock_);
    meta.next_id = next_id_;
  }
  return write_meta(fs_, dir_, meta);
}

}  // namespace velmoradb
