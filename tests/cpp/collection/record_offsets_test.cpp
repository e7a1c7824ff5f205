#include "collection/record_offsets.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

namespace velmoradb {
namespace {

class RecordOffsetsRandom : public ::testing::TestWithParam<std::uint64_t> {};

// Puts (new ids and replacements), erases (present and absent) and lookups
// against std::unordered_map: an erase moves the last entry into the hole,
// and its offset must move along.
TEST_P(RecordOffsetsRandom, AgreesWithUnorderedMap) {
  const std::uint64_t range = GetParam();
  std::mt19937_64 gen(range);
  RecordOffsets offsets;
  std::unordered_map<std::uint64_t, std::uint64_t> mirror;
  for (int step = 0; step < 20000; ++step) {
    const std::uint64_t id = gen() % range;
    if (gen() % 3 == 0) {
      offsets.erase(id);
      mirror.erase(id);
    } else {
      const std::uint64_t offset = gen();
      std::optional<std::uint64_t> replaced;
      if (auto it = mirror.find(id); it != mirror.end()) replaced = it->second;
      ASSERT_EQ(offsets.put(id, offset), replaced);
      mirror[id] = offset;
    }
    ASSERT_EQ(offsets.size(), mirror.size());
    if (step % 499 == 0) {
      for (std::uint64_t probe = 0; probe < range; ++probe) {
        auto it = mirror.find(probe);
        ASSERT_EQ(offsets.find(probe),
                  it == mirror.end() ? std::nullopt : std::optional<std::uint64_t>(it->second));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Ranges, RecordOffsetsRandom, ::testing::Values(50, 3000));

}  // namespace
}  // namespace velmoradb
