// The comma-separated float list, on every routine this CPU can run, against
// format_f32 one value at a time: tails of every length, every lane of a group
// holding a value the wide routine hands back to format_f32, and a sweep over
// all exponents of both signs.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "storage/json/json_float.h"

namespace velmoradb::json {
namespace {

std::string one_by_one(const std::vector<float>& values) {
  std::string out;
  char text[kMaxFloatText];
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) out += ',';
    out.append(text, format_f32(text, values[i]));
  }
  return out;
}

std::string listed(F32ListWriter writer, const std::vector<float>& values) {
  std::vector<char> buf(18 * values.size() + kMaxFloatText);
  char* end = writer(buf.data(), values.data(), values.size());
  return std::string(buf.data(), end);
}

struct Writer {
  const char* name;
  F32ListWriter writer;
};

std::vector<Writer> writers() {
  std::vector<Writer> all = {{"plain", &write_f32_list_plain}, {"chosen", &write_f32_list}};
  if (F32ListWriter wide = f32_list_writer_avx512()) all.push_back({"avx512", wide});
  return all;
}

class F32List : public testing::TestWithParam<Writer> {};

TEST_P(F32List, EveryLengthUpToFiveGroups) {
  std::mt19937 rng(7);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (std::size_t n = 0; n <= 40; ++n) {
    std::vector<float> values(n);
    for (float& v : values) v = normal(rng);
    EXPECT_EQ(listed(GetParam().writer, values), one_by_one(values)) << n;
  }
}

TEST_P(F32List, UnusualValueInEveryLane) {
  const float unusual[] = {0.0f,
                           -0.0f,
                           std::numeric_limits<float>::quiet_NaN(),
                           -std::numeric_limits<float>::infinity(),
                           std::numeric_limits<float>::denorm_min(),
                           -1e-40f,
                           0.5f,   // smallest significand of its binade
                           -4.0f,  // and a whole number
                           100.0f,
                           1.5e-7f,  // scientific
                           -3.25e13f,
                           123456.0f,
                           std::numeric_limits<float>::max()};
  std::mt19937 rng(11);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (float odd : unusual) {
    for (std::size_t lane = 0; lane < 8; ++lane) {
      std::vector<float> values(24);
      for (float& v : values) v = normal(rng);
      values[8 + lane] = odd;
      EXPECT_EQ(listed(GetParam().writer, values), one_by_one(values)) << odd << " in lane " << lane;
    }
  }
}

TEST_P(F32List, SweepOfBothSigns) {
  std::vector<float> values;
  for (std::uint32_t bits = 0; bits < 0x7f800000u; bits += 2039) {
    values.push_back(std::bit_cast<float>(bits | (values.size() % 3 == 0 ? 0x80000000u : 0u)));
  }
  EXPECT_EQ(listed(GetParam().writer, values), one_by_one(values));
}

INSTANTIATE_TEST_SUITE_P(Writers, F32List, testing::ValuesIn(writers()),
                         [](const testing::TestParamInfo<Writer>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace velmoradb::json
