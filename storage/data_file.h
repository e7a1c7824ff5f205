// VectorDataFile: the append-only file data.vdb (record_codec.h for the record
// layout). Records are appended through an 8192-byte buffer; only the
// deleted marker of a record is ever rewritten, through a handle of its own.
//
// Owned by one collection, whose data_lock serialises appends and syncs; the
// file has no lock of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/index/payload.h"
#include "engine/support/result.h"
#include "storage/append_buffer.h"
#include "storage/file.h"
#include "storage/payload_decode_cache.h"
#include "storage/record_file_writer.h"

namespace velmoradb {

struct StoredRecord {
  std::uint64_t id = 0;
  bool deleted = false;
  std::vector<float> vector;
  Payload payload;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;  // bytes the record takes in the file
};

// A live record of a load where it lies, valid only during the call it is
// handed to: `vector` points at its `dim` floats in native byte order, at
// any alignment (in the load's read buffer, most of the time).
struct RecordView {
  std::uint64_t id = 0;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;  // bytes the record takes in the file
  const std::uint8_t* vector = nullptr;
  std::uint32_t dim = 0;
  // Null when empty; shared by the records of the scan whose payloads
  // have the same stored text.
  const Payload* payload = nullptr;
  // The stored text `payload` was decoded from (empty when `payload` is
  // null).
  std::string_view payload_text;
  // `payload` and `payload_text` are the scan's decode cache's own: they
  // stay valid, beyond the call, as long as that cache.
  bool payload_cached = false;
};

// What load_live_records found. The scan stops quietly at the first record
// that is cut short by the end of the file or whose payload cannot be
// decoded; end_offset is where the last record read ends (where the record
// that stopped the scan begins; the file length when every record was
// read), and `stop` says why it stopped there. A read that fails for any
// other reason (an I/O error) fails the load: the records behind it exist.
struct LoadedRecords {
  enum class Stop : std::uint8_t {
    EndOfFile,     // every byte belongs to a complete record
    TornTail,      // the last record is cut short by the end of the file
    Undecodable,   // a complete record whose payload cannot be decoded
  };
  std::vector<StoredRecord> records;  // live records, file order
  std::uint64_t end_offset = 0;
  std::uint64_t file_length = 0;
  std::uint64_t record_count = 0;  // complete records read, deleted ones included
  Stop stop = Stop::EndOfFile;
};

class VectorDataFile {
 public:
  static constexpr std::size_t kBufferSize = 8192;
  // append() keeps buffers for the next record up to this size.
  static constexpr std::size_t kKeptScratchBytes = std::size_t{1} << 20;

  // IoError "failed to open data file: " or "metadata failed: ".
  static Result<std::unique_ptr<VectorDataFile>> open(FileSystem& fs, const std::string& path);
  // An existing file opened for reading only (a read-only collection):
  // loads and read_record work; append and mark_deleted must not be used.
  // IoError "failed to open data file: " or "metadata failed: ".
  static Result<std::unique_ptr<VectorDataFile>> open_read_only(FileSystem& fs, const std::string& path);
  // Writes out the buffer (failures ignored) and closes; no sync.
  ~VectorDataFile();

  // Appends one live record; returns its offset. A failed append leaves
  // neither part of a record in the file nor `position` changed.
  Result<std::uint64_t> append(std::uint64_t id, const float* vector, std::size_t len,
                               const Payload& payload);
  // The bytes append() writes for a record, added to the end of `out`
  // (`scratch` holds the payload's text); returns how many. The errors
  // are append()'s for a record that does not fit the format.
  static Result<std::size_t> encode_record(std::vector<std::uint8_t>& out, std::string& scratch,
                                           std::uint64_t id, const float* vector, std::size_t len,
                                           const Payload& payload);
  // Sets the deleted marker of the record at `offset`: in the buffer when
  // the record is still there, else through a handle of its own (when
  // holding, at the next write_out). "seek failed: " for an offset at or
  // past the end of the records.
  Status mark_deleted(std::uint64_t offset);
  // Writes out the buffer, then the held markers, and forces the file.
  Status sync();
  // Writes out the buffer, then the held markers, without forcing them.
  // On failure what was not written stays held.
  Status write_out();
  // Writes out the buffer only: the held markers wait for write_out() or
  // sync(). Each marker is a write of its own into the middle of the file,
  // so a running collection leaves them to its checkpoint.
  Status write_out_records();
  // Bytes of records held (the markers not counted).
  std::size_t held_record_bytes() const { return out_.buffered(); }

