// PersistentCollection: a directory holding meta.json, wal.log and data.vdb;
// a set of records (id, vector, payload) with exact nearest-neighbour search.
//
// Every change (insert, replace, delete) is appended to the log first, then
// to the data file and the in-memory index. Opening loads the data file and
// replays the log, so a change whose log frame reached the file survives a
// crash of the process. flush() is the checkpoint: data file forced, log
// emptied, meta.json current.
//
// Thread safety: every public method may be called from several threads at
// once. Reads (search, get, contains, size, ids, reclaimable_bytes) take
// only the index lock, shared, and run in parallel with each other and
// alongside the log and data-file steps of a write. Writes (insert, remove,
// flush, compact, close) are serialised by write_lock_: a checkpoint then
// never drops the log entry of a change whose record is not yet in the data
// file, and the log and the data file always receive changes in the same
// order, so a crash leaves the result of a prefix of the changes.
//
// With bound codes, open() leaves their build to a thread of the
// collection's own (collection_codes.cpp), which takes index_lock_ alone:
// shared while it reads the vectors, exclusive to install the codes.
// close() and the destructor stop it and wait for it before anything else.
//
// Lock order (a thread holding one may take only those after it):
//   write_lock_ -> wal_lock_ -> data_lock_ -> index_lock_ -> offsets_lock_
//   -> next_id_lock_ -> load_wait_lock_.
//
// Write ordering (the write-ahead rule, on disk): no byte of the data file,
// an appended record or a deleted marker, is handed to the operating
// system before the log frames of the operations it reflects have been
// forced to disk. The data file holds its records and markers in the
// process until then: they are written out after each forced sync of the
// log (every 100th append, the end of a batch, a checkpoint, the close),
// and when more than kMaxHeldBytes are held the log is forced early. So
// after a power cut the data file never shows an operation the log lost,
// and replaying the log over it yields a prefix of the operations.
//
// Recovery ends with a checkpoint whenever it replayed anything, so the
// next open replays nothing and the files do not grow from open to open.
//
// With load_in_background, open() of a large collection whose log has
// nothing to replay returns once the log is read: the load of the data file
// and the rest of the recovery go on on a thread of the collection's own
// (collection_background_load.cpp). Every method waits for it first, and
// reports its error if it failed, except an unfiltered search(), which
// meanwhile is answered from the data file itself (data_file_search.h):
// the first answer after a reopen costs one pass over the file, not the
// load.
//
// Compaction forces the log, writes the live records to data.vdb.compact,
// forces it, renames it over data.vdb, forces the directory, and ends with
// a checkpoint: at every moment the disk holds either the old or the new
// data file, and the log holds every change the file on disk may lack.
//
// A writable collection holds an exclusive advisory lock on its directory
// for its whole life (until close()); a read-only one holds a shared lock,
// so any number of read-only instances may be open at once, but never
// alongside a writable one.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "engine/filter/filter.h"
#include "engine/kernels/metric.h"
#include "engine/index/payload.h"
#include "engine/support/result.h"
#include "collection/record_offsets.h"
#include "engine/index/vector_index.h"
#include "storage/data_file.h"
#include "storage/file.h"
#include "storage/wal.h"

