#include "storage/data_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>

#include "support/faulty_fs.h"
#include "temp_dir.h"

namespace velmoradb {
namespace {

using testing::file_size;
using testing::put_le32;
using testing::read_bytes;
using testing::TempDir;
using testing::truncate_to;
using testing::write_bytes;
using Stop = LoadedRecords::Stop;

const std::string kEmpty = R"({"data":{}})";

// One record as the file holds it, built by hand.
std::string record(std::uint64_t id, const std::vector<float>& v, const std::string& payload,
                   std::uint8_t marker = 0) {
  std::string r(1, static_cast<char>(marker));
  for (int i = 0; i < 8; ++i) r.push_back(static_cast<char>(id >> (8 * i)));
  put_le32(r, static_cast<std::uint32_t>(v.size()));
  for (float f : v) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, 4);
    put_le32(r, bits);
  }
  put_le32(r, static_cast<std::uint32_t>(payload.size()));
  return r + payload;
}

Payload tagged(const std::string& tag) {
  Payload p;
  p.data["tag"] = tag;
  return p;
}

class DataFile : public ::testing::Test {
 protected:
  std::unique_ptr<VectorDataFile> open() {
    auto r = VectorDataFile::open(fs, path);
    EXPECT_TRUE(r) << r.error().message();
    return r ? std::move(*r) : nullptr;
  }
  static std::uint64_t append(VectorDataFile& df, std::uint64_t id, std::vector<float> v,
                              const Payload& p = {}) {
    auto r = df.append(id, v.data(), v.size(), p);
    EXPECT_TRUE(r) << r.error().message();
    return r ? *r : ~0ull;
  }
  LoadedRecords load() {
    auto df = open();
    auto r = df->load_live_records();
    EXPECT_TRUE(r) << r.error().message();
    return r ? std::move(*r) : LoadedRecords{};
  }
  std::vector<std::uint64_t> loaded_ids() {
    std::vector<std::uint64_t> ids;
    for (const auto& rec : load().records) ids.push_back(rec.id);
    return ids;
  }
  std::string error_of(Status s) { return s ? "ok" : s.error().message(); }
  template <typename T>
  std::string error_of(const Result<T>& r) { return r ? "ok" : r.error().message(); }

  TempDir dir;
  std::string path = dir.file("data.vdb");
  FaultyFileSystem fs;
};

TEST_F(DataFile, RecordIsByteExactAndOffsetsAdvanceByItsLength) {
  auto df = open();
  EXPECT_EQ(append(*df, 5, {1.0f, 2.0f, 3.0f}), 0u);
  EXPECT_EQ(append(*df, 6, {1.0f, 2.0f, 3.0f}), 40u);
  EXPECT_EQ(df->position(), 80u);
  ASSERT_TRUE(df->write_out());
  const std::string bytes = read_bytes(path);
  ASSERT_EQ(bytes.size(), 80u);
  EXPECT_EQ(bytes.substr(0, 40), record(5, {1.0f, 2.0f, 3.0f}, kEmpty));
  EXPECT_EQ(bytes[0], 0);
}

TEST_F(DataFile, HoldingKeepsRecordsAndMarkersUntilWriteOut) {
  auto df = open();
  df->hold(true);
  std::vector<std::uint64_t> ids;
  for (std::uint64_t id = 0; id < 40; ++id) {  // about 16 KiB: two normal buffers
    append(*df, id, std::vector<float>(96, 0.5f));
    if (id != 3) ids.push_back(id);
  }
  ASSERT_TRUE(df->mark_deleted(3 * 412));  // still held: marked in the buffer
  EXPECT_EQ(fs.calls(FsCall::Write), 0u);
  EXPECT_EQ(fs.calls(FsCall::Open), 1u);
  ASSERT_TRUE(df->write_out());
  EXPECT_EQ(fs.calls(FsCall::Write), 1u);
  EXPECT_EQ(loaded_ids(), ids);

  ASSERT_TRUE(df->mark_deleted(0));  // in the file: held as a marker
  EXPECT_EQ(df->held(), 1u);
  EXPECT_EQ(read_bytes(path)[0], 0);
  ASSERT_TRUE(df->write_out());
  EXPECT_EQ(read_bytes(path)[0], 1);
  EXPECT_EQ(df->held(), 0u);
}

