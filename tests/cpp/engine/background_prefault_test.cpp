// The prefault thread must never change what the writer puts in the memory,
// wherever the two meet, and what finish() hands back must read as zero
// again while everything before the kept end stays.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/support/background_prefault.h"
#include "engine/index/vector_arena.h"

namespace velmoradb {
namespace {

constexpr std::size_t kFloats = std::size_t{24} << 20 >> 2;  // 24 MiB: several steps and huge pages

float pattern(std::size_t i) { return static_cast<float>(i % 1000003) + 0.5f; }

class BackgroundPrefaultTest : public ::testing::TestWithParam<std::size_t> {};

// The writer fills the arena from the front while the thread faults the
// same range in; then the memory past `written` floats is handed back.
TEST_P(BackgroundPrefaultTest, WritesSurviveAndTheRestReadsZero) {
  const std::size_t written = GetParam();
  VectorArena arena;
  arena.reserve(kFloats);
  float* data = arena.data();
  {
    BackgroundPrefault prefault({reinterpret_cast<std::byte*>(data), kFloats * sizeof(float)});
    for (std::size_t i = 0; i < written; ++i) data[i] = pattern(i);
    prefault.finish(data + written);
  }
  for (std::size_t i = 0; i < written; ++i) ASSERT_EQ(data[i], pattern(i)) << i;
  for (std::size_t i = written; i < kFloats; ++i) ASSERT_EQ(data[i], 0.0f) << i;
  // Still writable after the hand-back.
  data[kFloats - 1] = 1.0f;
  EXPECT_EQ(data[kFloats - 1], 1.0f);
}

INSTANTIATE_TEST_SUITE_P(Writes, BackgroundPrefaultTest,
                         ::testing::Values(std::size_t{0}, std::size_t{1}, std::size_t{(2u << 20) / 4 - 1},
                                           std::size_t{(2u << 20) / 4}, kFloats / 2 + 3, kFloats));

// Destroyed without finish(): the thread stops where it is and nothing is
// handed back.
TEST(BackgroundPrefault, StopsWithoutFinish) {
  VectorArena arena;
  arena.reserve(kFloats);
  { BackgroundPrefault prefault({reinterpret_cast<std::byte*>(arena.data()), kFloats * sizeof(float)}); }
  arena.data()[7] = 2.0f;
  EXPECT_EQ(arena.data()[7], 2.0f);
  EXPECT_EQ(arena.data()[kFloats - 1], 0.0f);
}

// The writer's memory moved (its storage grew elsewhere): the old range is
// not handed back, as it may belong to someone else by then.
TEST(BackgroundPrefault, KeepsEverythingWhenTheEndLiesOutside) {
  VectorArena arena;
  arena.reserve(kFloats);
  float* data = arena.data();
  for (std::size_t i = 0; i < kFloats; ++i) data[i] = pattern(i);
  std::vector<float> elsewhere(4);
  BackgroundPrefault prefault({reinterpret_cast<std::byte*>(data), kFloats * sizeof(float)});
  prefault.finish(elsewhere.data());
  for (std::size_t i = 0; i < kFloats; ++i) ASSERT_EQ(data[i], pattern(i)) << i;
}

TEST(BackgroundPrefault, EmptyRangeDoesNothing) {
  BackgroundPrefault prefault({});
  prefault.finish(nullptr);
}

}  // namespace
}  // namespace velmoradb
