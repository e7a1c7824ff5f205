// PersistentCollection: a directory holding meta.json, wal.log and data.vdb.
//
// Every insert is appended to the log first, then to the data file and the
// in-memory index. Opening loads the data file and replays the log, so an
// insert whose log frame reached the file survives a crash of the process.
// flush() is the checkpoint: data file forced, log emptied, meta.json current.
//
// Thread safety: every public method may be called from several threads at
// once. Each member has its own lock (index, data file, offsets, next_id,
// log). Writers (insert, flush) are in addition serialised by write_lock_:
// a checkpoint then never drops the log entry of an insert whose record is
// not yet in the data file, and the log and the data file always receive
// inserts in the same order, so a crash leaves the result of a prefix of
// the inserts. Searches take only the index lock, shared, and run alongside
// an insert's log and data-file steps.
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
// An open collection holds an exclusive advisory lock on its directory for
// its whole life; a second open of the same directory fails.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "engine/metric.h"
#include "engine/payload.h"
#include "engine/result.h"
#include "collection/record_offsets.h"
#include "engine/vector_index.h"
#include "storage/data_file.h"
#include "storage/file.h"
#include "storage/wal.h"

namespace velmoradb {

struct CollectionConfig {
  std::size_t dimension = 0;
  DistanceMetric metric = DistanceMetric::Euclidean;
  WalSyncPolicy wal_sync_policy = WalSyncPolicy::Batched;
};

class PersistentCollection {
 public:
  static Result<std::unique_ptr<PersistentCollection>> open_or_create(
      const std::string& path, const CollectionConfig& config,
      FileSystem& fs = default_file_system());

  // Writes out both buffers (failures ignored) and closes the files; no
  // checkpoint. When data records are held, the log is forced first so
  // they may follow it; if that fails they are dropped (the log's replay
  // writes them again).
  ~PersistentCollection();

  // Data held in the process before the log is forced early. Small enough
  // to stay in the cache between the copy into the buffer and the write
  // (a batch of 100,000 x 128 loaded 5% slower than with no holding at 2
  // MiB, 20% slower at 8 or 64 MiB; re-measure with bench/run.py).
  static constexpr std::size_t kMaxHeldBytes = std::size_t{2} << 20;

  // Durable per the log's sync policy; replaces an id already present.
  // A vector of the wrong length or with a non-finite component is refused
  // before anything is written.
  Status insert(std::uint64_t id, std::vector<float> vector, Payload payload = {});
  // Row i of a batch: its vector's first float and length.
  using BatchRow = std::function<std::pair<const float*, std::size_t>(std::size_t)>;
  // Inserts ids[0..count) with their rows in order, each a complete insert
  // of its own; the first failure stops the batch and the pairs before it
  // stay. Nothing in a batch is acknowledged before it returns, so the log
  // syncs its policy asks for are made once, at the end; if that final sync
  // fails, its error is returned and the inserted pairs stay.
  Status insert_batch(const std::uint64_t* ids, std::size_t count, const BatchRow& row);
  std::vector<SearchResult> search(const float* query, std::size_t len, std::size_t k) const;
  std::vector<std::vector<SearchResult>> search_batch(const float* queries, std::size_t nq,
                                                      std::size_t k) const;
  Status flush();

  // Replay steps, also used by recovery.
  Status apply_insert(std::uint64_t id, std::vector<float> vector, Payload payload);
  Status apply_update(std::uint64_t id, std::vector<float> vector, Payload payload);
  Result<bool> apply_delete(std::uint64_t id);

  const CollectionConfig& config() const { return config_; }
  std::size_t size() const;
  // Every id and its vector, a snapshot (for tools and tests).
  std::map<std::uint64_t, std::vector<float>> snapshot() const;
  std::uint64_t next_id() const;

 private:
  PersistentCollection(FileSystem& fs, std::string dir, CollectionConfig config);
  Status recover();
  // Streams data.vdb into the index and the offsets; sets max_id to the
  // largest id read and collects the offsets of replaced live records.
  Result<LoadedRecords> load_data_file(std::uint64_t& max_id, std::vector<std::uint64_t>& superseded);
  Status insert_locked(std::uint64_t id, std::vector<float> vector, Payload payload);
  // Writes out what the data file holds once the log is on disk (forcing
  // the log first when too much is held).
  Status release_held_data();
  // Log forced, data file written out and forced, log emptied, meta.json
  // replaced. The caller holds write_lock_ (or has not shared the object).
  Status checkpoint();
  Status cut_log_tail(const WalContents& log);
  Status cut_damaged_data_tail(const LoadedRecords& loaded);
  // Copies bytes [from, to) of the file `name` to a new file `name`.damaged
  // (.1, .2, ... beside an earlier copy), forced to disk with its name.
  Status keep_copy(std::string_view name, std::uint64_t from, std::uint64_t to);
  Status write_meta_now();

  FileSystem& fs_;
  std::string dir_;
  CollectionConfig config_;
  std::unique_ptr<DirLock> dir_lock_;

  std::mutex write_lock_;  // insert and flush, one at a time
  mutable std::shared_mutex index_lock_;
  VectorIndex index_;
  mutable std::shared_mutex data_lock_;
  std::unique_ptr<VectorDataFile> data_;
  mutable std::shared_mutex offsets_lock_;
  RecordOffsets record_offsets_;
  mutable std::shared_mutex next_id_lock_;
  std::uint64_t next_id_ = 1;
  mutable std::shared_mutex wal_lock_;
  std::unique_ptr<WriteAheadLog> wal_;
};

}  // namespace velmoradb
