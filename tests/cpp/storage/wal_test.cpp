#include "storage/wal.h"

#include <gtest/gtest.h>

#include "storage/crc32.h"
#include "support/faulty_fs.h"
#include "storage/json/json.h"
#include "temp_dir.h"

namespace velmoradb {
namespace {

using testing::file_size;
using testing::flip_byte;
using testing::put_le32;
using testing::read_bytes;
using testing::TempDir;
using testing::truncate_to;
using testing::write_bytes;

const std::string kInsertJson = R"({"kind":"Insert","id":1,"vector":[1.0,2.5],"payload":{"data":{}}})";
const std::string kCheckpointJson = R"({"kind":"Checkpoint","id":0,"vector":[],"payload":{"data":{}}})";

WalEntry insert(std::uint64_t id, std::vector<float> v = {1.0f, 2.5f}) {
  return WalEntry{WalEntryKind::Insert, id, std::move(v), {}};
}

// An entry whose frame is exactly `size` bytes (a padded payload string).
WalEntry entry_of_frame_size(std::uint64_t id, std::size_t size) {
  WalEntry e{WalEntryKind::Insert, id, {}, {}};
  e.payload.data["k"] = std::string();
  std::size_t base = 8 + json::encode_wal_entry(e).size();
  e.payload.data["k"] = std::string(size - base, 'p');
  return e;
}

std::string frame(const std::string& json) {
  std::string f;
  put_le32(f, crc32(reinterpret_cast<const std::uint8_t*>(json.data()), json.size()));
  put_le32(f, static_cast<std::uint32_t>(json.size()));
  return f + json;
}

class Wal : public ::testing::Test {
 protected:
  std::unique_ptr<WriteAheadLog> open(WalSyncPolicy policy = WalSyncPolicy::Never) {
    auto r = WriteAheadLog::open(fs, path, policy);
    EXPECT_TRUE(r) << r.error().message();
    return r ? std::move(*r) : nullptr;
  }
  void write_entries(const std::vector<WalEntry>& entries) {
    auto wal = open();
    for (const auto& e : entries) ASSERT_TRUE(wal->append(e));
  }
  WalContents read_ok() {
    auto r = WriteAheadLog::read_all(fs, path);
    EXPECT_TRUE(r) << r.error().message();
    return r ? std::move(*r) : WalContents{};
  }
  std::string read_error() {
    auto r = WriteAheadLog::read_all(fs, path);
    EXPECT_FALSE(r);
    return r ? "" : r.error().message();
  }

