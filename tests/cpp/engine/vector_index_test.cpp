#include "engine/index/vector_index.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velmoradb {
namespace {

using Vec = std::vector<float>;
constexpr std::uint64_t kMaxId = std::numeric_limits<std::uint64_t>::max();

std::vector<const KernelSet*> paths() {
  const KernelSet* sets[8];
  std::size_t n = available_kernels(sets, 8);
  return {sets, sets + n};
}

// Each test runs once per kernel path the CPU offers.
class IndexTest : public ::testing::TestWithParam<const KernelSet*> {
 protected:
  VectorIndex make(DistanceMetric metric, std::size_t dim) {
    VectorIndex index(metric, dim);
    index.set_kernels(*GetParam());
    return index;
  }
};

std::vector<std::uint64_t> ids_of(const std::vector<SearchResult>& results) {
  std::vector<std::uint64_t> ids;
  for (const auto& r : results) ids.push_back(r.id);
  return ids;
}

TEST_P(IndexTest, EmptyIndexFindsNothing) {
  VectorIndex index = make(DistanceMetric::Euclidean, 3);
  for (std::size_t k : {0, 1, 100}) EXPECT_TRUE(index.search({1, 2, 3}, k).empty());
  EXPECT_TRUE(index.search_batch(Vec{1, 2, 3, 4, 5, 6}.data(), 2, 5)[1].empty());
}

TEST_P(IndexTest, WrongLengthQueryGivesAnEmptyList) {
  VectorIndex index = make(DistanceMetric::Euclidean, 3);
  ASSERT_TRUE(index.insert(1, {1, 2, 3}).ok());
  EXPECT_TRUE(index.search({1, 2}, 5).empty());
  EXPECT_TRUE(index.search({1, 2, 3, 4}, 5).empty());
  EXPECT_TRUE(index.search({1, 2, 3}, 0).empty());
}

TEST_P(IndexTest, KLargerThanTheCountReturnsEverythingSorted) {
  VectorIndex index = make(DistanceMetric::Euclidean, 1);
  for (std::uint64_t id = 0; id < 20; ++id) ASSERT_TRUE(index.insert(id, {static_cast<float>(20 - id)}).ok());
  auto results = index.search({0}, 1000);
  ASSERT_EQ(results.size(), 20u);
  for (std::size_t i = 0; i < 20; ++i) {
    EXPECT_EQ(results[i].id, 19 - i);
    EXPECT_EQ(results[i].distance, static_cast<float>(i + 1));
  }
}

TEST_P(IndexTest, DuplicateIdIsRefusedAndTheFirstVectorStays) {
  VectorIndex index = make(DistanceMetric::Euclidean, 2);
  ASSERT_TRUE(index.insert(7, {1, 1}).ok());
  Status again = index.insert(7, {5, 5});
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().message(), "duplicate vector id: 7");
  EXPECT_EQ(index.size(), 1u);
  EXPECT_EQ(index.vector_of(7), Vec({1, 1}));
  auto results = index.search({1, 1}, 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].id, 7u);
  EXPECT_EQ(results[0].distance, 0.0f);
}

TEST_P(IndexTest, DimensionMismatchChangesNothing) {
  VectorIndex index = make(DistanceMetric::Euclidean, 3);
  Status s = index.insert(1, {1, 2, 3, 4});
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), VectorError::dimension_mismatch(3, 4));
  EXPECT_EQ(s.error().message(), "dimension mismatch: expected 3, got 4");
  EXPECT_EQ(index.size(), 0u);
  EXPECT_FALSE(index.contains(1));
  // The mismatch is checked before the duplicate.
  ASSERT_TRUE(index.insert(1, {1, 2, 3}).ok());
  EXPECT_EQ(index.insert(1, {1}).error(), VectorError::dimension_mismatch(3, 1));
}

