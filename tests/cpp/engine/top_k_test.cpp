#include "engine/index/top_k.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

namespace velmoradb {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// The list a full stable sort by "less than" (NaN never less, nothing less
// than NaN, NaN after numbers) and a cut to k gives.
std::vector<float> sorted_cut(const std::vector<float>& d, std::size_t k) {
  std::vector<float> numbers, nans;
  for (float x : d) (std::isnan(x) ? nans : numbers).push_back(x);
  std::stable_sort(numbers.begin(), numbers.end(), [](float a, float b) { return a < b; });
  numbers.insert(numbers.end(), nans.begin(), nans.end());
  if (numbers.size() > k) numbers.resize(k);
  return numbers;
}

bool same_value(float a, float b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

// `picked` is the reference list up to the order of equal distances: the
// same distances in the same order, each slot distinct and holding the
// distance it is listed with.
void expect_selection(const std::vector<float>& d, std::size_t k, const std::vector<Candidate>& picked) {
  std::vector<float> want = sorted_cut(d, k);
  ASSERT_EQ(picked.size(), want.size()) << "k=" << k << " n=" << d.size();
  std::set<std::uint32_t> slots;
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_TRUE(same_value(want[i], picked[i].distance)) << "position " << i;
    ASSERT_LT(picked[i].slot, d.size());
    std::uint32_t a, b;
    float listed = picked[i].distance, stored = d[picked[i].slot];
    std::memcpy(&a, &listed, 4);
    std::memcpy(&b, &stored, 4);
    EXPECT_EQ(a, b) << "slot " << picked[i].slot << " listed with another distance";
    EXPECT_TRUE(slots.insert(picked[i].slot).second) << "slot " << picked[i].slot << " twice";
  }
}

// TopK fed in pieces of random length, as a chunked scan feeds it.
std::vector<Candidate> run_top_k(const std::vector<float>& d, std::size_t k, std::mt19937& gen) {
  TopK top(k);
  std::size_t i = 0;
  while (i < d.size()) {
    std::size_t piece = std::min<std::size_t>(d.size() - i, std::uniform_int_distribution<std::size_t>(1, 70)(gen));
    top.push(d.data() + i, static_cast<std::uint32_t>(i), piece);
    i += piece;
  }
  return top.take();
}

// push_selected over blocks of 16 with random masks (all, none, sparse,
// dense) selects what the plain selection over the chosen distances does.
void expect_selected_blocks(const std::vector<float>& d, std::size_t k, std::mt19937& gen) {
  TopK top(k);
  std::vector<float> chosen_values;
  std::vector<std::uint32_t> chosen_slots;
  const std::uint32_t masks[] = {0xFFFFu, 0u, 0x0401u, 0x7FFEu};
  for (std::size_t b = 0; b + 16 <= d.size(); b += 16) {
    std::uint32_t bits = masks[std::uniform_int_distribution<int>(0, 4)(gen) % 4];
    if (std::uniform_int_distribution<int>(0, 4)(gen) == 4) bits = gen() & 0xFFFFu;
    top.push_selected(d.data() + b, static_cast<std::uint32_t>(b), bits);
    for (std::uint32_t i = 0; i < 16; ++i) {
      if (bits >> i & 1u) {
        chosen_values.push_back(d[b + i]);
        chosen_slots.push_back(static_cast<std::uint32_t>(b + i));
      }
    }
  }
  std::vector<Candidate> picked = top.take();
  for (Candidate& c : picked) {
    auto at = std::find(chosen_slots.begin(), chosen_slots.end(), c.slot);
    ASSERT_NE(at, chosen_slots.end()) << "slot " << c.slot << " was not selected";
    c.slot = static_cast<std::uint32_t>(at - chosen_slots.begin());
  }
  expect_selection(chosen_values, k, picked);
}

struct Mix {
  const char* name;
  int nan_percent;
  int distinct;  // values drawn from this many integers (ties); 0 for continuous
};

class TopKRandom : public ::testing::TestWithParam<Mix> {};

TEST_P(TopKRandom, EqualsFullSortAndCut) {
  const Mix mix = GetParam();
  std::mt19937 gen(5);
  std::uniform_int_distribution<int> percent(0, 99);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (std::size_t n : {0, 1, 2, 5, 16, 17, 100, 1000, 5000}) {
    std::vector<float> d(n);
    for (float& x : d) {
      if (percent(gen) < mix.nan_percent) x = kNaN;
      else if (mix.distinct) x = static_cast<float>(std::uniform_int_distribution<int>(0, mix.distinct - 1)(gen));
      else x = normal(gen);
    }
    for (std::size_t k : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{10}, n / 2, n ? n - 1 : 0, n,
                          n + 7}) {
      expect_selection(d, k, select_top_k(d.data(), n, k));
      expect_selection(d, k, run_top_k(d, k, gen));
      expect_selected_blocks(d, k, gen);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Mixes, TopKRandom,
                         ::testing::Values(Mix{"Numbers", 0, 0}, Mix{"Ties", 0, 4}, Mix{"SomeNaN", 10, 0},
                                           Mix{"MostlyNaN", 90, 0}, Mix{"AllNaN", 100, 0}, Mix{"NaNAndTies", 30, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TopK, NaNComesAfterEveryNumberAndFillsTheList) {
  std::vector<float> d = {kNaN, 3.0f, kNaN, kInf, -kInf, kNaN};
  std::mt19937 gen(1);
  for (auto picked : {select_top_k(d.data(), d.size(), 5), run_top_k(d, 5, gen)}) {
    ASSERT_EQ(picked.size(), 5u);
    EXPECT_EQ(picked[0].distance, -kInf);
    EXPECT_EQ(picked[1].distance, 3.0f);
    EXPECT_EQ(picked[2].distance, kInf);
    EXPECT_TRUE(std::isnan(picked[3].distance));
    EXPECT_TRUE(std::isnan(picked[4].distance));
  }
}

TEST(TopK, ANumberDisplacesANaNOnceTheListIsFull) {
  // The first k are NaN, then numbers arrive: the numbers must win.
  std::vector<float> d = {kNaN, kNaN, 2.0f, 1.0f};
  std::mt19937 gen(1);
  auto picked = run_top_k(d, 2, gen);
  ASSERT_EQ(picked.size(), 2u);
  EXPECT_EQ(picked[0].distance, 1.0f);
  EXPECT_EQ(picked[1].distance, 2.0f);
}

TEST(TopK, EqualDistancesAreAllCandidates) {
  std::vector<float> d(40, 0.25f);
  d[7] = -0.0f;  // -0.0 and +0.0 are equal distances
  d[9] = 0.0f;
  auto picked = select_top_k(d.data(), d.size(), 3);
  ASSERT_EQ(picked.size(), 3u);
  EXPECT_EQ(std::set<std::uint32_t>({picked[0].slot, picked[1].slot}), std::set<std::uint32_t>({7, 9}));
  EXPECT_EQ(picked[2].distance, 0.25f);
}

}  // namespace
}  // namespace velmoradb