TEST_F(DataFile, AHeldWriteOutThatFailsKeepsRecordsAndMarkers) {
  auto df = open();
  df->hold(true);
  append(*df, 1, {1.0f});
  ASSERT_TRUE(df->write_out());
  append(*df, 2, {2.0f});
  ASSERT_TRUE(df->mark_deleted(0));
  fs.fail_call(FsCall::Write, 1);
  EXPECT_EQ(error_of(df->write_out()), "io error: flush failed: Input/output error");
  fs.fail_call(FsCall::Open, 1);
  EXPECT_EQ(error_of(df->write_out()), "io error: open for delete failed: Input/output error");
  EXPECT_EQ(df->held(), 1u);
  ASSERT_TRUE(df->write_out());
  EXPECT_EQ(loaded_ids(), std::vector<std::uint64_t>{2});
}

TEST_F(DataFile, DiscardingWhatIsHeldLeavesTheFileAsWritten) {
  auto df = open();
  df->hold(true);
  append(*df, 1, {1.0f});
  ASSERT_TRUE(df->write_out());
  append(*df, 2, {2.0f});
  ASSERT_TRUE(df->mark_deleted(0));
  df->discard_held();
  df.reset();
  EXPECT_EQ(loaded_ids(), std::vector<std::uint64_t>{1});
}

TEST_F(DataFile, RecordsReadBackWithPayloadsAndOffsets) {
  std::vector<std::uint64_t> offsets;
  {
    auto df = open();
    offsets.push_back(append(*df, 1, {0.5f}, tagged("a")));
    offsets.push_back(append(*df, 2, {}, {}));
    offsets.push_back(append(*df, 3, std::vector<float>(3000, 0.25f), tagged("big")));
  }
  auto df = open();
  EXPECT_EQ(df->position(), file_size(path));
  auto second = df->read_record(offsets[2]);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->id, 3u);
  EXPECT_EQ(second->vector, std::vector<float>(3000, 0.25f));
  EXPECT_EQ(second->payload, tagged("big"));
  LoadedRecords loaded = load();
  ASSERT_EQ(loaded.records.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(loaded.records[i].offset, offsets[i]);
  EXPECT_EQ(loaded.records[0].payload, tagged("a"));
  EXPECT_EQ(loaded.end_offset, file_size(path));
  EXPECT_EQ(loaded.stop, Stop::EndOfFile);
}

TEST_F(DataFile, EmptyFileLoadsNothing) {
  LoadedRecords loaded = load();
  EXPECT_TRUE(loaded.records.empty());
  EXPECT_EQ(loaded.end_offset, 0u);
  EXPECT_EQ(loaded.stop, Stop::EndOfFile);
}

// The record waits in the append buffer: it is marked there.
TEST_F(DataFile, MarkDeletedHidesTheRecordFromTheLoad) {
  auto df = open();
  append(*df, 1, {1.0f});
  std::uint64_t second = append(*df, 2, {2.0f});
  append(*df, 3, {3.0f});
  ASSERT_TRUE(df->mark_deleted(second));
  EXPECT_EQ(file_size(path), 0u);
  ASSERT_TRUE(df->write_out());
  EXPECT_EQ(read_bytes(path)[second], 1);
  EXPECT_TRUE(df->read_record(second)->deleted);
  df.reset();
  EXPECT_EQ(loaded_ids(), (std::vector<std::uint64_t>{1, 3}));
}

TEST_F(DataFile, OnlyMarkerOneIsDeletedAndDuplicatesAllLoad) {
  write_bytes(path, record(1, {1}, kEmpty, 2) + record(1, {2}, kEmpty, 0xFF) +
                        record(9, {3}, kEmpty, 1) + record(1, {4}, kEmpty));
  LoadedRecords loaded = load();
  ASSERT_EQ(loaded.records.size(), 3u);
  EXPECT_EQ(loaded.records[0].vector, std::vector<float>{1});
  EXPECT_EQ(loaded.records[2].vector, std::vector<float>{4});
}

struct TornCase {
  int cut;  // bytes of the last record left in the file
  std::string phrase;
};

class DataFileTornTail : public DataFile, public ::testing::WithParamInterface<TornCase> {};