TEST_P(IndexTest, DimensionZeroHoldsEmptyVectors) {
  VectorIndex index = make(DistanceMetric::Euclidean, 0);
  ASSERT_TRUE(index.insert(1, Vec{}).ok());
  ASSERT_TRUE(index.insert(2, Vec{}).ok());
  EXPECT_EQ(index.insert(3, {1.0f}).error(), VectorError::dimension_mismatch(0, 1));
  auto results = index.search(Vec{}, 10);
  ASSERT_EQ(results.size(), 2u);
  for (const auto& r : results) EXPECT_TRUE(r.distance == 0.0f && !std::signbit(r.distance));
  EXPECT_EQ(std::set<std::uint64_t>({results[0].id, results[1].id}), std::set<std::uint64_t>({1, 2}));
  EXPECT_EQ(index.search_batch(nullptr, 3, 10)[2].size(), 2u);
  EXPECT_TRUE(index.search({1.0f}, 10).empty());
  ASSERT_TRUE(index.remove(1).has_value());
  EXPECT_EQ(ids_of(index.search(Vec{}, 10)), std::vector<std::uint64_t>({2}));
}

TEST_P(IndexTest, LargestDotProductComesFirst) {
  VectorIndex index = make(DistanceMetric::DotProduct, 2);
  ASSERT_TRUE(index.insert(1, {1, 0}).ok());
  ASSERT_TRUE(index.insert(2, {3, 0}).ok());
  ASSERT_TRUE(index.insert(3, {-1, 0}).ok());
  auto results = index.search({1, 0}, 3);
  EXPECT_EQ(ids_of(results), std::vector<std::uint64_t>({2, 1, 3}));
  EXPECT_EQ(results[0].distance, -3.0f);
  EXPECT_EQ(results[2].distance, 1.0f);
}

TEST_P(IndexTest, CosineZeroVectorIsAtDistanceOne) {
  VectorIndex index = make(DistanceMetric::Cosine, 2);
  ASSERT_TRUE(index.insert(1, {0, 0}).ok());
  ASSERT_TRUE(index.insert(2, {1, 0}).ok());   // 0.0
  ASSERT_TRUE(index.insert(3, {-1, 0}).ok());  // 2.0
  auto results = index.search({2, 0}, 3);
  EXPECT_EQ(ids_of(results), std::vector<std::uint64_t>({2, 1, 3}));
  EXPECT_EQ(results[1].distance, 1.0f);
}

TEST_P(IndexTest, EqualDistancesAreAllReturned) {
  VectorIndex index = make(DistanceMetric::Euclidean, 2);
  ASSERT_TRUE(index.insert(1, {1, 0}).ok());
  ASSERT_TRUE(index.insert(2, {0, 1}).ok());
  ASSERT_TRUE(index.insert(3, {-1, 0}).ok());
  auto three = index.search({0, 0}, 3);
  EXPECT_EQ(std::set<std::uint64_t>({three[0].id, three[1].id, three[2].id}), std::set<std::uint64_t>({1, 2, 3}));
  auto two = index.search({0, 0}, 2);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_NE(two[0].id, two[1].id);
  for (const auto& r : two) EXPECT_EQ(r.distance, 1.0f);
}

TEST_P(IndexTest, IdZeroAndTheLargestIdAreOrdinary) {
  VectorIndex index = make(DistanceMetric::Euclidean, 1);
  ASSERT_TRUE(index.insert(0, {1}).ok());
  ASSERT_TRUE(index.insert(kMaxId, {2}).ok());
  EXPECT_EQ(ids_of(index.search({2}, 2)), std::vector<std::uint64_t>({kMaxId, 0}));
  EXPECT_EQ(index.insert(kMaxId, {3}).error().message(), "duplicate vector id: 18446744073709551615");
  EXPECT_TRUE(index.remove(0).has_value());
  EXPECT_EQ(ids_of(index.search({0}, 5)), std::vector<std::uint64_t>({kMaxId}));
}

