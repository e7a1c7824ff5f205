// Damaged tails found at open: cut off (torn) or kept aside (undecodable),
// so nothing new is ever written behind unreadable bytes.
#include <gtest/gtest.h>

#include <map>

#include "collection/collection.h"
#include "collection_fixture.h"

namespace velmoradb::testing {
namespace {

using Map = std::map<std::uint64_t, std::vector<float>>;
constexpr std::uint64_t kRecord3 = 17 + 12 + 11;

void insert_all(const std::string& dir, std::initializer_list<std::uint64_t> ids, bool flush) {
  auto c = open_ok(dir, config(3));
  for (std::uint64_t id : ids) {
    float f = static_cast<float>(id);
    ASSERT_TRUE(c->insert(id, {f, f, f}));
  }
  if (flush) { ASSERT_TRUE(c->flush()); }
}

Map expected(std::initializer_list<std::uint64_t> ids) {
  Map m;
  for (std::uint64_t id : ids) {
    float f = static_cast<float>(id);
    m[id] = {f, f, f};
  }
  return m;
}

class TornLogTail : public ::testing::TestWithParam<int> {};

TEST_P(TornLogTail, IsCutOffAndLaterInsertsSurvive) {
  ScratchDir dir;
  insert_all(dir.str(), {1, 2}, /*flush=*/true);
  insert_all(dir.str(), {3, 4}, /*flush=*/false);  // two frames left in the log
  std::string wal = read_bytes(dir.file("wal.log"));
  // Cut inside the last frame: after `GetParam()` of its bytes.
  std::size_t second = wal.size() / 2;
  write_bytes(dir.file("wal.log"), wal.substr(0, second + static_cast<std::size_t>(GetParam())));
  // As after a crash: the unflushed records never reached the data file.
  write_bytes(dir.file("data.vdb"), read_bytes(dir.file("data.vdb")).substr(0, 2 * kRecord3));
  {
    auto c = open_ok(dir.str(), config(3));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->snapshot().count(3), 1u);
    EXPECT_EQ(c->snapshot().count(4), 0u);
    ASSERT_TRUE(c->insert(5, {5, 5, 5}));
  }
  auto c = open_ok(dir.str(), config(3));
  Map got = c->snapshot();
  EXPECT_EQ(got.count(5), 1u);
  EXPECT_EQ(got.count(1) + got.count(2) + got.count(3), 3u);
}

INSTANTIATE_TEST_SUITE_P(Offsets, TornLogTail, ::testing::Values(1, 3, 4, 6, 8, 9, 40));

class TornDataTail : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(TornDataTail, IsCutOffBeforeAppending) {
  ScratchDir dir;
  insert_all(dir.str(), {1, 2}, /*flush=*/true);
  std::string data = read_bytes(dir.file("data.vdb"));
  ASSERT_EQ(data.size(), 2 * kRecord3);
  write_bytes(dir.file("data.vdb"), data.substr(0, kRecord3 + GetParam()));
  {
    auto c = open_ok(dir.str(), config(3));
    EXPECT_EQ(c->snapshot(), expected({1}));
    ASSERT_TRUE(c->insert(3, {3, 3, 3}));
    ASSERT_TRUE(c->flush());
  }
  EXPECT_EQ(file_size(dir.file("data.vdb")), 2 * kRecord3);
  auto c = open_ok(dir.str(), config(3));
  EXPECT_EQ(c->snapshot(), expected({1, 3}));
}

INSTANTIATE_TEST_SUITE_P(Offsets, TornDataTail, ::testing::Values(1, 5, 9, 13, 20, 29, 33, 39));

TEST(DamagedDataRecord, IsCopiedAsideThenCutOff) {
  ScratchDir dir;
  insert_all(dir.str(), {1, 2, 3}, /*flush=*/true);
  std::string data = read_bytes(dir.file("data.vdb"));
  // Break the payload of record 2 so it cannot be decoded.
  data[kRecord3 + 29] = 'X';
  write_bytes(dir.file("data.vdb"), data);
  std::string tail = data.substr(kRecord3);
  {
    auto c = open_ok(dir.str(), config(3));
    EXPECT_EQ(c->snapshot(), expected({1}));
  }
  EXPECT_EQ(read_bytes(dir.file("data.vdb.damaged")), tail);
  EXPECT_EQ(file_size(dir.file("data.vdb")), kRecord3);

  // A second damaged tail never overwrites the first copy.
  std::string again = read_bytes(dir.file("data.vdb")) + tail;
  write_bytes(dir.file("data.vdb"), again);
  { auto c = open_ok(dir.str(), config(3)); }
  EXPECT_EQ(read_bytes(dir.file("data.vdb.damaged")), tail);
  EXPECT_EQ(read_bytes(dir.file("data.vdb.damaged.1")), tail);
}

// A damaged dim in the middle of the data file once read as a torn tail, and
// the open cut off every record behind it without keeping a copy.
TEST(DamagedDataRecord, BrokenDimWithRecordsBehindItIsCopiedAside) {
  ScratchDir dir;
  insert_all(dir.str(), {1, 2, 3}, /*flush=*/true);
  std::string data = read_bytes(dir.file("data.vdb"));
  data[kRecord3 + 9 + 3] = '\x7f';  // record 2's dim: far past the end of the file
  write_bytes(dir.file("data.vdb"), data);
  {
    auto c = open_ok(dir.str(), config(3));
    EXPECT_EQ(c->snapshot(), expected({1}));
  }
  EXPECT_EQ(read_bytes(dir.file("data.vdb.damaged")), data.substr(kRecord3));
}

}  // namespace
}  // namespace velmoradb::testing
