#include "storage/record_file_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "storage/data_file.h"
#include "support/faulty_fs.h"
#include "temp_dir.h"

namespace velmoradb {
namespace {

using testing::file_size;
using testing::TempDir;

Payload numbered(std::uint64_t i) {
  Payload p;
  if (i % 3 != 0) p.data["n"] = "record " + std::to_string(i);
  return p;
}

std::vector<float> vector_of(std::uint64_t id, std::size_t dim) {
  std::vector<float> v(dim);
  for (std::size_t j = 0; j < dim; ++j) v[j] = static_cast<float>(id) * 0.5f - static_cast<float>(j);
  return v;
}

class RecordFileWriterTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir.file("data.vdb.compact");
  FaultyFileSystem fs;
};

// Enough records for several pieces: the file is what appends would have
// written, offsets included, and a leftover file is emptied first.
TEST_F(RecordFileWriterTest, WritesWhatAppendsWouldInSeveralPieces) {
  constexpr std::size_t kDim = 1100;
  constexpr std::uint64_t kCount = 3000;  // about 13 MB
  testing::write_bytes(path, std::string(100, 'x'));
  std::vector<std::uint64_t> offsets;
  {
    auto writer = RecordFileWriter::create(fs, path);
    ASSERT_TRUE(writer);
    for (std::uint64_t id = 0; id < kCount; ++id) {
      std::vector<float> v = vector_of(id, kDim);
      auto offset = (*writer)->add(id, v.data(), v.size(), numbered(id));
      ASSERT_TRUE(offset) << offset.error().message();
      offsets.push_back(*offset);
    }
    ASSERT_TRUE((*writer)->finish());
    EXPECT_EQ((*writer)->length(), file_size(path));
  }
  EXPECT_GT(fs.calls(FsCall::Write), 2u);
  EXPECT_EQ(fs.calls(FsCall::Sync), 1u);
  auto df = VectorDataFile::open(fs, path);
  ASSERT_TRUE(df);
  auto loaded = (*df)->load_live_records();
  ASSERT_TRUE(loaded);
  ASSERT_EQ(loaded->records.size(), kCount);
  EXPECT_EQ(loaded->stop, LoadedRecords::Stop::EndOfFile);
  for (std::uint64_t id = 0; id < kCount; ++id) {
    const StoredRecord& r = loaded->records[id];
    ASSERT_EQ(r.id, id);
    ASSERT_EQ(r.offset, offsets[id]);
    ASSERT_EQ(r.vector, vector_of(id, kDim));
    ASSERT_EQ(r.payload, numbered(id));
  }
  // The raw reader hands out the same bytes, records straddling its 1 MiB
  // read window included, and a second writer copies them into an equal file.
  const std::string whole = testing::read_bytes(path);
  std::vector<std::uint64_t> some;
  for (std::uint64_t id = 1; id < kCount; id += 2) some.push_back(offsets[id]);
  const std::string copy_path = dir.file("copy.vdb");
  auto copy = RecordFileWriter::create(fs, copy_path);
  ASSERT_TRUE(copy);
  std::size_t seen = 0;
  Status read = (*df)->read_raw_records(some, [&](std::span<const std::uint8_t> record, std::size_t i) -> Status {
    EXPECT_EQ(i, seen++);
    const std::uint64_t end = i + 1 < some.size() ? some[i] + (offsets[2 * i + 2] - offsets[2 * i + 1]) : whole.size();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.data()), record.size()),
              whole.substr(some[i], end - some[i]));
    auto offset = (*copy)->add_encoded(record.data(), record.size());
    return offset ? Status{} : Status(offset.error());
  });
  ASSERT_TRUE(read) << read.error().message();
  EXPECT_EQ(seen, some.size());
  ASSERT_TRUE((*copy)->finish());
  auto copied = VectorDataFile::open(fs, copy_path);
  ASSERT_TRUE(copied);
  auto again = (*copied)->load_live_records();
  ASSERT_TRUE(again);
  ASSERT_EQ(again->records.size(), some.size());
  for (std::size_t i = 0; i < some.size(); ++i) EXPECT_EQ(again->records[i].id, 2 * i + 1);
}

// A failed write or sync is reported once, by add() or finish(), and the
// writer takes nothing more.
class RecordFileWriterFault : public RecordFileWriterTest, public ::testing::WithParamInterface<FsCall> {};

TEST_P(RecordFileWriterFault, AFailureIsReportedAndSticks) {
  auto writer = RecordFileWriter::create(fs, path);
  ASSERT_TRUE(writer);
  fs.fail_call(GetParam(), 1);
  const std::vector<float> v = vector_of(7, 1100);
  Status failed;
  for (std::uint64_t id = 0; id < 2000 && failed; ++id) {
    auto r = (*writer)->add(id, v.data(), v.size(), {});
    if (!r) failed = r.error();
  }
  if (failed) failed = (*writer)->finish();
  ASSERT_FALSE(failed);
  const std::string phrase = GetParam() == FsCall::Sync ? "io error: sync failed: " : "io error: write failed: ";
  EXPECT_EQ(failed.error().message().rfind(phrase, 0), 0u) << failed.error().message();
  EXPECT_FALSE((*writer)->add(1, v.data(), v.size(), {}));
  EXPECT_FALSE((*writer)->finish());
}

INSTANTIATE_TEST_SUITE_P(Calls, RecordFileWriterFault, ::testing::Values(FsCall::Write, FsCall::Sync),
                         [](const auto& info) { return info.param == FsCall::Write ? "Write" : "Sync"; });

}  // namespace
}  // namespace velmoradb