TEST_P(IndexTest, RemoveMovesTheLastVectorIntoTheHole) {
  VectorIndex index = make(DistanceMetric::Euclidean, 3);
  for (std::uint64_t id = 0; id < 40; ++id)
    ASSERT_TRUE(index.insert(id, {static_cast<float>(id), 1, -static_cast<float>(id)}).ok());
  auto removed = index.remove(3);
  ASSERT_TRUE(removed.has_value());
  EXPECT_EQ(removed->id, 3u);
  EXPECT_EQ(removed->vector, Vec({3, 1, -3}));
  EXPECT_FALSE(index.remove(3).has_value());
  EXPECT_EQ(index.size(), 39u);
  // Id 39 moved into slot 3 and is still itself.
  EXPECT_EQ(index.vector_of(39), Vec({39, 1, -39}));
  auto results = index.search({39, 1, -39}, 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].id, 39u);
  EXPECT_EQ(results[0].distance, 0.0f);
  // Removing the last slot and re-inserting reuses it cleanly.
  ASSERT_TRUE(index.remove(38).has_value());
  ASSERT_TRUE(index.insert(38, {0, 0, 0}).ok());
  EXPECT_EQ(index.vector_of(38), Vec({0, 0, 0}));
  EXPECT_EQ(index.search({0, 0, 0}, 1)[0].id, 38u);
}

TEST_P(IndexTest, PayloadsAreCopiedIntoResultsAndReturnedByRemove) {
  VectorIndex index = make(DistanceMetric::Euclidean, 1);
  Payload p;
  p.data["name"] = JsonValue("seven");
  ASSERT_TRUE(index.insert(7, {1}, p).ok());
  ASSERT_TRUE(index.insert(8, {2}).ok());
  auto results = index.search({1}, 2);
  EXPECT_EQ(results[0].payload, p);
  EXPECT_TRUE(results[1].payload.empty());
  EXPECT_EQ(index.search_batch(Vec{1}.data(), 1, 1)[0][0].payload, p);
  auto removed = index.remove(7);
  ASSERT_TRUE(removed.has_value());
  EXPECT_EQ(removed->payload, p);
  EXPECT_EQ(results[0].payload, p);  // results own their copy
}

TEST_P(IndexTest, InsertBatchEqualsALoopOfInsertsAndStopsAtTheFirstDuplicate) {
  // Dimensions below, at and past the width the rows are copied in, with
  // and without a remainder.
  for (std::size_t dim : {0, 1, 3, 5, 16, 40, 131}) {
    VectorIndex batch = make(DistanceMetric::Euclidean, dim);
    VectorIndex loop = make(DistanceMetric::Euclidean, dim);
    std::mt19937 gen(static_cast<unsigned>(dim));
    std::normal_distribution<float> normal;
    // Start mid-block, cross several blocks, and repeat id 30 within a batch.
    std::vector<std::uint64_t> ids;
    for (std::uint64_t id = 0; id < 5; ++id) ids.push_back(id);
    for (std::uint64_t id = 100; id < 140; ++id) ids.push_back(id);
    ids.insert(ids.begin() + 30, 110);  // a duplicate of an id earlier in the batch
    Vec vectors(ids.size() * dim);
    for (float& x : vectors) x = normal(gen);
    ASSERT_TRUE(batch.insert_batch(ids.data(), vectors.data(), 5).ok());
    Status s = batch.insert_batch(ids.data() + 5, vectors.data() + 5 * dim, ids.size() - 5);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error(), VectorError::duplicate_id(110));
    for (std::size_t i = 0; i < ids.size(); ++i) {
      Status one = loop.insert(ids[i], vectors.data() + i * dim, dim);
      if (!one.ok()) break;
    }
    ASSERT_EQ(batch.size(), 30u);
    ASSERT_EQ(loop.size(), 30u);
    for (std::size_t i = 0; i < 30; ++i) {
      EXPECT_EQ(batch.vector_of(ids[i]), loop.vector_of(ids[i])) << "dim " << dim << " id " << ids[i];
      EXPECT_EQ(batch.vector_of(ids[i]), Vec(vectors.begin() + i * dim, vectors.begin() + (i + 1) * dim));
    }
    EXPECT_FALSE(batch.contains(ids[31]));
    Vec query(dim, 0.5f);
    EXPECT_EQ(ids_of(batch.search(query, 30)).size(), 30u);
    // An empty batch changes nothing.
    ASSERT_TRUE(batch.insert_batch(nullptr, nullptr, 0).ok());
    EXPECT_EQ(batch.size(), 30u);
  }
}