  TempDir dir;
  std::string path = dir.file("wal.log");
  FaultyFileSystem fs;
};

TEST_F(Wal, InsertFrameIsByteExact) {
  write_entries({insert(1)});
  const std::string bytes = read_bytes(path);
  ASSERT_EQ(bytes.size(), 73u);
  EXPECT_EQ(bytes.substr(0, 8), std::string("\x18\xF8\xCA\x3F\x41\x00\x00\x00", 8));
  EXPECT_EQ(bytes.substr(8), kInsertJson);
  EXPECT_EQ(bytes, frame(kInsertJson));
}

TEST_F(Wal, EntriesReadBackInOrderAcrossBufferFillsAndLargeFrames) {
  std::vector<WalEntry> entries;
  for (std::uint64_t i = 0; i < 300; ++i) entries.push_back(insert(i, {float(i), -0.5f}));
  entries.insert(entries.begin() + 150, entry_of_frame_size(1000, 20000));  // straight to the file
  write_entries(entries);
  WalContents got = read_ok();
  EXPECT_EQ(got.entries, entries);
  EXPECT_EQ(got.valid_length, file_size(path));
  EXPECT_EQ(got.file_length, file_size(path));
}

TEST_F(Wal, MissingFileReadsEmptyAndIsNotCreated) {
  WalContents got = read_ok();
  EXPECT_TRUE(got.entries.empty());
  EXPECT_FALSE(default_file_system().exists(path));
}

TEST_F(Wal, CheckpointLeavesAnEmptyFileAndLaterAppendsStartAtZero) {
  auto wal = open(WalSyncPolicy::Batched);
  for (std::uint64_t i = 0; i < 5; ++i) ASSERT_TRUE(wal->append(insert(i)));
  ASSERT_TRUE(wal->checkpoint());
  EXPECT_EQ(file_size(path), 0u);
  EXPECT_EQ(wal->appends_since_sync(), 0u);
  EXPECT_TRUE(read_ok().entries.empty());
  ASSERT_TRUE(wal->append(insert(1)));
  ASSERT_TRUE(wal->sync());
  EXPECT_EQ(read_bytes(path), frame(kInsertJson));
}

// The checkpoint entry is only visible when re-creating the file fails.
TEST_F(Wal, FailedTruncateKeepsTheCheckpointFrameAndTheLogUsable) {
  auto wal = open();
  ASSERT_TRUE(wal->append(insert(1)));
  fs.fail_call(FsCall::Open, 1, EACCES);
  auto r = wal->checkpoint();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "io error: truncate failed: Permission denied");
  EXPECT_EQ(read_bytes(path), frame(kInsertJson) + frame(kCheckpointJson));
  EXPECT_EQ(kCheckpointJson.size(), 62u);
  ASSERT_TRUE(wal->append(insert(2)));
  ASSERT_TRUE(wal->sync());
  WalContents got = read_ok();
  ASSERT_EQ(got.entries.size(), 3u);
  EXPECT_EQ(got.entries[1].kind, WalEntryKind::Checkpoint);
  EXPECT_EQ(got.entries[2], insert(2));
}

// A writer killed mid-append leaves the file ending anywhere inside the
// last frame: the frames before it are the log.
class WalTornTail : public Wal, public ::testing::WithParamInterface<int> {};

TEST_P(WalTornTail, FramesBeforeTheCutAreReturned) {
  write_entries({insert(7, {0.25f}), insert(8, {}), insert(1)});
  const std::uint64_t last = file_size(path) - 73;
  truncate_to(path, last + GetParam());
  WalContents got = read_ok();
  EXPECT_EQ(got.entries, (std::vector<WalEntry>{insert(7, {0.25f}), insert(8, {})}));
  EXPECT_EQ(got.valid_length, last);
  EXPECT_EQ(got.file_length, last + GetParam());
}

INSTANTIATE_TEST_SUITE_P(EveryByteOfTheLastFrame, WalTornTail, ::testing::Range(0, 73));

TEST_F(Wal, LengthBeyondTheEndOfTheFileIsATornTail) {
  write_bytes(path, frame(kInsertJson) + std::string("\x01\x02\x03\x04\xF0\xFF\xFF\xFF" "abc", 11));
  WalContents got = read_ok();
  EXPECT_EQ(got.entries, std::vector<WalEntry>{insert(1)});
  EXPECT_EQ(got.valid_length, 73u);
}

// A damaged length field in the middle of the log once read as a torn tail,
// and the open cut off every frame behind it.
TEST_F(Wal, DamagedLengthWithFramesBehindItIsNotATornTail) {
  write_entries({insert(1), insert(2), insert(3)});
  std::string bytes = read_bytes(path);
  bytes[4 + 3] = '\x40';  // first frame's length: 65 + 2^30
  write_bytes(path, bytes);
  EXPECT_EQ(read_error(), "io error: read data failed: failed to fill whole buffer");
}

TEST_F(Wal, ChecksumMismatchIsReported) {
  write_entries({insert(1), insert(1)});
  flip_byte(path, 73 + 8 + 10);  // a byte of the second frame's JSON
  std::string damaged = kInsertJson;
  damaged[10] ^= 0x01;
  const std::uint32_t computed =
      crc32(reinterpret_cast<const std::uint8_t*>(damaged.data()), damaged.size());
  EXPECT_EQ(read_error(), "WAL corrupted: checksum mismatch: expected 1070266392, got " +
                              std::to_string(computed));
}

struct UndecodableCase {
  std::string json;
  std::string message;
};

class WalUndecodable : public Wal, public ::testing::WithParamInterface<UndecodableCase> {};

// The checksum is right, so the decoder is what refuses the frame.
TEST_P(WalUndecodable, IsReportedNotSkipped) {
  write_bytes(path, frame(kInsertJson) + frame(GetParam().json));
  EXPECT_EQ(read_error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, WalUndecodable,
    ::testing::Values(
        UndecodableCase{R"({"kind":"Insert","vector":[],"payload":{"data":{}}})",
                        "WAL corrupted: deserialization failed: missing field `id` at line 1 column 51"},
        UndecodableCase{R"({"kind":"Upsert","id":1,"vector":[],"payload":{"data":{}}})",
                        "WAL corrupted: deserialization failed: unknown variant `Upsert`, expected one "
                        "of `Insert`, `Update`, `Delete`, `Checkpoint` at line 1 column 16"},
        UndecodableCase{R"({"kind":"Insert","id":1,"vector":[null],"payload":{"data":{}}})",
                        "WAL corrupted: deserialization failed: invalid type: null, expected f32 at "
                        "line 1 column 38"}));

struct ReadFault {
  std::string name;
  void (*arm)(FaultyFileSystem&);
  std::string message;
};

class WalReadFault : public Wal, public ::testing::WithParamInterface<ReadFault> {};

TEST_P(WalReadFault, ReportsTheStepThatFailed) {
  write_entries({insert(1), insert(2)});
  GetParam().arm(fs);
  EXPECT_EQ(read_error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, WalReadFault,
    ::testing::Values(
        ReadFault{"Open", [](FaultyFileSystem& f) { f.fail_call(FsCall::Open, 1, EACCES); },
                  "io error: failed to open WAL for read: Permission denied"},
        ReadFault{"Length", [](FaultyFileSystem& f) { f.fail_call(FsCall::Length, 1); },
                  "io error: metadata failed: Input/output error"},
        ReadFault{"Checksum", [](FaultyFileSystem& f) { f.fail_call(FsCall::Read, 1); },
                  "io error: read checksum failed: Input/output error"},
        ReadFault{"Length field",
                  [](FaultyFileSystem& f) { f.short_read(1, 4); f.fail_call(FsCall::Read, 2); },
                  "io error: read length failed: Input/output error"},
        ReadFault{"Data",
                  [](FaultyFileSystem& f) { f.short_read(1, 8); f.fail_call(FsCall::Read, 2); },
                  "io error: read data failed: Input/output error"},
        ReadFault{"Second frame",
                  [](FaultyFileSystem& f) { f.short_read(1, 73); f.fail_call(FsCall::Read, 2); },
                  "io error: read checksum failed: Input/output error"}),
    [](const auto& info) {
      std::string n = info.param.name;
      std::erase(n, ' ');
      return n;
    });

TEST_F(Wal, OneByteReadsGiveTheSameEntries) {
  write_entries({insert(1), insert(2)});
  fs.short_read(1, 1, /*persistent=*/true);
  EXPECT_EQ(read_ok().entries, (std::vector<WalEntry>{insert(1), insert(2)}));
}

TEST_F(Wal, OpenFailureIsReported) {
  fs.fail_call(FsCall::Open, 1, EACCES);
  auto r = WriteAheadLog::open(fs, path, WalSyncPolicy::Batched);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "io error: failed to open WAL: Permission denied");
}

struct AppendFault {
  std::size_t buffered;     // frame size appended first, left in the buffer
  std::size_t next;         // frame size of the failing append
  std::size_t failing_write;
  std::string phrase;
  std::uint64_t length_after;  // what the file holds after the failure
};

class WalAppendFault : public Wal, public ::testing::WithParamInterface<AppendFault> {};

// The failing write puts part of its bytes in the file (a disk filling up):
// the file is cut back, and later appends stay readable behind it.
TEST_P(WalAppendFault, ReportsTheUnitAndLeavesNoPartialFrame) {
  const AppendFault& c = GetParam();
  auto wal = open();
  const WalEntry first = c.buffered > 0 ? entry_of_frame_size(1, c.buffered) : WalEntry{};
  const WalEntry failing = entry_of_frame_size(2, c.next);
  if (c.buffered > 0) { ASSERT_TRUE(wal->append(first)); }
  fs.partial_write(c.failing_write, 50);
  auto r = wal->append(failing);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "io error: " + c.phrase + "No space left on device");
  EXPECT_EQ(file_size(path), c.length_after);
  EXPECT_EQ(wal->appends_since_sync(), c.buffered > 0 ? 1u : 0u);

  ASSERT_TRUE(wal->append(insert(3)));
  ASSERT_TRUE(wal->sync());
  std::vector<WalEntry> expected;
  if (c.buffered > 0) expected.push_back(first);
  expected.push_back(insert(3));
  EXPECT_EQ(read_ok().entries, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Units, WalAppendFault,
    ::testing::Values(AppendFault{8190, 100, 1, "write checksum failed: ", 0},
                      AppendFault{8189, 100, 1, "write checksum failed: ", 0},
                      AppendFault{8188, 100, 1, "write length failed: ", 0},
                      AppendFault{8185, 100, 1, "write length failed: ", 0},
                      AppendFault{8184, 100, 1, "write data failed: ", 0},
                      AppendFault{8000, 300, 1, "write data failed: ", 0},
                      AppendFault{0, 9000, 1, "write data failed: ", 0},
                      AppendFault{8190, 9000, 2, "write data failed: ", 8190}));

TEST_F(Wal, FailedCutBackIsRetriedBeforeTheNextWrite) {
  auto wal = open();
  ASSERT_TRUE(wal->append(entry_of_frame_size(1, 9000)));  // straight to the file
  fs.partial_write(1, 50);
  fs.fail_call(FsCall::Truncate, 1);
  ASSERT_FALSE(wal->append(entry_of_frame_size(2, 9000)));
  EXPECT_EQ(file_size(path), 9050u);  // the cut failed too
  ASSERT_TRUE(wal->append(insert(3)));
  ASSERT_TRUE(wal->sync());
  EXPECT_EQ(read_ok().entries, (std::vector<WalEntry>{entry_of_frame_size(1, 9000), insert(3)}));
}

// An append whose sync fails is reported as failed, so its frame must not be
// replayed at the next open: it is taken back, and the next append syncs again.
TEST_F(Wal, FailedSyncTakesTheFrameBackAndIsRetried) {
  auto wal = open(WalSyncPolicy::Batched);
  for (int i = 0; i < 99; ++i) ASSERT_TRUE(wal->append(insert(i)));
  fs.fail_call(FsCall::Sync, 1);
  auto r = wal->append(insert(99));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "io error: sync failed: Input/output error");
  EXPECT_EQ(wal->appends_since_sync(), 99u);
  // The next append tries the sync again; this one fails writing out.
  fs.fail_call(FsCall::Write, 1);
  r = wal->append(insert(100));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "io error: flush failed: Input/output error");
  EXPECT_EQ(wal->appends_since_sync(), 99u);
  ASSERT_TRUE(wal->append(insert(101)));  // syncs, and succeeds
  EXPECT_EQ(wal->appends_since_sync(), 0u);
  std::vector<WalEntry> want;
  for (int i = 0; i < 99; ++i) want.push_back(insert(i));
  want.push_back(insert(101));
  EXPECT_EQ(read_ok().entries, want);
}