  // Holding: appended records and markers of records already in the file
  // stay in the process, however many, until write_out() or sync(). The
  // collection holds them until the log frames that describe them are on
  // disk, so no byte of the data file can reach the disk ahead of its log.
  void hold(bool on) { out_.hold(on); }
  // Bytes and markers waiting for write_out().
  std::size_t held() const { return out_.buffered() + held_markers_.size(); }
  // Room to hold `bytes` of records without growing; and, once they are
  // written out, the memory given back.
  void reserve_held(std::size_t bytes) { out_.reserve(bytes); }
  void release_memory() { out_.release_memory(); }
  // Writes reach the file in pieces of about `bytes` (a file written in one
  // go, such as a compaction's, is written faster in large pieces).
  void set_write_size(std::size_t bytes) { out_.set_capacity(bytes); }
  // Forgets what is held (a closing owner whose log could not be forced:
  // the log's replay writes it again). Nothing may be appended afterwards.
  void discard_held();

  Result<StoredRecord> read_record(std::uint64_t offset);
  // The records at `offsets` (ascending), each handed whole, as its bytes
  // lie in the file, to `on_record` with its index in `offsets`; one
  // streamed pass through a read handle of its own (what is buffered or
  // held is not seen). A record whose header does not fit the file fails
  // with "read data failed: ", as does a failure of `on_record`.
  using RawRecordCallback = std::function<Status(std::span<const std::uint8_t>, std::size_t)>;
  Status read_raw_records(const std::vector<std::uint64_t>& offsets, const RawRecordCallback& on_record);
  // One streamed pass over the file (1 MiB reads through one handle).
  Result<LoadedRecords> load_live_records();
  // The same pass without gathering or copying: the live records are handed
  // to `on_run` (with the file's length) in file order, in runs of those
  // that lie in the read buffer at once, and the result's `records` stays
  // empty. Every live record read before the scan stops is handed out.
  using RunCallback = std::function<void(std::span<RecordView>, std::uint64_t)>;
  Result<LoadedRecords> scan_live_runs(const RunCallback& on_run);
  // The same with a decode cache of the caller's, so that the records'
  // cached payloads (RecordView::payload_cached) outlive the scan, and
  // reads of `chunk` bytes (runs are at most that long; a pass that only
  // reads its runs goes faster with reads that stay in the L2 cache,
  // kCachedChunk).
  Result<LoadedRecords> scan_live_runs(const RunCallback& on_run, PayloadDecodeCache& decoded,
                                       std::size_t chunk = kLoadChunk);
  // A load reads the file in chunks of this size through one handle.
  static constexpr std::size_t kLoadChunk = std::size_t{1} << 20;
  static constexpr std::size_t kCachedChunk = std::size_t{64} << 10;
  // Cuts the file back to `length` (a torn or unreadable tail). Only before
  // the first append: anything still buffered or held is dropped.
  // IoError "truncate failed: ".
  Status truncate_to(std::uint64_t length);

  // Records written straight to the file in large pieces, bypassing the
  // buffer (a bulk insert): the writer appends from position() on, and
  // nothing else may touch this file until adopt_direct() or a cut back
  // (truncate_to) after a failure. Fails when records or markers are
  // buffered or held ("write out first").
  Result<std::unique_ptr<RecordFileWriter>> direct_writer();
  // Takes the direct writer's records as the file's, up to `length`.
  void adopt_direct(std::uint64_t length);

  std::uint64_t position() const { return position_; }
  const std::string& path() const { return path_; }
  // Renames the file to `path` (FileSystem::rename; forcing the directory
  // is the caller's) and goes on under that name: the open handle stays
  // on the same file. IoError "rename failed: ".
  Status rename_to(const std::string& path);


 private:
  VectorDataFile(FileSystem& fs, std::string path, std::unique_ptr<File> file, std::uint64_t length);
  // Sets the held markers, each through one handle; those not written stay.
  Status write_markers();

  FileSystem& fs_;
  std::string path_;
  std::unique_ptr<File> file_;
  AppendBuffer out_;  // the 8192-byte buffer in front of file_
  std::vector<std::uint64_t> held_markers_;  // records in the file to mark at write_out
  std::uint64_t position_ = 0;  // offset of the next record
  // append()'s scratch: the payload's text and the record's bytes.
  std::string payload_text_;
  std::vector<std::uint8_t> record_bytes_;
};

}  // namespace velmoradb