// Batches large enough to be written past the cache, starting mid-block:
// partial first and last blocks, whole blocks between, rows left over when
// the dimension is not a multiple of four.
TEST_P(IndexTest, LargeInsertBatchEqualsALoopOfInserts) {
  for (std::size_t dim : {16, 131}) {
    VectorIndex batch = make(DistanceMetric::Euclidean, dim);
    VectorIndex loop = make(DistanceMetric::Euclidean, dim);
    std::mt19937 gen(static_cast<unsigned>(dim));
    std::normal_distribution<float> normal;
    const std::size_t n = 1500;
    std::vector<std::uint64_t> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = gen();
    Vec vectors(n * dim);
    for (float& x : vectors) x = normal(gen);
    ASSERT_TRUE(batch.insert_batch(ids.data(), vectors.data(), 7).ok());
    ASSERT_TRUE(batch.insert_batch(ids.data() + 7, vectors.data() + 7 * dim, n - 7).ok());
    for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(loop.insert(ids[i], vectors.data() + i * dim, dim).ok());
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(batch.vector_of(ids[i]), Vec(vectors.begin() + i * dim, vectors.begin() + (i + 1) * dim))
          << "dim " << dim << " row " << i;
    }
    Vec query(vectors.begin(), vectors.begin() + dim);
    auto got = batch.search(query, n);
    auto want = loop.search(query, n);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].id, want[i].id);
      EXPECT_EQ(got[i].distance, want[i].distance);
    }
  }
}

// Rows as a load hands them over: at odd addresses, record-like gaps
// between them, one row skipped. Small writes and ones large enough to be
// streamed, from mid-block on; the write stops at a repeated id.
TEST_P(IndexTest, InsertRowsFromUnalignedRowsEqualsInsertBatch) {
  for (std::size_t dim : {1, 3, 5, 16, 131}) {
    for (std::size_t n : {std::size_t{40}, std::size_t{1500}}) {
      VectorIndex rows_index = make(DistanceMetric::Euclidean, dim);
      VectorIndex batch = make(DistanceMetric::Euclidean, dim);
      std::mt19937 gen(static_cast<unsigned>(dim + n));
      std::normal_distribution<float> normal;
      std::vector<std::uint64_t> ids(n);
      for (std::size_t i = 0; i < n; ++i) ids[i] = gen();
      ids[n - 3] = ids[n / 2];  // a repeat: the write stops there
      Vec vectors(n * dim);
      for (float& x : vectors) x = normal(gen);
      const std::size_t stride = 4 * dim + 28;  // a record around each row
      std::vector<std::uint8_t> file(13 + (n + 1) * stride);
      std::vector<const std::uint8_t*> rows(n);
      for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t* at = file.data() + 13 + (i < n / 3 ? i : i + 1) * stride;  // one record skipped
        std::memcpy(at, vectors.data() + i * dim, 4 * dim);
        rows[i] = at;
      }
      ASSERT_TRUE(rows_index.insert_rows(ids.data(), rows.data(), 7).ok());
      Status s = rows_index.insert_rows(ids.data() + 7, rows.data() + 7, n - 7);
      EXPECT_EQ(s.error(), VectorError::duplicate_id(ids[n / 2]));
      ASSERT_TRUE(batch.insert_batch(ids.data(), vectors.data(), n - 3).ok());
      ASSERT_EQ(rows_index.size(), n - 3);
      for (std::size_t i = 0; i < n - 3; ++i) {
        ASSERT_EQ(rows_index.vector_of(ids[i]), batch.vector_of(ids[i])) << "dim " << dim << " row " << i;
      }
      Vec query(vectors.begin(), vectors.begin() + dim);
      auto got = rows_index.search(query, 10);
      auto want = batch.search(query, 10);
      ASSERT_EQ(ids_of(got), ids_of(want));
    }
  }
}

