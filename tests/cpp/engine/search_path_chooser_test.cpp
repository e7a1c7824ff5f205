// The choice between the bound codes and the plain scan: each path is
// measured before the cheaper one is kept, the other is tried again at a
// rate that falls with its cost, and an index that chooses answers as one
// that always scans.
#include <chrono>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "engine/codes/search_path_chooser.h"
#include "engine/index/vector_index.h"

namespace velmoradb {
namespace {

using std::chrono::milliseconds;

TEST(SearchPathChooser, MeasuresBothThenKeepsTheCheaperAndProbesTheOther) {
  SearchPathChooser chooser;
  ASSERT_TRUE(chooser.use_codes());  // query 0: the codes, unmeasured
  chooser.record(true, milliseconds(10));
  ASSERT_FALSE(chooser.use_codes());  // query 1: the scan, unmeasured
  chooser.record(false, milliseconds(1));
  // The codes, measured once, are tried every 16th query.
  int codes = 0;
  for (int q = 2; q < 2 + 64; ++q) codes += chooser.use_codes() ? 1 : 0;
  EXPECT_EQ(codes, 4);
  // The scan slows down past the codes: the average follows within a few
  // queries, and the scan becomes the path tried now and then.
  for (int i = 0; i < 12; ++i) chooser.record(false, milliseconds(50));
  int scans = 0;
  for (int q = 0; q < 64; ++q) scans += chooser.use_codes() ? 0 : 1;
  EXPECT_LE(scans, 1);
  EXPECT_GE(64 - scans, 63);
}

// Once measured a few times, the slower path is tried at a spacing of 16
// times the ratio of the averages (at most 16 x 16): its tries cost a
// sixteenth of the cheaper path's time, however much slower it is.
TEST(SearchPathChooser, TriesTheSlowerPathAtASpacingThatGrowsWithItsCost) {
  struct Case {
    int codes_ms, scan_ms;
    std::uint64_t spacing;
  };
  for (const Case& c : {Case{2, 2, 16}, Case{2, 10, 80}, Case{30, 10, 48}, Case{1, 100, 256}}) {
    SearchPathChooser chooser;
    for (int i = 0; i < 3; ++i) {
      chooser.record(true, milliseconds(c.codes_ms));
      chooser.record(false, milliseconds(c.scan_ms));
    }
    const bool codes_cheaper = c.codes_ms <= c.scan_ms;
    std::vector<std::uint64_t> tries;
    for (std::uint64_t q = 1; q <= 4 * c.spacing; ++q)
      if (chooser.use_codes() != codes_cheaper) tries.push_back(q);
    EXPECT_EQ(tries, (std::vector<std::uint64_t>{c.spacing, 2 * c.spacing, 3 * c.spacing, 4 * c.spacing}))
        << c.codes_ms << " ms against " << c.scan_ms << " ms";
  }
}

// One slow first measurement of the codes (the 17 ms of a first touch of
// memory, against 5 ms after) does not keep them off: two probes bring the
// codes back. (At one weight for both directions it took seven probes,
// more than a hundred queries.)
TEST(SearchPathChooser, ASlowFirstMeasurementIsForgottenAfterTwoProbes) {
  SearchPathChooser chooser;
  ASSERT_TRUE(chooser.use_codes());
  chooser.record(true, milliseconds(80));
  ASSERT_FALSE(chooser.use_codes());
  chooser.record(false, milliseconds(15));
  int q = 2;
  int probes = 0;
  for (; q < 200 && probes < 3; ++q) {
    if (!chooser.use_codes()) {
      chooser.record(false, milliseconds(15));
      continue;
    }
    ++probes;
    chooser.record(true, milliseconds(5));
  }
  // After the second probe the codes are the choice for every query but the probes.
  int codes = 0;
  for (int i = 0; i < 32; ++i) codes += chooser.use_codes() ? 1 : 0;
  EXPECT_GE(codes, 30);
  EXPECT_LE(q, 2 + 2 * static_cast<int>(SearchPathChooser::kProbeEvery) + 2);
}

TEST(SearchPathChooser, AnIndexThatChoosesAnswersAsAScan) {
  constexpr std::size_t kDim = 24;
  constexpr std::size_t kCount = 3000;
  std::mt19937 gen(5);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> rows(kCount * kDim);
  for (float& x : rows) x = normal(gen);
  VectorIndex choosing(DistanceMetric::Euclidean, kDim);
  VectorIndex scanning(DistanceMetric::Euclidean, kDim);
  choosing.set_bound_codes_min_size(100);
  choosing.use_bound_codes(true);
  choosing.choose_search_path_by_time(true);
  for (std::size_t i = 0; i < kCount; ++i) {
    Payload p;
    if (i % 2 == 0) p.data["even"] = JsonValue(true);
    ASSERT_TRUE(choosing.insert(i, rows.data() + i * kDim, kDim, p));
    ASSERT_TRUE(scanning.insert(i, rows.data() + i * kDim, kDim, p));
  }
  ASSERT_TRUE(choosing.bound_codes_active());
  auto even = Filter::compile(JsonValue(JsonObject{{"even", JsonValue(true)}}));
  ASSERT_TRUE(even);
  for (int q = 0; q < 40; ++q) {  // both paths, probes included
    std::vector<float> query(kDim);
    for (float& x : query) x = normal(gen);
    for (bool filtered : {false, true}) {
      const auto a = filtered ? choosing.search(query.data(), kDim, 10, choosing.matching(*even))
                              : choosing.search(query, 10);
      const auto b = filtered ? scanning.search(query.data(), kDim, 10, scanning.matching(*even))
                              : scanning.search(query, 10);
      ASSERT_EQ(a.size(), b.size());
      for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(std::memcmp(&a[i].distance, &b[i].distance, sizeof(float)), 0) << q << " " << i;
      }
    }
  }
}

}  // namespace
}  // namespace velmoradb