namespace velmoradb {

// Below this a load takes a few milliseconds: open() does it itself.
inline constexpr std::uint64_t kBackgroundLoadMinBytes = std::uint64_t{16} << 20;

struct CollectionConfig {
  std::size_t dimension = 0;
  DistanceMetric metric = DistanceMetric::Euclidean;
  WalSyncPolicy wal_sync_policy = WalSyncPolicy::Batched;
  // Keep bound codes (vector_index.h) beside the vectors in memory, so a
  // single-query search of at least bound_codes_min_size records computes
  // few exact distances; the results are those of the plain scan. Nothing
  // of them is stored: the codes are built at open from the vectors.
  bool bound_codes = false;
  std::size_t bound_codes_min_size = kBoundCodesMinSize;
  // Build the codes on a thread of the collection's own once open() has
  // loaded the records (open then returns as fast as without codes), and
  // switch searches to them when they are ready; until then searches
  // scan, with the same results. false: open() builds them before it
  // returns. See wait_for_bound_codes().
  bool bound_codes_background = true;
  // A single-query search takes the codes or the plain scan, whichever has
  // been faster on this collection (engine/codes/search_path_chooser.h); the
  // results are the same. false: the codes whenever they are ready.
  bool choose_search_path_by_time = true;
  // Load a data file of at least background_load_min_bytes after open()
  // returns, on a thread of the collection's own, when the log has nothing
  // to replay (see the top of this file). false: open() returns once the
  // collection is loaded.
  bool load_in_background = false;
  std::uint64_t background_load_min_bytes = kBackgroundLoadMinBytes;
};

// What open() may do with the directory.
enum class OpenIntent : std::uint8_t {
  OpenOrCreate,  // open the collection there, or create it (and the directory)
  OpenExisting,  // open only: no meta.json is a CollectionError
                 // "no collection at PATH (meta.json does not exist)"
  CreateNew,     // create only: an existing meta.json is a CollectionError
                 // "a collection already exists at PATH"
};

struct OpenOptions {
  OpenIntent intent = OpenIntent::OpenOrCreate;
  // OpenExisting only (refused with the others): a shared lock, no write of
  // any kind (the log is replayed into memory only; torn tails stay as they
  // are), and every write method fails with "collection is read-only".
  bool read_only = false;
  // An existing collection stored with another metric than config.metric:
  // refused with CollectionError "metric mismatch: collection has Cosine,
  // config has Euclidean" (true), or opened with config.metric, which the
  // next meta.json write then stores (false: what open_or_create does).
  bool require_stored_metric = true;
};

// One record as get() returns it: copies, independent of the collection.
struct Record {
  std::uint64_t id = 0;
  std::vector<float> vector;
  Payload payload;

  bool operator==(const Record&) const = default;
};

struct CompactStats {
  std::uint64_t bytes_before = 0;     // data.vdb before
  std::uint64_t bytes_after = 0;      // data.vdb after
  std::uint64_t records_dropped = 0;  // deleted and replaced records removed
};

class PersistentCollection {
 public:
  // open(path, config, {OpenOrCreate, false, require_stored_metric=false}):
  // the stored metric is replaced by config.metric.
  static Result<std::unique_ptr<PersistentCollection>> open_or_create(
      const std::string& path, const CollectionConfig& config,
      FileSystem& fs = default_file_system());
  // Opens or creates as `options` asks. With OpenExisting, config.dimension
  // and config.metric are ignored: meta.json's are used (config() reports
  // them). Otherwise an existing collection of another dimension is
  // refused ("dimension mismatch: collection has 3, config has 4"), and one
  // of another metric as require_stored_metric says. A directory held by a
  // writer is refused with "lock failed: ... (the directory is open in
  // another Collection object or process)", one held by readers with
  // "lock failed: ... (the directory is open read-only in another
  // Collection object or process)", and a read-only open of a directory a
  // writer holds with "lock failed: ... (the directory is open for writing
  // in another Collection object or process)". Every refusal is a
  // CollectionError and changes no file.
  static Result<std::unique_ptr<PersistentCollection>> open(
      const std::string& path, const CollectionConfig& config, const OpenOptions& options,
      FileSystem& fs = default_file_system());
  // The dimension and metric stored in path/meta.json, without opening or
  // locking anything (wal_sync_policy is the default); nullopt when there
  // is no meta.json. For callers that word their own refusals; open()
  // checks again. CollectionError for an unreadable meta.json or an
  // unknown metric name in it.
  static Result<std::optional<CollectionConfig>> stored_config(
      const std::string& path, FileSystem& fs = default_file_system());

  // close(), its failures ignored (a held record whose log frame cannot be
  // forced is dropped: the log's replay writes it again).
  ~PersistentCollection();

  // Data held in the process before the log is forced early. Small enough
  // to stay in the cache between the copy into the buffer and the write
  // (a batch of 100,000 x 128 loaded 5% slower than with no holding at 2
  // MiB, 20% slower at 8 or 64 MiB; re-measure with bench/run.py).
  static constexpr std::size_t kMaxHeldBytes = std::size_t{2} << 20;

  // --- Writes. Each fails with CollectionError "collection is closed"
  // after close(), and "collection is read-only" when opened so.