TEST_F(Wal, ABatchWritesInLargePiecesAndLeavesNoMoreThanTheNormalBuffer) {
  // 40 frames of about 1 KiB: five buffers' worth normally, one write here.
  auto wal = open(WalSyncPolicy::Batched);
  std::vector<WalEntry> want;
  for (int i = 0; i < 40; ++i) want.push_back(insert(i, std::vector<float>(96, 0.123456f)));
  wal->begin_batch(true);
  for (const WalEntry& e : want) ASSERT_TRUE(wal->append(e));
  EXPECT_EQ(fs.calls(FsCall::Write), 0u);
  ASSERT_TRUE(wal->end_batch());  // fewer than 100 appends: written out, not synced
  EXPECT_EQ(fs.calls(FsCall::Write), 1u);
  EXPECT_EQ(fs.calls(FsCall::Sync), 0u);
  EXPECT_EQ(read_ok().entries, want);
  // Back to the normal buffer: a small frame stays in it.
  ASSERT_TRUE(wal->append(insert(40)));
  EXPECT_EQ(fs.calls(FsCall::Write), 1u);
}

TEST_F(Wal, ABatchWhoseWriteOutFailsKeepsItsFramesInOrder) {
  auto wal = open(WalSyncPolicy::Batched);
  std::vector<WalEntry> want;
  for (int i = 0; i < 40; ++i) want.push_back(insert(i, std::vector<float>(96, 0.5f)));
  wal->begin_batch(true);
  for (const WalEntry& e : want) ASSERT_TRUE(wal->append(e));
  fs.fail_call(FsCall::Write, 1);
  auto r = wal->end_batch();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "io error: flush failed: Input/output error");
  // The buffer now holds more than its normal size: the next append writes
  // it out first, and nothing is lost or reordered.
  want.push_back(insert(40));
  ASSERT_TRUE(wal->append(want.back()));
  ASSERT_TRUE(wal->sync());
  EXPECT_EQ(read_ok().entries, want);
}

