// WriteAheadLog: the file wal.log, a plain sequence of frames
// (wal_format.h), one per entry, written through an 8192-byte buffer.
//
// Owned by one collection, which holds its wal_lock around every call; the
// log has no lock of its own. read_all opens its own handle and may run while
// the append handle is open.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/support/result.h"
#include "storage/append_buffer.h"
#include "storage/file.h"
#include "storage/records.h"

namespace velmoradb {

enum class WalSyncPolicy : std::uint8_t {
  EveryAppend = 0,
  Batched = 1,  // sync on every batch_size-th append
  // No sync of the log's own: it is forced only when its owner asks
  // (sync(): a checkpoint, the close, and a collection that must write out
  // more than its limit of held data records). Any other value behaves the
  // same.
  Never = 2,
};

// What read_all found: the complete frames, and the byte length of the
// prefix they fill. A torn tail is not corruption: valid_length then stops
// before it, and the owner cuts the file back to it before appending again.
// Torn tails are what an interrupted append leaves:
// - the file ends inside the last frame (a writer that died mid-append);
// - the file ends in zero bytes reaching back into the last frame (a file
//   system that grew the file before its data reached the disk);
// - a frame holds a run of zeros longer than any written frame can hold
//   (a page of an append lost with the power reads as zeros): the encoder
//   never writes a zero byte into a frame's text, and a header holds at
//   most seven in a row. Bytes other than zeros may follow such a run:
//   `kept_tail` says so, and the
//   owner keeps a copy of them before it cuts the file.
struct WalContents {
  std::vector<WalEntry> entries;
  std::uint64_t valid_length = 0;
  std::uint64_t file_length = 0;
  bool kept_tail = false;  // the tail after valid_length holds more than zeros
};

class WriteAheadLog {
 public:
  static constexpr std::size_t kBufferSize = 8192;
  static constexpr std::size_t kBatchBufferSize = std::size_t{1} << 20;
  static constexpr std::size_t kBatchSize = 100;

  // Opens (creating if needed) the append handle. IoError "failed to open WAL: ".
  static Result<std::unique_ptr<WriteAheadLog>> open(FileSystem& fs, const std::string& path,
                                                     WalSyncPolicy policy);
  // Reads every complete frame from the start through a handle of its own;
  // an absent file reads as empty and is not created.
  static Result<WalContents> read_all(FileSystem& fs, const std::string& path);

  // Writes out the buffer (failures ignored) and closes; no sync.
  ~WriteAheadLog();

  // Appends one frame; may sync by the policy. A failed append leaves
  // neither a partial frame in the file nor a count changed; when the
  // policy's sync fails, the frame is taken back too, so an append that
  // reports failure is never replayed.
  Status append(const WalEntry& entry);
  // Writes out the buffer and forces the file to stable storage.
  Status sync();
  // Writes out the buffer without forcing it (for ordering against other files).
  Status write_out();
  // Appends a Checkpoint entry, syncs, empties the file and forces the
  // emptied file, so that nothing written later can depend on frames that
  // come back after a power cut. IoError "truncate failed: ", "sync failed: ".
  Status checkpoint();
  // Whether every frame appended so far has been forced to disk.
  bool durable() const { return synced_length_ == out_.logical_length(); }
  // Cuts the file back to `length` (a torn tail found by read_all). Only
  // before the first append: anything still buffered is dropped.
  // IoError "truncate failed: ".
  Status truncate_to(std::uint64_t length);

  // A batch of appends that are acknowledged together, at its end: the
  // syncs the policy asks for wait for end_batch(). With `large_writes`,
  // frames are also written out kBatchBufferSize bytes at a time instead of
  // kBufferSize (fewer, larger writes; no frame of the batch is owed to the
  // file before the batch is acknowledged). Meant for batches that end in a
  // sync anyway: otherwise the write-out at the end could fail after every
  // append of the batch has succeeded.
  void begin_batch(bool large_writes);
  // Writes out what the normal buffer would not hold, goes back to it, and
  // syncs if the policy asks for it now. The first failure is returned:
  // "flush failed: " or the sync's.
  Status end_batch();
  // Syncs if the policy asks for it now.
  Status sync_if_due();

  // The log's length counting frames still in the buffer.
  std::uint64_t length() const { return out_.logical_length(); }
  // Takes back the frames appended after `length` (taken from length()):
  // an insert whose later steps failed must not come back at the next open.
  // IoError "truncate failed: ".
  Status discard_after(std::uint64_t length);

  std::size_t appends_since_sync() const { return appends_since_sync_; }

 private:
  WriteAheadLog(FileSystem& fs, std::string path, WalSyncPolicy policy, std::unique_ptr<File> file,
                std::uint64_t file_length);

  FileSystem& fs_;
  std::string path_;
  WalSyncPolicy policy_;
  std::unique_ptr<File> file_;
  AppendBuffer out_;  // the 8192-byte buffer in front of file_
  std::size_t appends_since_sync_ = 0;
  // The length of the log at its last forced sync: the frames below it are
  // on disk. Zero at open: what the file held then is not known to be.
  std::uint64_t synced_length_ = 0;
  bool defer_syncs_ = false;
  std::string frame_;  // the frame being appended, reused between appends
};

}  // namespace velmoradb