  // Durable per the log's sync policy; replaces an id already present,
  // payload included. A vector of the wrong length or with a non-finite
  // component is refused before anything is written, and so is a payload
  // that would not come back as it is (json::check_payload).
  Status insert(std::uint64_t id, std::vector<float> vector, Payload payload = {});
  // Row i of a batch: its vector's first float and length.
  using BatchRow = std::function<std::pair<const float*, std::size_t>(std::size_t)>;
  // Inserts ids[0..count) with their rows in order, each a complete insert
  // of its own (payloads[i] with row i, moved from; null: all empty); the
  // first failure stops the batch and the pairs before it stay
  // (*inserted, when given, says how many). Nothing in a batch is
  // acknowledged before it returns, so the log syncs its policy asks for
  // are made once, at the end; if that final sync fails, its error is
  // returned and the inserted pairs stay.
  Status insert_batch(const std::uint64_t* ids, std::size_t count, const BatchRow& row);
  Status insert_batch(const std::uint64_t* ids, std::size_t count, const BatchRow& row,
                      Payload* payloads, std::size_t* inserted = nullptr);
  // A bulk insert (collection_bulk.cpp): the rows written straight to the
  // data file, never as log text, and forced before it returns. All or
  // nothing: the lengths and payloads are checked first, a non-finite component as its
  // row is written (the errors of insert), and a failure, or a crash
  // before it returns, leaves none of the batch, with
  // one exception, as for insert_batch: when only the final forcing fails,
  // the batch stays inserted (*inserted, when given, is then count) and the
  // error is returned. Costs a checkpoint and four more forced writes, so
  // it pays for large batches (the Python class uses it from kBulkMinBytes
  // of vectors on).
  Status insert_batch_direct(const std::uint64_t* ids, std::size_t count, const BatchRow& row,
                             Payload* payloads, std::size_t* inserted = nullptr);
  static constexpr std::size_t kBulkMinBytes = std::size_t{4} << 20;
  // Deletes `id`: a Delete log entry (durable per the policy, as an
  // insert), then the deleted marker of its record (held like a record),
  // then it leaves the index. True when the id was present; a missing id
  // writes nothing and is no error. A failed delete leaves the id present
  // and its log entry taken back.
  Result<bool> remove(std::uint64_t id);
  // remove() of each id in order, acknowledged together as insert_batch
  // is; how many were present. The first failure stops the batch (the
  // deletes before it stay) and is returned.
  Result<std::size_t> remove_batch(const std::uint64_t* ids, std::size_t count);
  // Checkpoint: log forced, data file written out and forced, log
  // emptied, meta.json replaced.
  Status flush();
  // Rewrites data.vdb with only the live records (see the top of this
  // file) and empties the log. On failure the collection stays usable and
  // holds every record, in the old data file or the new one.
  Result<CompactStats> compact();
  // A checkpoint when the log holds anything (so the next open has
  // nothing to replay), then closes the files and releases the directory
  // lock; the memory of the index is freed. If the checkpoint fails, what
  // the data file holds is written out after forcing the log, as the
  // destructor does. Idempotent: later calls return success and do nothing. Every
  // other method then fails ("collection is closed") or, for the methods
  // without a Result, returns nothing found. On a failure the collection
  // is closed all the same and the first error is returned (held data
  // whose log could not be forced is dropped; the log's replay restores
  // what reached it).
  Status close();
  bool closed() const;
  bool read_only() const { return read_only_; }

  // --- Reads. Those returning a Result fail with "collection is closed"
  // after close().

