// The write-ahead log. Frames go through AppendBuffer whole, so a failed
// append never leaves part of a frame in the file; read_all treats a file
// that ends inside its last frame as a torn tail (a writer killed
// mid-append), but reports a complete frame that is damaged.
#include "storage/wal.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>

#include "storage/buffered_reader.h"
#include "storage/crc32.h"
#include "storage/endian.h"
#include "storage/json/json.h"
#include "storage/wal_format.h"

namespace velmoradb {

namespace {

constexpr std::string_view kFlushFailed = "flush failed: ";

// Reads one frame field: a read cut short by the end of the file keeps its
// EndOfFile detail (the log ends there), any other failure gets the
// field's phrase.
Status read_field(BufferedReader& in, std::uint8_t* out, std::size_t n, std::string_view phrase) {
  auto r = in.read_exact(out, n);
  if (r || r.error().end_of_file()) return r;
  return VectorError::io(phrase, r.error());
}

// Whether the `n` bytes left in the file after a frame header could be the
// start of that frame's JSON text, as a writer that died mid-append leaves
// them. The encoder never writes a byte below 0x20 (those are escaped),
// while the header of any later frame holds some (a length below 16 MiB has
// a zero high byte): bytes like that mean the length field is damaged and
// frames follow, which must not be mistaken for a torn tail and cut off.
Result<bool> plausible_torn_data(BufferedReader& in, std::uint64_t n) {
  std::uint8_t chunk[4096];
  while (n > 0) {
    std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, sizeof chunk));
    if (auto r = in.read_exact(chunk, take); !r) return VectorError::io("read data failed: ", r.error());
    for (std::size_t i = 0; i < take; ++i) {
      if (chunk[i] < 0x20) return false;
    }
    n -= take;
  }
  return true;
}

enum class Tail : std::uint8_t { Damaged, Torn, TornWithBytesAfter };

// The longest run of zero bytes a log of whole frames can hold: only the
// headers have zeros (a checksum of zero, then the zero bytes of a length).
constexpr std::uint64_t kLongestWrittenZeros = 7;

// What the frame at `pos` that could not be read says about the rest of the
// file. `frame_end` is where its header says it ends (maybe past the file).
// Zeros from inside the frame to the end of the file, or a run of zeros
// longer than any written frame holds starting inside it (a page of the
// append that never reached the disk), are an interrupted append (see
// WalContents); anything else is damage.
Result<Tail> classify_tail(BufferedReader& in, std::uint64_t pos, std::uint64_t frame_end,
                           std::uint64_t file_length) {
  if (auto r = in.seek(pos); !r) return VectorError::io("read data failed: ", r.error());
  std::uint64_t nonzero_end = pos;  // just past the last byte that is not zero
  bool lost_bytes = false;
  std::uint8_t chunk[4096];
  for (std::uint64_t at = pos; at < file_length;) {
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(file_length - at, sizeof chunk));
    if (auto r = in.read_exact(chunk, take); !r) return VectorError::io("read data failed: ", r.error());
    for (std::size_t i = 0; i < take; ++i, ++at) {
      if (chunk[i] != 0) {
        nonzero_end = at + 1;
        continue;
      }
      const std::uint64_t run_start = std::max(nonzero_end, pos);
      if (at + 1 - run_start > kLongestWrittenZeros && run_start < frame_end) lost_bytes = true;
    }
  }
  if (nonzero_end < file_length && nonzero_end < frame_end) return Tail::Torn;
  if (lost_bytes) return Tail::TornWithBytesAfter;
  return Tail::Damaged;
}

}  // namespace

WriteAheadLog::WriteAheadLog(FileSystem& fs, std::string path, WalSyncPolicy policy,
                             std::unique_ptr<File> file, std::uint64_t file_length)
    : fs_(fs),
      path_(std::move(path)),
      policy_(policy),
      file_(std::move(file)),
      out_(kBufferSize, file_length) {}

WriteAheadLog::~WriteAheadLog() { (void)out_.write_out(*file_, kFlushFailed); }

