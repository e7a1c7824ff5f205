// A staged insert (begin_staging, stage_rows, publish_staged) leaves the
// index exactly as a loop of remove-if-present and insert would: the same
// slots, vectors, payloads and search answers, whatever part of a block the
// index filled before, with ids already present or given twice in the
// batch, and with bound codes kept current. A discarded one leaves the
// index as it was.
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "engine/index/vector_index.h"

namespace velmoradb {
namespace {

using Vec = std::vector<float>;

constexpr std::size_t kDim = 5;

Vec random_rows(std::size_t count, std::mt19937& gen) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  Vec rows(count * kDim);
  for (float& x : rows) x = normal(gen);
  return rows;
}

Payload tag(std::uint64_t id) {
  Payload p;
  const char* tags[] = {"t0", "t1", "t2", "t3"};
  if (id % 3 != 0) p.data["tag"] = JsonValue(tags[id % 4]);
  return p;
}

VectorIndex make_index(bool codes) {
  VectorIndex index(DistanceMetric::Euclidean, kDim);
  if (codes) {
    index.set_bound_codes_min_size(20);
    index.use_bound_codes(true);
  }
  return index;
}

// An index of ids 0 .. n-1, the same rows for the same n.
VectorIndex filled(std::size_t n, bool codes) {
  VectorIndex index = make_index(codes);
  std::mt19937 gen(7);
  const Vec rows = random_rows(n, gen);
  for (std::size_t i = 0; i < n; ++i) EXPECT_TRUE(index.insert(i, rows.data() + i * kDim, kDim, tag(i)));
  return index;
}

// The rows handed to stage_rows in the pieces the index asks for.
void stage_all(VectorIndex& index, StagedRows& staging, const Vec& rows, std::size_t count) {
  for (std::size_t done = 0; done < count;) {
    const std::size_t n = std::min(staging.block_rows(), count - done);
    index.stage_rows(staging, rows.data() + done * kDim, n);
    done += n;
  }
}

void expect_same_index(const VectorIndex& got, const VectorIndex& want, std::mt19937& gen) {
  ASSERT_EQ(got.size(), want.size());
  ASSERT_EQ(got.ids(), want.ids());  // slot by slot
  for (std::uint64_t id : want.ids()) {
    const Vec a = *got.vector_of(id);
    const Vec b = *want.vector_of(id);
    EXPECT_EQ(std::memcmp(a.data(), b.data(), kDim * sizeof(float)), 0) << "id " << id;
    EXPECT_EQ(got.payload_of(id), want.payload_of(id)) << "id " << id;
  }
  EXPECT_EQ(got.payload_count(), want.payload_count());
  EXPECT_EQ(got.bound_codes_active(), want.bound_codes_active());
  for (int q = 0; q < 5; ++q) {
    const Vec query = random_rows(1, gen);
    const auto a = got.search(query, 7);
    const auto b = want.search(query, 7);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
      EXPECT_EQ(a[i].id, b[i].id);
      EXPECT_EQ(std::memcmp(&a[i].distance, &b[i].distance, sizeof(float)), 0);
    }
    auto where = Filter::compile(JsonValue(JsonObject{{"tag", JsonValue("t1")}}));
    ASSERT_TRUE(where);
    EXPECT_EQ(got.matching(*where).words(), want.matching(*where).words());
  }
}

enum class Ids : std::uint8_t { New, SomePresent, RepeatedInBatch };

// (rows in the index before, rows in the batch, which ids, codes on)
class Staging : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, Ids, bool>> {};

TEST_P(Staging, PublishEqualsALoopOfInserts) {
  const auto [before, count, which, codes] = GetParam();
  std::mt19937 gen(static_cast<unsigned>(before * 131 + count * 7 + static_cast<unsigned>(which) * 3 + codes));
  std::vector<std::uint64_t> ids(count);
  for (std::size_t i = 0; i < count; ++i) {
    ids[i] = which == Ids::New ? 1000 + i
             : which == Ids::SomePresent ? (i % 3 == 0 && before > 0 ? i % before : 1000 + i)
                                         : 1000 + i % 4;
  }
  const Vec rows = random_rows(count, gen);
  std::vector<Payload> payloads(count);
  for (std::size_t i = 0; i < count; ++i) payloads[i] = tag(ids[i] + i);

  VectorIndex staged = filled(before, codes);
  VectorIndex looped = filled(before, codes);

  StagedRows staging = staged.begin_staging(count);
  stage_all(staged, staging, rows, count);
  std::vector<Payload> moved = payloads;
  staged.publish_staged(staging, ids.data(), moved.data());

  for (std::size_t i = 0; i < count; ++i) {
    (void)looped.remove(ids[i]);
    ASSERT_TRUE(looped.insert(ids[i], rows.data() + i * kDim, kDim, payloads[i]));
  }
  expect_same_index(staged, looped, gen);

  // And the slots past the end were left as an insert finds them.
  const Vec more = random_rows(21, gen);
  for (std::size_t i = 0; i < 21; ++i) {
    ASSERT_TRUE(staged.insert(5000 + i, more.data() + i * kDim, kDim));
    ASSERT_TRUE(looped.insert(5000 + i, more.data() + i * kDim, kDim));
  }
  expect_same_index(staged, looped, gen);
}

// (rows in the index before, rows in the batch, codes on)
class StagingDiscard : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, bool>> {};

TEST_P(StagingDiscard, LeavesTheIndexAsItWas) {
  const auto [before, count, codes] = GetParam();
  std::mt19937 gen(static_cast<unsigned>(before + count));
  VectorIndex staged = filled(before, codes);
  VectorIndex untouched = filled(before, codes);

  const Vec rows = random_rows(count, gen);
  StagedRows staging = staged.begin_staging(count);
  stage_all(staged, staging, rows, count / 2 + 1);  // part of the batch, as a failed write leaves it
  staged.discard_staged(staging);
  expect_same_index(staged, untouched, gen);

  const Vec more = random_rows(count, gen);
  for (std::size_t i = 0; i < count; ++i) {
    ASSERT_TRUE(staged.insert(9000 + i, more.data() + i * kDim, kDim));
    ASSERT_TRUE(untouched.insert(9000 + i, more.data() + i * kDim, kDim));
  }
  expect_same_index(staged, untouched, gen);
}

INSTANTIATE_TEST_SUITE_P(Units, Staging,
                         ::testing::Combine(::testing::Values(0, 5, 16, 37), ::testing::Values(1, 15, 16, 40),
                                            ::testing::Values(Ids::New, Ids::SomePresent, Ids::RepeatedInBatch),
                                            ::testing::Bool()));
INSTANTIATE_TEST_SUITE_P(Units, StagingDiscard,
                         ::testing::Combine(::testing::Values(0, 5, 16, 37), ::testing::Values(1, 15, 16, 40),
                                            ::testing::Bool()));

}  // namespace
}  // namespace velmoradb