// A load as the collection does it: room on a mapped arena reserved for
// more entries than arrive, the batches streamed into it. Nothing written
// is lost, and the index goes on as usual afterwards.
TEST_P(IndexTest, ReservedLoadKeepsWhatWasWrittenAndGrowsOn) {
  const std::size_t dim = 128;
  VectorIndex index = make(DistanceMetric::Euclidean, dim);
  index.reserve(200000);  // 100 MiB of blocks: a mapped arena
  std::mt19937 gen(5);
  std::normal_distribution<float> normal;
  const std::size_t n = 3000;
  std::vector<std::uint64_t> ids(n);
  Vec vectors(n * dim);
  for (std::size_t i = 0; i < n; ++i) ids[i] = i;
  for (float& x : vectors) x = normal(gen);
  for (std::size_t done = 0; done < n; done += 256) {
    std::size_t count = std::min<std::size_t>(256, n - done);
    ASSERT_TRUE(index.insert_batch(ids.data() + done, vectors.data() + done * dim, count).ok());
  }
  Vec extra(dim, 2.0f);
  ASSERT_TRUE(index.insert(n, extra).ok());
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(index.vector_of(i), Vec(vectors.begin() + i * dim, vectors.begin() + (i + 1) * dim)) << i;
  }
  EXPECT_EQ(index.vector_of(n), extra);
  EXPECT_EQ(ids_of(index.search(extra, 1)), std::vector<std::uint64_t>{n});
}

// ---- random sequences against a brute-force reference ----

struct Reference {
  DistanceMetric metric;
  std::size_t dim;
  std::map<std::uint64_t, Vec> entries;

  // The reference list: every entry, stable-sorted by ascending distance
  // with NaN last, cut to k.
  std::vector<std::pair<float, std::uint64_t>> search(const float* q, std::size_t k) const {
    std::vector<std::pair<float, std::uint64_t>> all;
    for (const auto& [id, v] : entries) all.push_back({distance(metric, q, v.data(), dim), id});
    std::stable_partition(all.begin(), all.end(), [](const auto& c) { return !std::isnan(c.first); });
    auto numbers_end = std::find_if(all.begin(), all.end(), [](const auto& c) { return std::isnan(c.first); });
    std::stable_sort(all.begin(), numbers_end, [](const auto& a, const auto& b) { return a.first < b.first; });
    if (all.size() > k) all.resize(k);
    return all;
  }
};

void expect_same_list(const Reference& ref, const float* q, std::size_t k, const std::vector<SearchResult>& got) {
  auto want = ref.search(q, k);
  ASSERT_EQ(got.size(), want.size());
  std::set<std::uint64_t> seen;
  for (std::size_t i = 0; i < want.size(); ++i) {
    float expected = want[i].first, actual = got[i].distance;
    bool both_nan = std::isnan(expected) && std::isnan(actual);
    ASSERT_TRUE(both_nan || std::memcmp(&expected, &actual, 4) == 0) << "position " << i;
    // Ties may come in any order, but each id carries its own distance.
    ASSERT_TRUE(ref.entries.count(got[i].id));
    float own = distance(ref.metric, q, ref.entries.at(got[i].id).data(), ref.dim);
    ASSERT_TRUE((std::isnan(own) && std::isnan(actual)) || std::memcmp(&own, &actual, 4) == 0);
    ASSERT_TRUE(seen.insert(got[i].id).second);
  }
}

struct RandomCase {
  DistanceMetric metric;
  std::size_t dim;
  std::size_t ops;
};

