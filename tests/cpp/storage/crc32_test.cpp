#include "storage/crc32.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace velmoradb {
namespace {

std::uint32_t crc_of(const std::string& s) {
  return crc32(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

struct KnownVector {
  std::string input;
  std::uint32_t crc;
};

class Crc32Known : public ::testing::TestWithParam<KnownVector> {};

TEST_P(Crc32Known, MatchesPublishedValue) {
  const auto& [input, expected] = GetParam();
  EXPECT_EQ(crc_of(input), expected);
  EXPECT_EQ(crc32_detail::extend_table(0, reinterpret_cast<const std::uint8_t*>(input.data()),
                                       input.size()),
            expected);
}

// Published CRC-32/ISO-HDLC values, worked out independently of any library.
INSTANTIATE_TEST_SUITE_P(
    Vectors, Crc32Known,
    ::testing::Values(KnownVector{"123456789", 0xCBF43926u}, KnownVector{"", 0x00000000u},
                      KnownVector{"a", 0xE8B7BE43u}, KnownVector{"abc", 0x352441C2u},
                      KnownVector{"The quick brown fox jumps over the lazy dog", 0x414FA339u},
                      KnownVector{std::string(32, '\0'), 0x190A55ADu},
                      KnownVector{std::string(32, '\xFF'), 0xFF6CAB0Bu},
                      KnownVector{R"({"kind":"Insert","id":1,"vector":[1.0,2.5],"payload":{"data":{}}})",
                                  0x3FCAF818u}));

// The carry-less path (used from 64 bytes up when the CPU has it) and the
// table path agree on every length, alignment and starting register.
TEST(Crc32, DispatchedPathAgreesWithTables) {
  std::mt19937 rng(7);
  std::vector<std::uint8_t> bytes(5000);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  for (std::size_t n : {0u, 1u, 15u, 16u, 63u, 64u, 65u, 79u, 80u, 127u, 128u, 129u, 1000u, 4093u}) {
    for (std::size_t offset = 0; offset < 4; ++offset) {
      for (std::uint32_t start : {0u, 0xFFFFFFFFu, 0x12345678u}) {
        EXPECT_EQ(crc32_extend(start, bytes.data() + offset, n),
                  crc32_detail::extend_table(start, bytes.data() + offset, n))
            << "n=" << n << " offset=" << offset;
      }
    }
  }
}

TEST(Crc32, ExtendingEqualsOnePass) {
  std::string text(3000, 'x');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 31);
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  for (std::size_t cut : {0u, 1u, 17u, 64u, 1500u, 3000u}) {
    EXPECT_EQ(crc32_extend(crc32(p, cut), p + cut, text.size() - cut), crc_of(text));
  }
}

}  // namespace
}  // namespace velmoradb
