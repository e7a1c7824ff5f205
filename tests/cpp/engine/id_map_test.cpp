#include "engine/index/id_map.h"

#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

namespace velmoradb {
namespace {

// The map mirrored by std::unordered_map<id, slot> and a slot -> id array,
// with the same "last slot moves into the hole" rule.
class Mirror {
 public:
  void append(std::uint64_t id, std::uint32_t slot) {
    ASSERT_EQ(slot, ids_.size());
    slots_[id] = slot;
    ids_.push_back(id);
  }
  void remove(std::uint64_t id, std::uint32_t moved_reported) {
    std::uint32_t slot = slots_.at(id);
    slots_.erase(id);
    std::uint32_t last = static_cast<std::uint32_t>(ids_.size() - 1);
    ASSERT_EQ(moved_reported, slot == last ? IdSlotMap::kNone : last);
    if (slot != last) {
      ids_[slot] = ids_[last];
      slots_[ids_[slot]] = slot;
    }
    ids_.pop_back();
  }
  void expect_equal(const IdSlotMap& map) const {
    ASSERT_EQ(map.size(), ids_.size());
    for (std::uint32_t s = 0; s < ids_.size(); ++s) ASSERT_EQ(map.id_at(s), ids_[s]);
    for (const auto& [id, slot] : slots_) ASSERT_EQ(map.find(id), slot);
  }
  const std::vector<std::uint64_t>& ids() const { return ids_; }
  bool has(std::uint64_t id) const { return slots_.count(id) != 0; }
  std::uint32_t slot(std::uint64_t id) const { return slots_.at(id); }

 private:
  std::unordered_map<std::uint64_t, std::uint32_t> slots_;
  std::vector<std::uint64_t> ids_;
};

class IdMapRandom : public ::testing::TestWithParam<std::uint64_t> {};

// Random inserts, lookups-or-inserts and removes over a small id range (so
// removes hit and probe runs wrap and shift) and over the whole 64-bit range.
TEST_P(IdMapRandom, AgreesWithUnorderedMap) {
  const std::uint64_t range = GetParam();
  std::mt19937_64 gen(range);
  IdSlotMap map;
  Mirror mirror;
  for (int step = 0; step < 20000; ++step) {
    std::uint64_t id = range ? gen() % range : gen();
    bool remove = !mirror.ids().empty() && gen() % 3 == 0;
    if (remove) {
      std::uint64_t victim = mirror.ids()[gen() % mirror.ids().size()];
      std::uint32_t slot = map.find(victim);
      ASSERT_NE(slot, IdSlotMap::kNone);
      std::uint32_t moved = map.remove_slot(slot);
      mirror.remove(victim, moved);
    } else if (gen() % 2 == 0) {
      IdSlotMap::Placed placed = map.find_or_append(id);
      ASSERT_EQ(placed.appended, !mirror.has(id));
      if (placed.appended) {
        mirror.append(id, placed.slot);
      } else {
        ASSERT_EQ(placed.slot, mirror.slot(id));
      }
    } else if (!mirror.has(id)) {
      ASSERT_EQ(map.find(id), IdSlotMap::kNone);
      ASSERT_EQ(map.append_if_absent(id), mirror.ids().size());
      mirror.append(id, static_cast<std::uint32_t>(mirror.ids().size()));
    } else {
      ASSERT_EQ(map.append_if_absent(id), IdSlotMap::kNone);
    }
    if (step % 997 == 0) mirror.expect_equal(map);
    if (HasFatalFailure()) return;
  }
  mirror.expect_equal(map);
  // Absent ids stay absent.
  for (int i = 0; i < 1000; ++i) {
    std::uint64_t id = gen();
    if (!mirror.has(id)) {
      EXPECT_EQ(map.find(id), IdSlotMap::kNone);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Ranges, IdMapRandom, ::testing::Values(64, 5000, 0));

TEST(IdMap, ExtremeIdsAreOrdinary) {
  IdSlotMap map;
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(map.append(0), 0u);
  EXPECT_EQ(map.append(max), 1u);
  EXPECT_EQ(map.find(0), 0u);
  EXPECT_EQ(map.find(max), 1u);
  EXPECT_EQ(map.remove_slot(0), 1u);  // the last slot moved into slot 0
  EXPECT_EQ(map.find(max), 0u);
  EXPECT_EQ(map.find(0), IdSlotMap::kNone);
}

// A table of this size lives on a mapping of its own (huge_pages.h): it
// grows, shrinks by removals and is moved like any other.
TEST(IdMap, LargeTableKeepsEveryEntry) {
  IdSlotMap map;
  const std::uint64_t n = 400000;
  for (std::uint64_t i = 0; i < n; ++i) ASSERT_EQ(map.append(i * 0x9e3779b97f4a7c15ULL), i);
  for (std::uint64_t i = 0; i < n; i += 3) map.remove_slot(map.find(i * 0x9e3779b97f4a7c15ULL));
  IdSlotMap moved = std::move(map);
  for (std::uint64_t i = 0; i < n; ++i) {
    std::uint32_t slot = moved.find(i * 0x9e3779b97f4a7c15ULL);
    if (i % 3 == 0) {
      ASSERT_EQ(slot, IdSlotMap::kNone) << i;
    } else {
      ASSERT_NE(slot, IdSlotMap::kNone) << i;
      ASSERT_EQ(moved.id_at(slot), i * 0x9e3779b97f4a7c15ULL);
    }
  }
  EXPECT_EQ(moved.size(), n - (n + 2) / 3);
}

TEST(IdMap, ReserveKeepsEntries) {
  IdSlotMap map;
  for (std::uint64_t id = 0; id < 100; ++id) map.append(id * 7);
  map.reserve(100000);
  for (std::uint64_t id = 0; id < 100; ++id) EXPECT_EQ(map.find(id * 7), id);
  EXPECT_EQ(map.size(), 100u);
}

}  // namespace
}  // namespace velmoradb