TEST_F(Wal, ABatchIsSyncedOnceAtTheEnd) {
  auto wal = open(WalSyncPolicy::Batched);
  wal->begin_batch(true);
  for (int i = 0; i < 250; ++i) ASSERT_TRUE(wal->append(insert(i)));
  EXPECT_EQ(fs.calls(FsCall::Sync), 0u);
  ASSERT_TRUE(wal->end_batch());
  EXPECT_EQ(fs.calls(FsCall::Sync), 1u);
  EXPECT_EQ(wal->appends_since_sync(), 0u);
  ASSERT_TRUE(wal->append(insert(250)));
  ASSERT_TRUE(wal->sync_if_due());  // one append since: nothing is due
  EXPECT_EQ(fs.calls(FsCall::Sync), 1u);
}

TEST_F(Wal, DiscardAfterTakesBackBufferedAndWrittenFrames) {
  auto wal = open(WalSyncPolicy::Never);
  ASSERT_TRUE(wal->append(insert(1)));
  std::uint64_t mark = wal->length();
  ASSERT_TRUE(wal->append(insert(2)));
  ASSERT_TRUE(wal->discard_after(mark));  // still in the buffer
  ASSERT_TRUE(wal->append(entry_of_frame_size(3, 9000)));  // goes straight to the file
  ASSERT_TRUE(wal->discard_after(mark));  // cut from the file
  ASSERT_TRUE(wal->append(insert(4)));
  ASSERT_TRUE(wal->sync());
  EXPECT_EQ(read_ok().entries, (std::vector<WalEntry>{insert(1), insert(4)}));
}

