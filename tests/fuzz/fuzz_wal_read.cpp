// WriteAheadLog::read_all of a log file holding the fuzz input.
//
// Properties of a read that succeeds: the frames it returns are exactly the
// frames at the start of the file, each with a matching checksum and with
// JSON that decodes to the returned entry; their sizes (8 + stored length)
// add up to valid_length; what follows valid_length is a torn last frame
// (too short for its header or for the length it states, with no byte below
// 0x20 in what is there of its JSON, which the encoder never writes: such a
// byte means a damaged length with frames behind it), or a frame that zeros
// reach into from the end of the file, or one in which a run of more than
// seven zeros starts (the bytes after it are then kept aside). A read through a
// file layer that returns at most a few bytes per read gives the same
// result. A read that fails does so with one of the log's texts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "storage/crc32.h"
#include "storage/endian.h"
#include "support/faulty_fs.h"
#include "storage/json/json.h"
#include "storage/wal.h"
#include "storage/wal_format.h"

using namespace velmoradb;

namespace {

bool starts_with(const std::string& s, std::string_view prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

void check_frames(std::string_view file, const WalContents& got) {
  FUZZ_CHECK(got.file_length == file.size(), "file_length %llu",
             static_cast<unsigned long long>(got.file_length));
  FUZZ_CHECK(got.valid_length <= got.file_length, "valid_length beyond the file");
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(file.data());
  std::uint64_t pos = 0;
  for (const WalEntry& entry : got.entries) {
    FUZZ_CHECK(file.size() - pos >= wal_format::kHeaderSize, "entry without a header");
    const std::uint32_t stored = le::load32(bytes + pos);
    const std::uint32_t length = le::load32(bytes + pos + wal_format::kChecksumSize);
    FUZZ_CHECK(file.size() - pos - wal_format::kHeaderSize >= length, "entry beyond the file");
    const std::uint8_t* json = bytes + pos + wal_format::kHeaderSize;
    FUZZ_CHECK(crc32(json, length) == stored, "entry with a wrong checksum accepted");
    auto again = json::parse_wal_entry(std::string_view(reinterpret_cast<const char*>(json), length));
    FUZZ_CHECK(again.ok() && *again == entry, "entry differs from its frame's JSON");
    pos += wal_format::kHeaderSize + length;
  }
  FUZZ_CHECK(pos == got.valid_length, "frames add up to %llu, valid_length %llu",
             static_cast<unsigned long long>(pos),
             static_cast<unsigned long long>(got.valid_length));
  // The rest is nothing, or one torn frame: cut short by the end of the
  // file, or holding zeros an append that never reached the disk leaves.
  const std::uint64_t rest = file.size() - pos;
  bool cut_short = rest < wal_format::kHeaderSize;
  std::uint64_t frame_end = file.size() + 1;
  if (rest >= wal_format::kHeaderSize) {
    const std::uint32_t length = le::load32(bytes + pos + wal_format::kChecksumSize);
    frame_end = pos + wal_format::kHeaderSize + length;
    cut_short = rest - wal_format::kHeaderSize < length;
    for (std::uint64_t i = pos + wal_format::kHeaderSize; i < file.size() && cut_short; ++i) {
      if (bytes[i] < 0x20) cut_short = false;  // a damaged length, not a torn frame
    }
  }
  if (rest == 0 || cut_short) {
    FUZZ_CHECK(!got.kept_tail, "a torn frame kept aside");
    return;
  }
  std::uint64_t nonzero_end = pos;
  bool long_run = false;
  for (std::uint64_t i = pos; i < file.size(); ++i) {
    if (bytes[i] != 0) {
      nonzero_end = i + 1;
    } else if (i + 1 - std::max(nonzero_end, pos) > 7 && std::max(nonzero_end, pos) < frame_end) {
      long_run = true;
    }
  }
  const bool zero_tail = nonzero_end < file.size() && nonzero_end < frame_end;
  FUZZ_CHECK(zero_tail || long_run, "a frame that is neither torn nor zeros was left unread");
  FUZZ_CHECK(got.kept_tail == (!zero_tail && long_run), "kept_tail wrong");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmoradb::fuzz;
  std::string_view file(reinterpret_cast<const char*>(data), size);
  const std::string path = fresh_dir("wal") + "/wal.log";
  write_file(path, file);

  auto got = WriteAheadLog::read_all(default_file_system(), path);
  // The same read, fed a few bytes per call.
  FaultyFileSystem trickle;
  trickle.short_read(1, 1 + size % 13, /*persistent=*/true);
  auto slow = WriteAheadLog::read_all(trickle, path);

  if (!got) {
    const std::string m = got.error().message();
    FUZZ_CHECK(starts_with(m, "WAL corrupted: checksum mismatch: expected ") ||
                   starts_with(m, "WAL corrupted: deserialization failed: ") ||
                   m == "io error: read data failed: failed to fill whole buffer",
               "unexpected error: %s", m.c_str());
    FUZZ_CHECK(!slow && slow.error() == got.error(), "chunked read differs: %s", m.c_str());
    return 0;
  }
  check_frames(file, *got);
  FUZZ_CHECK(slow && slow->entries == got->entries && slow->valid_length == got->valid_length,
             "chunked read differs");
  return 0;
}