  // The k nearest records to the query among those `where` matches (null:
  // all), nearest first; each distance has the bits of an unfiltered
  // search. DimensionMismatch for a query of the wrong length.
  Result<std::vector<SearchResult>> search(const float* query, std::size_t len, std::size_t k,
                                           const Filter* where) const;
  // nq queries of dimension floats each, one after the other, split over
  // up to `threads` threads of the engine's pool (the lists do not depend
  // on it).
  Result<std::vector<std::vector<SearchResult>>> search_batch(const float* queries, std::size_t nq,
                                                              std::size_t k, const Filter* where,
                                                              std::size_t threads = 1) const;
  // The unfiltered forms: empty for a query of the wrong length and after
  // close().
  std::vector<SearchResult> search(const float* query, std::size_t len, std::size_t k) const;
  std::vector<std::vector<SearchResult>> search_batch(const float* queries, std::size_t nq,
                                                      std::size_t k) const;
  // The record of `id`, or nullopt.
  Result<std::optional<Record>> get(std::uint64_t id) const;
  Result<bool> contains(std::uint64_t id) const;
  // The ids of the records `where` matches (null: all), ascending.
  Result<std::vector<std::uint64_t>> ids(const Filter* where = nullptr) const;
  // How many records; 0 after close().
  std::size_t size() const;
  // Bytes of memory the bound codes hold (0 when none are kept, and after
  // close()).
  std::size_t bound_codes_bytes() const;
  // Whether the next single-query search uses the bound codes.
  bool bound_codes_active() const;
  // Returns once no build of the bound codes is running: at once when none
  // was started (config.bound_codes false, bound_codes_background false,
  // fewer records than bound_codes_min_size at open), otherwise when the
  // codes built after open are in use, or were given up (close(), or no
  // memory for them: searches then scan).
  void wait_for_bound_codes() const;
  // Bytes of data.vdb that compact() would remove (deleted and replaced
  // records): the file's length less that of the live records as
  // compaction writes them.
  Result<std::uint64_t> reclaimable_bytes() const;

  // The configuration in force: with OpenExisting, the stored dimension
  // and metric.
  const CollectionConfig& config() const { return config_; }
  const std::string& path() const { return dir_; }
  // Every id and its vector, a snapshot (for tools and tests).
  std::map<std::uint64_t, std::vector<float>> snapshot() const;
  std::uint64_t next_id() const;

 private:
  PersistentCollection(FileSystem& fs, std::string dir, CollectionConfig config, bool read_only);
  // Whether the index holds exactly the entry's vector and payload (a
  // replayed insert whose record the data file has already).
  bool holds_already(const WalEntry& entry) const;
  // Rolls back an unfinished bulk insert, reads the log, and recovers from
  // both: here, or on loader_ (load_started_) when the configuration asks
  // for that and the collection qualifies.
  Status recover();
  // The recovery once the log is read: the data file loaded, torn tails
  // cut, the log replayed.
  Status recover_from(WalContents& log);
  // The body of loader_: recover_from, then the bound codes; never throws.
  void run_load(WalContents log);
  // Returns once no load runs (at once when none was started), with its
  // result: every public method begins here.
  Status wait_loaded() const;
  // An unfiltered search while the load runs, from the data file;
  // nullopt when it should wait for the load instead.
  std::optional<std::vector<SearchResult>> search_while_loading(const float* query, std::size_t k) const;
  // Called by the load between runs: waits, once, for the searches of the
  // data file then running, which would otherwise share the cores with it.
  void pause_for_early_searches();
  // Switches the index's bound codes on as the configuration asks, now or
  // on codes_builder_ (collection_codes.cpp).
  // `delay`: the builder first waits that long (a stop ends the wait), so
  // that a run of bulk inserts does not begin a build after each one.
  void start_bound_codes(std::chrono::milliseconds delay = std::chrono::milliseconds{0});
  // The body of codes_builder_; never throws.
  void build_bound_codes(std::stop_token stop, std::chrono::milliseconds delay);
  void build_and_install_codes(const std::stop_token& stop);
  // Asks the build to stop and waits for its thread.
  void stop_bound_codes();
  // Streams data.vdb into the index and the offsets; sets max_id to the
  // largest id read and collects the offsets of replaced live records.
  Result<LoadedRecords> load_data_file(std::uint64_t& max_id, std::vector<std::uint64_t>& superseded);
  // Checks done by every write: open and writable.
  Status check_writable() const;
  Status insert_locked(std::uint64_t id, std::vector<float> vector, Payload payload);
  Result<bool> remove_locked(std::uint64_t id);
  // Writes out what the data file holds once the log is on disk (forcing
  // the log first when too much is held).
  Status release_held_data();
  // Log forced, data file written out and forced, log emptied, meta.json
  // replaced. The caller holds write_lock_ (or has not shared the object).
  Status checkpoint();
  // At open: cuts the data file back to where an unfinished bulk insert
  // began, and empties its marker.
  Status roll_back_bulk();
  // A bulk insert that failed: the same, in the running collection; when it
  // fails too, writes are refused until the collection is reopened.
  Status undo_bulk(std::uint64_t length);
  // close() and the destructor: the destructor leaves the log as it is
  // (forced, the data file written out behind it); close() checkpoints.
  Status close_files(bool checkpoint_first);
  Result<CompactStats> compact_locked();
  // One insert or replacement, an entry already in the log, applied to the
  // data file, the index and the offsets (by insert and by the replay): the
  // record appended, then the id's earlier record marked deleted (a failure
  // to mark loses nothing: the load keeps the later of two live records of
  // an id, and the log's replay marks it again).
  Status apply_put(std::uint64_t id, std::vector<float> vector, Payload payload);
  // One delete, its entry already in the log: the marker, the index, the
  // offsets. Whether the id was present.
  Result<bool> apply_delete(std::uint64_t id);
  // The replay of log entries, the one routine of both kinds of open: a
  // writable collection applies them to the data file, the index and the
  // offsets (apply_put, apply_delete); a read-only one to the index alone,
  // and the files stay as they are (torn tails included: the reader stops
  // before them).
  Status replay(std::vector<WalEntry>& entries);
  Status cut_log_tail(const WalContents& log);
  Status cut_damaged_data_tail(const LoadedRecords& loaded);
  // Copies bytes [from, to) of the file `name` to a new file `name`.damaged
  // (.1, .2, ... beside an earlier copy), forced to disk with its name.
  Status keep_copy(std::string_view name, std::uint64_t from, std::uint64_t to);
  Status write_meta_now();

