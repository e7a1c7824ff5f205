// RecordFileWriter: a new data file written from start to end in one go
// (a compaction's), in large pieces, the next piece encoded while the last
// one is written on a thread of its own.
//
// create() makes the file empty (or empties it); the constructor appends
// to an open file from its length on. add() encodes a record as
// VectorDataFile::append would write it and returns its offset; finish()
// writes the rest and forces the file to disk. Nothing is durable before
// finish() succeeds; after a failure the file holds an unknown prefix and
// the writer takes no more records. The destructor waits for a write in
// flight. Not for concurrent use: one caller drives it.
#pragma once

#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "engine/index/payload.h"
#include "engine/support/result.h"
#include "storage/file.h"

namespace velmoradb {

class RecordFileWriter {
 public:
  // Pieces of about this many bytes go to the file.
  static constexpr std::size_t kPieceBytes = std::size_t{4} << 20;
  // ... in write calls of at most this many bytes (see send_piece).
  static constexpr std::size_t kWriteCallBytes = std::size_t{1} << 20;

  // IoError "failed to open data file: ".
  static Result<std::unique_ptr<RecordFileWriter>> create(FileSystem& fs, const std::string& path);
  // Appends to `file`, which is `length` bytes long and positioned at its
  // end, and which nothing else writes until finish() has returned.
  RecordFileWriter(File& file, std::uint64_t length);
  ~RecordFileWriter();
  RecordFileWriter(const RecordFileWriter&) = delete;
  RecordFileWriter& operator=(const RecordFileWriter&) = delete;

  Result<std::uint64_t> add(std::uint64_t id, const float* vector, std::size_t len, const Payload& payload);
  // The bytes of the record last added, as the file gets them: valid until
  // the next add() or finish().
  const std::uint8_t* last_record() const { return last_record_; }
  // A record as another data file holds it (its bytes whole), written live.
  Result<std::uint64_t> add_encoded(const std::uint8_t* record, std::size_t size);
  // IoError "write failed: " or "sync failed: ".
  Status finish();
  // The file's length once finish() succeeds.
  std::uint64_t length() const { return length_; }

 private:
  explicit RecordFileWriter(std::unique_ptr<File> owned);
  // Waits for the write in flight and returns how it ended.
  Status wait();
  // Hands the current piece to the writing thread.
  Status send_piece();

  std::unique_ptr<File> owned_;  // created by create()
  File* file_;
  std::vector<std::uint8_t> piece_;  // being encoded
  std::vector<std::uint8_t> spare_;  // the piece last written, for reuse
  std::future<Status> in_flight_;    // writes the other piece
  std::string scratch_;
  const std::uint8_t* last_record_ = nullptr;  // in piece_, or in spare_ once sent
  std::uint64_t length_ = 0;
  Status failed_;
};

}  // namespace velmoradb
