#include "engine/index/slot_set.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

namespace velmoradb {
namespace {

void expect_same(const SlotSet& set, const std::set<std::uint32_t>& mirror, std::size_t bits) {
  ASSERT_EQ(set.size(), mirror.size());
  std::vector<std::uint32_t> listed;
  set.for_each([&](std::uint32_t s) { listed.push_back(s); });
  ASSERT_EQ(listed, std::vector<std::uint32_t>(mirror.begin(), mirror.end()));
  bits = std::min<std::size_t>(bits, std::size_t{1} << 22);  // 512 KiB at most
  SlotBitmap bitmap(bits);
  set.add_to(bitmap);
  std::size_t below = 0;
  for (std::uint32_t s : mirror) below += s < bits;
  ASSERT_EQ(bitmap.count(), below);
  for (std::uint32_t s : mirror) ASSERT_EQ(bitmap.test(s), s < bits);
}

struct Shape {
  std::uint32_t range;   // slots drawn below this
  int steps;
  int insert_percent;
};

class SlotSetRandom : public ::testing::TestWithParam<Shape> {};

// Random inserts and erases against std::set; the shapes walk a set through
// its forms: small lists, sparse chunks, dense (bitmap) chunks and back.
TEST_P(SlotSetRandom, AgreesWithStdSet) {
  const Shape shape = GetParam();
  std::mt19937 gen(shape.range);
  SlotSet set;
  std::set<std::uint32_t> mirror;
  for (int step = 0; step < shape.steps; ++step) {
    const std::uint32_t slot = gen() % shape.range;
    if (static_cast<int>(gen() % 100) < shape.insert_percent) {
      ASSERT_EQ(set.insert(slot), mirror.insert(slot).second);
    } else {
      ASSERT_EQ(set.erase(slot), mirror.erase(slot) == 1);
    }
    ASSERT_EQ(set.contains(slot), mirror.count(slot) == 1);
    if (step % 4096 == 0) expect_same(set, mirror, shape.range);
  }
  expect_same(set, mirror, shape.range);
  expect_same(set, mirror, shape.range / 3 + 1);  // a shorter bitmap drops the rest
  // Drain it: every form shrinks back.
  for (std::uint32_t slot : std::vector<std::uint32_t>(mirror.begin(), mirror.end())) {
    ASSERT_TRUE(set.erase(slot));
  }
  EXPECT_TRUE(set.empty());
  EXPECT_EQ(set.memory_bytes(), sizeof(SlotSet));
}

INSTANTIATE_TEST_SUITE_P(Shapes, SlotSetRandom, ::testing::Values(
    Shape{100, 2000, 60},           // stays small, crosses the small bound back and forth
    Shape{200000, 20000, 70},       // sparse chunks
    Shape{140000, 200000, 65},      // dense chunks, converting back on the way down
    Shape{4000000000u, 5000, 60})); // slots near the top of the range

// Slots mostly arrive in ascending order (a load, inserts of new records),
// which takes a shorter way in: mixed with repeats of the largest, erases
// of it and slots below it, through sparse and dense chunks.
TEST(SlotSet, AscendingInsertsWithRepeatsAndStragglersAgreeWithStdSet) {
  std::mt19937 gen(7);
  SlotSet set;
  std::set<std::uint32_t> mirror;
  std::uint32_t next = 0;
  for (int step = 0; step < 400000; ++step) {
    const unsigned roll = gen() % 100;
    std::uint32_t slot = next;
    if (roll < 70) {
      next += 1 + (step / 100000 == 1 ? gen() % 40 : 0);  // dense, then sparse, then dense
    } else if (roll < 80) {
      slot = next == 0 ? 0 : next - 1;  // the largest again
    } else if (roll < 90) {
      slot = next == 0 ? 0 : gen() % next;  // a straggler below
    } else {
      slot = mirror.empty() ? 0 : *mirror.rbegin();
      ASSERT_EQ(set.erase(slot), mirror.erase(slot) == 1);
      ASSERT_FALSE(set.contains(slot));
      continue;
    }
    ASSERT_EQ(set.insert(slot), mirror.insert(slot).second) << step;
    ASSERT_TRUE(set.contains(slot));
    ASSERT_FALSE(set.contains(next + 1));
  }
  expect_same(set, mirror, next + 1);
}

TEST(SlotSet, DenseChunkCostsOneBitPerSlot) {
  SlotSet set;
  for (std::uint32_t s = 0; s < 65536; ++s) set.insert(s);
  EXPECT_LT(set.memory_bytes(), 65536 / 8 + 256);
}

TEST(SlotBitmap, SetOperationsKeepTheTailClear) {
  SlotBitmap a(70), b(70);
  for (std::size_t s : {0u, 3u, 64u, 69u}) a.set(s);
  for (std::size_t s : {3u, 65u, 69u}) b.set(s);
  a.set(70);  // beyond the size: ignored
  SlotBitmap both = a, either = a, only_a = a;
  both.intersect(b);
  either.unite(b);
  only_a.subtract(b);
  EXPECT_EQ(both.count(), 2u);
  EXPECT_EQ(either.count(), 5u);
  EXPECT_EQ(only_a.count(), 2u);
  const std::uint64_t ones[2] = {~std::uint64_t{0}, ~std::uint64_t{0}};
  SlotBitmap full(70);
  full.set_words(0, ones, 2);
  EXPECT_EQ(full.count(), 70u);
  std::vector<std::size_t> listed;
  only_a.for_each([&](std::size_t s) { listed.push_back(s); });
  EXPECT_EQ(listed, (std::vector<std::size_t>{0, 64}));
}

// next_marked_block against a look at every block, over sizes that end
// inside a block and inside a word, and bitmaps from empty to full.
TEST(SlotBitmap, NextMarkedBlockFindsTheFirstBlockWithASetBit) {
  std::mt19937 gen(9);
  for (std::size_t size : {0u, 1u, 16u, 70u, 1000u, 4099u}) {
    const std::size_t blocks = (size + 15) / 16;
    for (unsigned per_mille : {0u, 2u, 50u, 1000u}) {
      SlotBitmap bits(size);
      for (std::size_t s = 0; s < size; ++s)
        if (gen() % 1000 < per_mille) bits.set(s);
      for (std::size_t from = 0; from <= blocks + 2; ++from) {
        std::size_t expected = blocks;
        for (std::size_t b = from; b < blocks; ++b) {
          if (bits.block_bits(b) != 0) {
            expected = b;
            break;
          }
        }
        ASSERT_EQ(bits.next_marked_block(from), expected) << "size " << size << " from " << from;
      }
    }
  }
}

}  // namespace
}  // namespace velmoradb