struct PolicyCase {
  WalSyncPolicy policy;
  std::size_t appends;
  std::size_t syncs;
};

class WalPolicy : public Wal, public ::testing::WithParamInterface<PolicyCase> {};

TEST_P(WalPolicy, SyncsAsThePolicySays) {
  auto wal = open(GetParam().policy);
  for (std::size_t i = 0; i < GetParam().appends; ++i) ASSERT_TRUE(wal->append(insert(i)));
  EXPECT_EQ(fs.calls(FsCall::Sync), GetParam().syncs);
  ASSERT_TRUE(wal->checkpoint());
  EXPECT_GE(fs.calls(FsCall::Sync), GetParam().syncs + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Policies, WalPolicy,
    ::testing::Values(PolicyCase{WalSyncPolicy::Batched, 99, 0}, PolicyCase{WalSyncPolicy::Batched, 100, 1},
                      PolicyCase{WalSyncPolicy::Batched, 199, 1}, PolicyCase{WalSyncPolicy::Batched, 200, 2},
                      PolicyCase{WalSyncPolicy::EveryAppend, 7, 7}, PolicyCase{WalSyncPolicy::Never, 250, 0},
                      PolicyCase{static_cast<WalSyncPolicy>(9), 250, 0}));

TEST_F(Wal, WriteOutHandsTheBufferOverWithoutSync) {
  auto wal = open(WalSyncPolicy::Batched);
  ASSERT_TRUE(wal->append(insert(1)));
  EXPECT_EQ(file_size(path), 0u);
  ASSERT_TRUE(wal->write_out());
  EXPECT_EQ(file_size(path), 73u);
  EXPECT_EQ(fs.calls(FsCall::Sync), 0u);
}

TEST_F(Wal, TruncateToCutsATornTailBeforeAppending) {
  write_entries({insert(1), insert(2)});
  truncate_to(path, 73 + 30);
  WalContents got = read_ok();
  auto wal = open();
  ASSERT_TRUE(wal->truncate_to(got.valid_length));
  ASSERT_TRUE(wal->append(insert(3)));
  ASSERT_TRUE(wal->sync());
  EXPECT_EQ(read_ok().entries, (std::vector<WalEntry>{insert(1), insert(3)}));
}

}  // namespace
}  // namespace velmoradb