Result<std::unique_ptr<WriteAheadLog>> WriteAheadLog::open(FileSystem& fs, const std::string& path,
                                                           WalSyncPolicy policy) {
  auto file = fs.open(path, OpenMode::ReadAppendCreate);
  if (!file) return VectorError::io("failed to open WAL: ", file.error());
  // The length lets a failed write be cut back to where it started.
  auto length = (*file)->length();
  if (!length) return VectorError::io("failed to open WAL: ", length.error());
  return std::unique_ptr<WriteAheadLog>(
      new WriteAheadLog(fs, path, policy, std::move(*file), *length));
}

Status WriteAheadLog::append(const WalEntry& entry) {
  // The frame is built in one reused buffer: header, then the text.
  frame_.assign(wal_format::kHeaderSize, '\0');
  json::append_wal_entry(frame_, entry);
  const std::size_t json_size = frame_.size() - wal_format::kHeaderSize;
  if (json_size > std::numeric_limits<std::uint32_t>::max()) {
    return VectorError::wal_corrupted("serialization failed: entry of " +
                                      std::to_string(json_size) +
                                      " bytes is longer than a frame can hold");
  }
  auto* frame = reinterpret_cast<std::uint8_t*>(frame_.data());
  le::store32(frame, crc32(frame + wal_format::kHeaderSize, json_size));
  le::store32(frame + wal_format::kChecksumSize, static_cast<std::uint32_t>(json_size));

  const WriteUnit units[] = {
      {wal_format::kChecksumSize, 1, "write checksum failed: "},
      {wal_format::kLengthSize, 1, "write length failed: "},
      {json_size, 1, "write data failed: "},
  };
  const std::uint64_t before = out_.logical_length();
  if (auto r = out_.append(*file_, {frame, frame_.size()}, units); !r) return r;
  ++appends_since_sync_;

  bool must_sync = policy_ == WalSyncPolicy::EveryAppend ||
                   (policy_ == WalSyncPolicy::Batched && appends_since_sync_ >= kBatchSize);
  if (!must_sync || defer_syncs_) return {};
  Status synced = sync();
  if (!synced) {
    // The caller is told the append failed: take the frame back, so it is
    // not replayed at the next open. The counter stays where it was, so the
    // next append tries to sync again.
    (void)out_.discard_after(*file_, before);
    --appends_since_sync_;
  }
  return synced;
}

Status WriteAheadLog::sync_if_due() {
  bool due = (policy_ == WalSyncPolicy::EveryAppend && appends_since_sync_ > 0) ||
             (policy_ == WalSyncPolicy::Batched && appends_since_sync_ >= kBatchSize);
  return due ? sync() : Status{};
}

Status WriteAheadLog::discard_after(std::uint64_t length) {
  if (auto r = out_.discard_after(*file_, length); !r) return VectorError::io("truncate failed: ", r.error());
  synced_length_ = std::min(synced_length_, out_.logical_length());
  return {};
}

Status WriteAheadLog::sync() {
  if (auto r = out_.write_out(*file_, kFlushFailed); !r) return r;
  if (auto r = file_->sync(); !r) return VectorError::io("sync failed: ", r.error());
  appends_since_sync_ = 0;
  synced_length_ = out_.logical_length();
  return {};
}

Status WriteAheadLog::write_out() { return out_.write_out(*file_, kFlushFailed); }

void WriteAheadLog::begin_batch(bool large_writes) {
  defer_syncs_ = true;
  if (large_writes) out_.set_capacity(kBatchBufferSize);
}

Status WriteAheadLog::end_batch() {
  defer_syncs_ = false;
  Status written;
  if (out_.buffered() > kBufferSize) written = write_out();
  out_.set_capacity(kBufferSize);
  if (!written) return written;
  return sync_if_due();
}

Status WriteAheadLog::checkpoint() {
  const WalEntry entry{WalEntryKind::Checkpoint, 0, {}, {}};
  if (auto r = append(entry); !r) return r;
  if (auto r = sync(); !r) return r;
  auto fresh = fs_.open(path_, OpenMode::WriteCreateTruncate);
  if (!fresh) return VectorError::io("truncate failed: ", fresh.error());
  // The old buffer is empty after the sync; the old handle closes here.
  std::unique_ptr<File> old = std::exchange(file_, std::move(*fresh));
  (void)out_.write_out(*old, kFlushFailed);
  out_.reset(0);
  appends_since_sync_ = 0;
  // Until the emptied length is on disk, a power cut can bring back the
  // frames before the checkpoint, and replaying them over records written
  // after it would bring back older vectors.
  if (auto r = file_->sync(); !r) return VectorError::io("sync failed: ", r.error());
  synced_length_ = 0;
  return {};
}