class IndexRandom : public ::testing::TestWithParam<std::tuple<const KernelSet*, RandomCase>> {};

TEST_P(IndexRandom, SearchesEqualBruteForceAfterInsertsAndRemoves) {
  const KernelSet* set = std::get<0>(GetParam());
  const RandomCase& c = std::get<1>(GetParam());  // named, not bound: the lambdas below capture it
  std::mt19937_64 gen(c.dim * 31 + c.ops);
  std::uniform_int_distribution<int> small(-2, 2);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  auto random_vector = [&] {
    Vec v(c.dim);
    bool coarse = gen() % 4 == 0;  // small integers make equal distances
    for (float& x : v) x = coarse ? static_cast<float>(small(gen)) : normal(gen);
    if (c.dim && gen() % 50 == 0) v[gen() % c.dim] = std::numeric_limits<float>::quiet_NaN();
    return v;
  };
  VectorIndex index(c.metric, c.dim);
  index.set_kernels(*set);
  Reference ref{c.metric, c.dim, {}};
  std::vector<std::uint64_t> live;
  for (std::size_t op = 0; op < c.ops; ++op) {
    if (!live.empty() && gen() % 4 == 0) {
      std::size_t at = gen() % live.size();
      ASSERT_TRUE(index.remove(live[at]).has_value());
      ref.entries.erase(live[at]);
      live[at] = live.back();
      live.pop_back();
    } else {
      std::uint64_t id = gen() % (c.ops * 2);
      Vec v = random_vector();
      Status s = index.insert(id, v);
      ASSERT_EQ(s.ok(), !ref.entries.count(id));
      if (s.ok()) {
        ref.entries[id] = v;
        live.push_back(id);
      }
    }
  }
  ASSERT_EQ(index.size(), ref.entries.size());
  for (std::uint64_t id : live) ASSERT_EQ(index.vector_of(id)->size(), c.dim);
  const std::size_t nq = 37;  // more than one group of queries
  Vec queries;
  for (std::size_t q = 0; q < nq; ++q) {
    Vec v = random_vector();
    queries.insert(queries.end(), v.begin(), v.end());
  }
  for (std::size_t k : {1, 10, 100000}) {
    auto batch = index.search_batch(queries.data(), nq, k);
    ASSERT_EQ(batch.size(), nq);
    for (std::size_t q = 0; q < nq; ++q) {
      const float* query = queries.data() + q * c.dim;
      expect_same_list(ref, query, k, index.search(query, c.dim, k));
      expect_same_list(ref, query, k, batch[q]);
      if (HasFatalFailure()) return;
    }
  }
}

std::string random_name(const ::testing::TestParamInfo<std::tuple<const KernelSet*, RandomCase>>& info) {
  const auto& [set, c] = info.param;
  return std::string(set->name) + "_" + std::string(metric_name(c.metric)) + "_d" + std::to_string(c.dim) + "_ops" +
         std::to_string(c.ops);
}

INSTANTIATE_TEST_SUITE_P(EveryPath, IndexTest, ::testing::ValuesIn(paths()),
                         [](const auto& info) { return std::string(info.param->name); });

INSTANTIATE_TEST_SUITE_P(
    EveryPath, IndexRandom,
    ::testing::Combine(::testing::ValuesIn(paths()),
                       ::testing::Values(RandomCase{DistanceMetric::Euclidean, 3, 300},
                                         RandomCase{DistanceMetric::Euclidean, 17, 700},
                                         RandomCase{DistanceMetric::DotProduct, 16, 500},
                                         RandomCase{DistanceMetric::Cosine, 33, 500},
                                         RandomCase{DistanceMetric::Hamming, 20, 400},
                                         // Several batch chunks and several scan pieces.
                                         RandomCase{DistanceMetric::Euclidean, 300, 1200},
                                         RandomCase{DistanceMetric::DotProduct, 2, 7000})),
    random_name);

}  // namespace
}  // namespace velmoradb