  FileSystem& fs_;
  std::string dir_;
  CollectionConfig config_;
  const bool read_only_;
  std::unique_ptr<DirLock> dir_lock_;
  // Set by close() under write_lock_ and index_lock_ (both exclusive).
  std::atomic<bool> closed_{false};
  // A rename into the directory (compaction) whose forcing failed: the
  // next checkpoint forces the directory before it empties the log.
  bool dir_unsynced_ = false;
  // A bulk insert that could not be undone: the next open's recovery
  // finishes the undo; until then every write is refused.
  bool broken_ = false;
  // The data file a compaction replaced, being closed on a thread of its
  // own: closing the last handle of a replaced file makes the kernel free
  // its pages, a tenth of a second for half a gigabyte, which the
  // compaction's caller need not wait for. Waited for by the next
  // compaction and by the close.
  std::future<void> retired_data_;

  std::mutex write_lock_;  // every write, one at a time
  mutable std::shared_mutex wal_lock_;
  std::unique_ptr<WriteAheadLog> wal_;
  mutable std::shared_mutex data_lock_;
  std::unique_ptr<VectorDataFile> data_;
  std::uint64_t file_records_ = 0;  // records in data_, deleted ones included
  mutable std::shared_mutex index_lock_;
  VectorIndex index_;
  mutable std::shared_mutex offsets_lock_;
  RecordOffsets record_offsets_;
  mutable std::shared_mutex next_id_lock_;
  std::uint64_t next_id_ = 1;
  // The background build of the bound codes: it reads the index under
  // index_lock_ shared and installs the codes under it exclusively (it
  // takes no other lock). codes_building_ (under codes_wait_lock_) is true
  // from its start to its end. Last, so that it is stopped and joined
  // before anything else is destroyed.
  mutable std::mutex codes_wait_lock_;
  mutable std::condition_variable codes_built_;
  bool codes_building_ = false;
  std::jthread codes_builder_;
  // The load after open() (load_in_background). load_started_ is set by
  // open() before it returns and never changes. loading_ turns false, and
  // load_status_ is set, under load_wait_lock_ when the load ends; readers
  // of loading_ false may read load_status_ without the lock.
  // early_searches_ (changed under load_wait_lock_) counts the searches of
  // the data file running, which may begin only while early_open_ (under
  // data_lock_) holds: the data file is still as open() found it.
  bool load_started_ = false;
  std::atomic<bool> loading_{false};
  mutable std::mutex load_wait_lock_;
  mutable std::condition_variable load_changed_;
  Status load_status_;
  bool early_open_ = false;
  mutable std::atomic<int> early_searches_{0};
  bool load_paused_ = false;  // the load's own: it paused once already
  // How far the load has read, of load_file_length_ bytes: past half, a
  // search waits for the rest rather than read the whole file again.
  std::atomic<std::uint64_t> load_progress_{0};
  std::uint64_t load_file_length_ = 0;
  // Last of all, so that it is joined before anything it uses is destroyed.
  std::jthread loader_;
};

}  // namespace velmoradb
