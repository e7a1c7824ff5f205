// A batch split over the engine's threads gives the one-thread lists, and
// the pool runs every index of every job exactly once, with callers at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "engine/support/thread_pool.h"
#include "engine/index/vector_index.h"

namespace velmoradb {
namespace {

std::uint32_t bits_of(float f) {
  std::uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

void expect_same_lists(const std::vector<std::vector<SearchResult>>& want,
                       const std::vector<std::vector<SearchResult>>& got) {
  ASSERT_EQ(want.size(), got.size());
  for (std::size_t q = 0; q < want.size(); ++q) {
    ASSERT_EQ(want[q].size(), got[q].size()) << "query " << q;
    for (std::size_t i = 0; i < want[q].size(); ++i) {
      EXPECT_EQ(want[q][i].id, got[q][i].id) << "query " << q << " place " << i;
      EXPECT_EQ(bits_of(want[q][i].distance), bits_of(got[q][i].distance)) << "query " << q << " place " << i;
    }
  }
}

class ParallelBatch : public ::testing::TestWithParam<DistanceMetric> {};

TEST_P(ParallelBatch, EqualsTheOneThreadBatch) {
  constexpr std::size_t kDim = 24;
  std::mt19937 gen(11);
  // Small integers: many equal distances, so a different order of ties
  // would show.
  std::uniform_int_distribution<int> small(-3, 3);
  VectorIndex index(GetParam(), kDim);
  const std::size_t n = 777;
  for (std::uint64_t id = 0; id < n; ++id) {
    std::vector<float> v(kDim);
    for (float& x : v) x = static_cast<float>(small(gen));
    ASSERT_TRUE(index.insert(id * 3 + 1, v));
  }
  SlotBitmap some(n);
  for (std::size_t s = 0; s < n; s += 1 + s % 5) some.set(s);
  for (std::size_t nq : {1, 2, 7, 100}) {
    std::vector<float> queries(nq * kDim);
    for (float& x : queries) x = static_cast<float>(small(gen));
    for (std::size_t k : {std::size_t{1}, std::size_t{10}, n + 5}) {
      auto plain = index.search_batch(queries.data(), nq, k);
      auto filtered = index.search_batch(queries.data(), nq, k, some);
      for (std::size_t threads : {1, 2, 3, 64}) {
        SCOPED_TRACE(::testing::Message() << "nq=" << nq << " k=" << k << " threads=" << threads);
        expect_same_lists(plain, index.search_batch_parallel(queries.data(), nq, k, nullptr, threads));
        expect_same_lists(filtered, index.search_batch_parallel(queries.data(), nq, k, &some, threads));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Metrics, ParallelBatch,
                         ::testing::Values(DistanceMetric::Euclidean, DistanceMetric::Cosine, DistanceMetric::DotProduct));

TEST(ThreadPool, EveryIndexRunsOnceWithCallersAtOnce) {
  ThreadPool pool(3);
  constexpr std::size_t kCallers = 4, kCount = 500;
  std::vector<std::vector<std::atomic<int>>> runs(kCallers);
  for (auto& r : runs) r = std::vector<std::atomic<int>>(kCount);
  std::vector<std::thread> callers;
  for (std::size_t c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      for (std::size_t parts : {1, 2, 4, 10}) {
        pool.run(kCount, parts, [&](std::size_t i) { runs[c][i].fetch_add(1); });
      }
    });
  }
  for (auto& t : callers) t.join();
  for (auto& r : runs) {
    for (auto& n : r) ASSERT_EQ(n.load(), 4);
  }
  int zero_calls = 0;
  pool.run(0, 4, [&](std::size_t) { ++zero_calls; });
  EXPECT_EQ(zero_calls, 0);
}

}  // namespace
}  // namespace velmoradb