// The last record is 49 bytes: marker 1, id 8, dim 4, vector 12, payload_len 4, payload 20.
TEST_P(DataFileTornTail, LoadsEverythingBeforeTheCut) {
  const std::string last = record(3, {1, 2, 3}, R"({"data":{"tag":"a"}})");
  ASSERT_EQ(last.size(), 49u);
  const std::string before = record(1, {1, 2, 3}, kEmpty) + record(2, {}, kEmpty);
  write_bytes(path, before + last.substr(0, GetParam().cut));
  LoadedRecords loaded = load();
  ASSERT_EQ(loaded.records.size(), 2u);
  EXPECT_EQ(loaded.end_offset, before.size());
  EXPECT_EQ(loaded.file_length, before.size() + GetParam().cut);
  EXPECT_EQ(loaded.stop, GetParam().cut == 0 ? Stop::EndOfFile : Stop::TornTail);
  EXPECT_EQ(error_of(open()->read_record(before.size())),
            "io error: " + GetParam().phrase + "failed to fill whole buffer");
}

std::vector<TornCase> torn_cases() {
  std::vector<TornCase> cases;
  for (int cut = 0; cut < 49; ++cut) {
    const char* phrase = cut < 1    ? "read deleted failed: "
                         : cut < 9  ? "read id failed: "
                         : cut < 13 ? "read dim failed: "
                         : cut < 25 ? "read vector failed: "
                         : cut < 29 ? "read payload_len failed: "
                                    : "read payload failed: ";
    cases.push_back({cut, phrase});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryByteOfTheLastRecord, DataFileTornTail, ::testing::ValuesIn(torn_cases()));

// Sizes read from a damaged record are never trusted for an allocation.
TEST_F(DataFile, HugeSizesAreATornTail) {
  std::string huge_dim = record(2, {}, kEmpty);
  huge_dim.replace(9, 4, "\xFF\xFF\xFF\xFF");
  std::string huge_payload = record(2, {}, kEmpty);
  huge_payload.replace(13, 4, "\xF0\xFF\xFF\xFF");
  for (const std::string& bad : {huge_dim, huge_payload}) {
    write_bytes(path, record(1, {1}, kEmpty) + bad);
    LoadedRecords loaded = load();
    EXPECT_EQ(loaded.records.size(), 1u);
    EXPECT_EQ(loaded.end_offset, 32u);
    EXPECT_EQ(loaded.stop, Stop::TornTail);
    EXPECT_FALSE(open()->read_record(32));
  }
}

TEST_F(DataFile, UndecodablePayloadStopsTheLoadAndFailsTheRead) {
  write_bytes(path, record(1, {1}, kEmpty) + record(2, {2}, "{}") + record(3, {3}, kEmpty));
  LoadedRecords loaded = load();
  EXPECT_EQ(loaded.records.size(), 1u);
  EXPECT_EQ(loaded.end_offset, 32u);
  EXPECT_EQ(loaded.stop, Stop::Undecodable);
  EXPECT_EQ(error_of(open()->read_record(32)),
            "io error: payload deserialize failed: missing field `data` at line 1 column 2");
}

// Fault mended: the scan stepped by the payload's re-encoded length, so a
// payload not written in our encoder's exact form ended the load there.
TEST_F(DataFile, NextOffsetFollowsTheStoredPayloadLength) {
  const std::string first = record(1, {1}, kEmpty + " ");
  const std::string second = record(2, {2}, R"({"data":{"n":1e5}})");
  write_bytes(path, first + second + record(3, {3}, kEmpty));
  LoadedRecords loaded = load();
  ASSERT_EQ(loaded.records.size(), 3u);
  EXPECT_EQ(loaded.records[1].offset, first.size());
  EXPECT_EQ(loaded.records[2].offset, first.size() + second.size());
  EXPECT_EQ(loaded.stop, Stop::EndOfFile);
  EXPECT_EQ(loaded.end_offset, loaded.file_length);
}

struct AppendFault {
  std::size_t free;  // free space left in the buffer before the failing append
  std::size_t dim;
  std::size_t failing_write;
  std::string phrase;
};

class DataFileAppendFault : public DataFile, public ::testing::WithParamInterface<AppendFault> {};

// The failing write leaves part of its bytes in the file: it is cut back,
// the position stays, and the next append lands where the failed one would.
TEST_P(DataFileAppendFault, ReportsTheFieldAndLeavesNoPartialRecord) {
  const AppendFault& c = GetParam();
  auto df = open();
  Payload filler;
  if (c.free < 8192) {
    filler.data["k"] = std::string(8192 - c.free - 17 - 17, 'f');  // a record of 8192 - free bytes
    append(*df, 1, {}, filler);
  }
  const std::uint64_t position = df->position();
  ASSERT_EQ(position, 8192 - c.free);
  const std::vector<float> v(c.dim, 1.5f);
  fs.partial_write(c.failing_write, 10);
  EXPECT_EQ(error_of(df->append(2, v.data(), v.size(), {})),
            "io error: " + c.phrase + "No space left on device");
  EXPECT_EQ(df->position(), position);
  EXPECT_EQ(file_size(path), c.failing_write == 1 ? 0u : position);
  EXPECT_EQ(append(*df, 3, v), position);
  df.reset();
  std::vector<std::uint64_t> expected{3};
  if (c.free < 8192) expected.insert(expected.begin(), 1);
  EXPECT_EQ(loaded_ids(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, DataFileAppendFault,
    ::testing::Values(AppendFault{0, 4, 1, "write deleted marker failed: "},
                      AppendFault{5, 4, 1, "write id failed: "},
                      AppendFault{10, 4, 1, "write dim failed: "},
                      AppendFault{20, 4, 1, "write vector failed: "},
                      AppendFault{30, 4, 1, "write payload_len failed: "},
                      AppendFault{40, 4, 1, "write payload failed: "},
                      AppendFault{8192, 3000, 1, "write vector failed: "},
                      AppendFault{2, 3000, 1, "write id failed: "},
                      AppendFault{2, 3000, 2, "write vector failed: "}));

struct StepFault {
  std::string name;
  void (*arm)(FaultyFileSystem&);
  std::string message;
};

class DataFileMarkFault : public DataFile, public ::testing::WithParamInterface<StepFault> {};

TEST_P(DataFileMarkFault, ReportsTheStep) {
  auto df = open();
  append(*df, 1, {1});
  ASSERT_TRUE(df->write_out());
  GetParam().arm(fs);
  EXPECT_EQ(error_of(df->mark_deleted(0)), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, DataFileMarkFault,
    ::testing::Values(
        StepFault{"Open", [](FaultyFileSystem& f) { f.fail_call(FsCall::Open, 1, EACCES); },
                  "io error: open for delete failed: Permission denied"},
        StepFault{"Seek", [](FaultyFileSystem& f) { f.fail_call(FsCall::Seek, 1); },
                  "io error: seek failed: Input/output error"},
        StepFault{"Marker", [](FaultyFileSystem& f) { f.fail_call(FsCall::Write, 1); },
                  "io error: write delete marker failed: Input/output error"}),
    [](const auto& info) { return info.param.name; });

TEST_F(DataFile, MarkingBeyondTheLastRecordIsRefused) {
  auto df = open();
  append(*df, 1, {1});
  EXPECT_EQ(error_of(df->mark_deleted(32)),
            "io error: seek failed: no record at offset 32, the file ends at 32");
  EXPECT_EQ(file_size(path), 0u);  // nothing written
}

TEST_F(DataFile, SyncAndOpenFailures) {
  auto df = open();
  append(*df, 1, {1});
  fs.fail_call(FsCall::Write, 1);
  EXPECT_EQ(error_of(df->sync()), "io error: flush failed: Input/output error");
  fs.fail_call(FsCall::Sync, 1);
  EXPECT_EQ(error_of(df->sync()), "io error: sync failed: Input/output error");
  EXPECT_TRUE(df->sync());
  fs.fail_call(FsCall::Open, 1, EMFILE);
  EXPECT_EQ(error_of(VectorDataFile::open(fs, path)),
            "io error: failed to open data file: Too many open files");
  fs.fail_call(FsCall::Length, 1);
  EXPECT_EQ(error_of(VectorDataFile::open(fs, path)), "io error: metadata failed: Input/output error");
}

class DataFileReadFault : public DataFile, public ::testing::WithParamInterface<StepFault> {};

// The record is 41 bytes: marker, id, dim (3), vector (12 bytes), payload_len, payload.
TEST_P(DataFileReadFault, ReadRecordReportsTheField) {
  {
    auto df = open();
    append(*df, 7, {1, 2, 3});
  }
  auto df = open();
  GetParam().arm(fs);
  EXPECT_EQ(error_of(df->read_record(0)), GetParam().message);
}

template <std::size_t kBytes>
void fail_after(FaultyFileSystem& f) {
  f.short_read(1, kBytes);
  f.fail_call(FsCall::Read, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, DataFileReadFault,
    ::testing::Values(
        StepFault{"Open", [](FaultyFileSystem& f) { f.fail_call(FsCall::Open, 1, ENOENT); },
                  "io error: open for read failed: No such file or directory"},
        StepFault{"Seek", [](FaultyFileSystem& f) { f.fail_call(FsCall::Seek, 1); },
                  "io error: seek failed: Input/output error"},
        StepFault{"Marker", [](FaultyFileSystem& f) { f.fail_call(FsCall::Read, 1); },
                  "io error: read deleted failed: Input/output error"},
        StepFault{"Id", fail_after<1>, "io error: read id failed: Input/output error"},
        StepFault{"Dim", fail_after<9>, "io error: read dim failed: Input/output error"},
        StepFault{"Vector", fail_after<17>, "io error: read vector failed: Input/output error"},
        StepFault{"PayloadLen", fail_after<25>, "io error: read payload_len failed: Input/output error"},
        StepFault{"Payload", fail_after<29>, "io error: read payload failed: Input/output error"}),
    [](const auto& info) { return info.param.name; });

TEST_F(DataFile, LoadFailures) {
  {
    auto df = open();
    for (int i = 0; i < 3000; ++i) append(*df, i, std::vector<float>(128, 0.5f));
  }
  auto df = open();
  fs.fail_call(FsCall::Open, 1, EMFILE);
  EXPECT_EQ(error_of(df->load_live_records()), "io error: open for iter failed: Too many open files");
  fs.fail_call(FsCall::Length, 1);
  EXPECT_EQ(error_of(df->load_live_records()), "io error: metadata failed: Input/output error");
  // A read error is not the end of the file: the records behind it exist,
  // so the load fails rather than returning a prefix. The second 1 MiB read
  // starts inside the vector of record 1941 (540 bytes each).
  fs.fail_call(FsCall::Read, 2);
  EXPECT_EQ(error_of(df->load_live_records()), "io error: read vector failed: Input/output error");
  fs.short_read(1, 1000, /*persistent=*/true);
  auto r = df->load_live_records();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->records.size(), 3000u);
}

class DataFileBuffers : public DataFile, public ::testing::WithParamInterface<std::size_t> {};

// Records of many lengths, some with payloads and some deleted, over more
// than two 1 MiB load buffers (or, with reads cut short, many buffers of
// odd sizes): records inside a buffer and records across two come out of
// the load exactly as read_record reads each on its own.
TEST_P(DataFileBuffers, LoadReadsEveryRecordAsReadRecordDoes) {
  std::vector<std::uint64_t> offsets;
  {
    auto df = open();
    std::mt19937 gen(7);
    for (std::uint64_t id = 0; df->position() < (std::uint64_t{5} << 19); ++id) {
      std::vector<float> v(gen() % 300);
      for (float& x : v) x = static_cast<float>(gen() % 1000) / 7.0f;
      Payload p = gen() % 4 == 0 ? tagged(std::string(gen() % 100, 'x')) : Payload{};
      offsets.push_back(append(*df, id, v, p));
      if (gen() % 5 == 0) { ASSERT_TRUE(df->mark_deleted(offsets.back())); }
    }
  }
  const std::uint64_t length = file_size(path);
  if (GetParam() > 0) fs.short_read(1, GetParam(), /*persistent=*/true);
  LoadedRecords loaded = load();
  fs.clear();
  EXPECT_EQ(loaded.stop, Stop::EndOfFile);
  EXPECT_EQ(loaded.end_offset, length);
  auto df = open();
  std::size_t live = 0;
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    auto one = df->read_record(offsets[i]);
    ASSERT_TRUE(one) << one.error().message();
    EXPECT_EQ(one->length, (i + 1 < offsets.size() ? offsets[i + 1] : length) - offsets[i]);
    if (one->deleted) continue;
    ASSERT_LT(live, loaded.records.size());
    const StoredRecord& got = loaded.records[live++];
    ASSERT_EQ(got.offset, offsets[i]);
    EXPECT_EQ(got.id, one->id);
    EXPECT_EQ(got.vector, one->vector);
    EXPECT_EQ(got.payload, one->payload);
    EXPECT_EQ(got.length, one->length);
    EXPECT_FALSE(got.deleted);
  }
  EXPECT_EQ(live, loaded.records.size());
}

INSTANTIATE_TEST_SUITE_P(ReadSizes, DataFileBuffers, ::testing::Values(0, 4093, 65537));

TEST_F(DataFile, TruncateToCutsTheTornTailBeforeAppending) {
  write_bytes(path, record(1, {1}, kEmpty) + record(2, {2}, kEmpty).substr(0, 20));
  auto df = open();
  LoadedRecords loaded = *df->load_live_records();
  ASSERT_TRUE(df->truncate_to(loaded.end_offset));
  EXPECT_EQ(append(*df, 3, {3}), 32u);
  df.reset();
  EXPECT_EQ(loaded_ids(), (std::vector<std::uint64_t>{1, 3}));
}

}  // namespace
}  // namespace velmoradb

namespace velmoradb {
namespace {

// The scan hands out runs of many records, payloads and all, each view with
// its payload and the stored text it was decoded from (any text the decoder
// reads, not only ours); deleted records stay out, and a record larger than
// the read buffer, read field by field, comes out too. Texts repeat: a few
// times each (decoded once and shared), more than the scan keeps decoded,
// or never (where the scan stops looking); a text in another spelling of
// an empty payload counts as none.
class DataFileScan : public DataFile, public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(DataFileScan, RunsCarryManyPayloadsEachWithItsText) {
  const std::uint64_t distinct_tags = GetParam();
  struct Expected {
    std::uint64_t offset;
    Payload payload;
    std::string text;
  };
  std::string bytes;
  std::map<std::uint64_t, Expected> live;  // by id
  for (std::uint64_t id = 0; id < 6000; ++id) {
    std::string text = id % 11 == 5 ? R"({"data": {} })" : kEmpty;
    Payload payload;
    if (id % 3 != 0) {
      const std::string tag = "t" + std::to_string(id % distinct_tags);
      text = R"({ "data" : {"n": 1e1, "tag":")";
      text.append(tag).append(R"("} })");
      payload = tagged(tag);
      payload.data["n"] = 10.0;
    }
    const std::vector<float> v(id == 1000 ? 300'000 : 4, static_cast<float>(id));
    const bool deleted = id % 7 == 0;
    if (!deleted) live[id] = Expected{bytes.size(), payload, text};
    bytes += record(id, v, text, deleted ? 1 : 0);
  }
  write_bytes(path, bytes);
  auto df = open();
  std::size_t runs = 0, views = 0;
  auto scanned = df->scan_live_runs([&](std::span<RecordView> run, std::uint64_t) {
    ++runs;
    for (const RecordView& view : run) {
      ++views;
      const Expected& want = live.at(view.id);
      EXPECT_EQ(view.offset, want.offset) << "id " << view.id;
      EXPECT_EQ(view.payload ? *view.payload : Payload{}, want.payload) << "id " << view.id;
      if (view.payload && !view.payload_text.empty()) {
        EXPECT_EQ(view.payload_text, want.text) << "id " << view.id;
      }
      if (view.id != 1000) {
        EXPECT_EQ(view.payload == nullptr, view.payload_text.empty()) << "id " << view.id;
      }
    }
  });
  ASSERT_TRUE(scanned) << scanned.error().message();
  EXPECT_EQ(scanned->stop, Stop::EndOfFile);
  EXPECT_EQ(views, live.size());
  EXPECT_LT(runs, live.size() / 50);  // not a run per payload
}

INSTANTIATE_TEST_SUITE_P(DistinctTags, DataFileScan, ::testing::Values(3, 100, 100000));

}  // namespace
}  // namespace velmoradb