Status WriteAheadLog::truncate_to(std::uint64_t length) {
  if (auto r = file_->truncate(length); !r) return VectorError::io("truncate failed: ", r.error());
  if (auto r = file_->seek(length); !r) return VectorError::io("truncate failed: ", r.error());
  out_.reset(length);
  synced_length_ = std::min(synced_length_, length);
  return {};
}

Result<WalContents> WriteAheadLog::read_all(FileSystem& fs, const std::string& path) {
  WalContents contents;
  if (!fs.exists(path)) return contents;
  auto file = fs.open(path, OpenMode::ReadOnly);
  if (!file) return VectorError::io("failed to open WAL for read: ", file.error());
  auto length = (*file)->length();
  if (!length) return VectorError::io("metadata failed: ", length.error());
  contents.file_length = *length;

  BufferedReader in(**file, kBufferSize);
  std::uint64_t pos = 0;
  // Each pass reads one frame starting at pos; a field that the end of the
  // file cuts short ends the log there (a torn tail). A frame that cannot be
  // read for another reason is a torn tail too when classify_tail says so.
  auto ends_here = [&](std::uint64_t frame_end) -> Result<bool> {
    auto tail = classify_tail(in, pos, frame_end, *length);
    if (!tail) return tail.error();
    if (*tail == Tail::Damaged) return false;
    contents.kept_tail = *tail == Tail::TornWithBytesAfter;
    return true;
  };
  while (pos < *length) {
    std::uint8_t header[wal_format::kHeaderSize];
    Status got = read_field(in, header, wal_format::kChecksumSize, "read checksum failed: ");
    if (got) got = read_field(in, header + wal_format::kChecksumSize, wal_format::kLengthSize, "read length failed: ");
    if (!got && !got.error().end_of_file()) return got.error();
    if (!got) break;
    const std::uint32_t stored = le::load32(header);
    const std::uint32_t data_length = le::load32(header + wal_format::kChecksumSize);
    const std::uint64_t frame_end = pos + wal_format::kHeaderSize + data_length;
    // A length beyond the end of the file is a data field cut short: never
    // allocate for it.
    const std::uint64_t left = *length - pos;
    if (left < wal_format::kHeaderSize || data_length > left - wal_format::kHeaderSize) {
      auto torn = plausible_torn_data(in, left < wal_format::kHeaderSize ? 0 : left - wal_format::kHeaderSize);
      if (!torn) return torn.error();
      if (*torn) break;
      auto ends = ends_here(frame_end);
      if (!ends) return ends.error();
      if (*ends) break;
      return VectorError::io("read data failed: ", early_end_of_file());
    }
    std::string data(data_length, '\0');
    got = read_field(in, reinterpret_cast<std::uint8_t*>(data.data()), data_length,
                     "read data failed: ");
    if (!got && !got.error().end_of_file()) return got.error();
    if (!got) break;

    const std::uint32_t computed =
        crc32(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    std::optional<VectorError> damage;
    Result<WalEntry> entry = VectorError::wal_corrupted("checksum mismatch: expected " + std::to_string(stored) +
                                                        ", got " + std::to_string(computed));
    if (computed == stored) entry = json::parse_wal_entry(data);
    if (!entry) {
      damage = computed == stored ? VectorError::wal_corrupted("deserialization failed: " + entry.error().text())
                                  : entry.error();
    }
    if (damage) {
      auto ends = ends_here(frame_end);
      if (!ends) return ends.error();
      if (*ends) break;
      return *damage;
    }
    contents.entries.push_back(std::move(entry).value());
    pos = frame_end;
    contents.valid_length = pos;
  }
  return contents;
}

}  // namespace velmoradb
