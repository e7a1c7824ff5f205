// Float text: the layout at the edges of the positional range, and a property
// check over random bit patterns that each text reads back to its value and
// carries no more digits than needed.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "storage/json/json.h"

namespace velmoradb::json {
namespace {

template <typename F>
std::string float_text(F value) {
  std::string out;
  if constexpr (std::is_same_v<F, float>) {
    append_f32(out, value);
  } else {
    append_f64(out, value);
  }
  return out;
}

struct F32Case {
  float value;
  const char* text;
};

void PrintTo(const F32Case& c, std::ostream* os) { *os << c.text; }

class Float32Text : public testing::TestWithParam<F32Case> {};

TEST_P(Float32Text, IsWrittenExactly) { EXPECT_EQ(float_text(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Layout, Float32Text,
    testing::Values(
        F32Case{0.0f, "0.0"}, F32Case{-0.0f, "-0.0"}, F32Case{1.0f, "1.0"},
        F32Case{-1.0f, "-1.0"}, F32Case{100.0f, "100.0"}, F32Case{2.5f, "2.5"},
        F32Case{12.375f, "12.375"}, F32Case{0.1f, "0.1"}, F32Case{0.00123f, "0.00123"},
        F32Case{123456792.0f, "123456790.0"},
        // E = -6 is the last positional exponent, E = -7 the first scientific one.
        F32Case{1e-6f, "0.000001"}, F32Case{1.5e-6f, "0.0000015"},
        F32Case{9.999999e-6f, "0.000009999999"}, F32Case{9e-7f, "9e-7"}, F32Case{1e-7f, "1e-7"},
        F32Case{1.5e-7f, "1.5e-7"}, F32Case{-1e-7f, "-1e-7"},
        // E = 12 is the last positional exponent, E = 13 the first scientific one.
        F32Case{1e12f, "1000000000000.0"}, F32Case{1.2345e12f, "1234500000000.0"},
        F32Case{9.999999e12f, "9999999000000.0"}, F32Case{1e13f, "1e+13"},
        F32Case{1.5e13f, "1.5e+13"}, F32Case{std::numeric_limits<float>::max(), "3.4028235e+38"},
        F32Case{std::numeric_limits<float>::min(), "1.1754944e-38"},
        F32Case{std::numeric_limits<float>::denorm_min(), "1e-45"},
        F32Case{16777216.0f, "16777216.0"}, F32Case{0.3f, "0.3"},
        F32Case{std::numeric_limits<float>::quiet_NaN(), "null"},
        F32Case{std::numeric_limits<float>::infinity(), "null"},
        F32Case{-std::numeric_limits<float>::infinity(), "null"}));

struct F64Case {
  double value;
  const char* text;
};

void PrintTo(const F64Case& c, std::ostream* os) { *os << c.text; }

class Float64Text : public testing::TestWithParam<F64Case> {};

TEST_P(Float64Text, IsWrittenExactly) { EXPECT_EQ(float_text(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Layout, Float64Text,
    testing::Values(
        F64Case{0.0, "0.0"}, F64Case{-0.0, "-0.0"}, F64Case{1.0, "1.0"}, F64Case{0.1, "0.1"},
        F64Case{0.1 + 0.2, "0.30000000000000004"}, F64Case{-2.5, "-2.5"},
        // E = -5 is the last positional exponent, E = -6 the first scientific one.
        F64Case{1e-5, "0.00001"}, F64Case{1.2345e-5, "0.000012345"},
        F64Case{1.2345678901234568e-5, "0.000012345678901234568"},
        F64Case{0.00009999999999999999, "0.00009999999999999999"},
        F64Case{9.999999999999999e-6, "9.999999999999999e-6"}, F64Case{1e-6, "1e-6"},
        F64Case{1.5e-6, "1.5e-6"},
        // E = 15 is the last positional exponent, E = 16 the first scientific one.
        F64Case{1e15, "1000000000000000.0"}, F64Case{1234567890123456.7, "1234567890123456.8"},
        F64Case{9007199254740992.0, "9007199254740992.0"}, F64Case{1e16, "1e+16"},
        F64Case{1.5e16, "1.5e+16"}, F64Case{12345678901234567890.0, "1.2345678901234567e+19"},
        F64Case{std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        F64Case{std::numeric_limits<double>::denorm_min(), "5e-324"},
        F64Case{-1e-300, "-1e-300"}, F64Case{1e100, "1e+100"},
        F64Case{std::numeric_limits<double>::quiet_NaN(), "null"},
        F64Case{-std::numeric_limits<double>::infinity(), "null"}));

// The significant digits of a text and the decimal exponent E of the first.
struct Digits {
  std::string digits;
  int exponent = 0;
};

Digits significant_digits(const std::string& text) {
  std::string all;
  int point = -1;
  std::size_t i = text[0] == '-' ? 1 : 0;
  for (; i < text.size() && text[i] != 'e'; ++i) {
    if (text[i] == '.') {
      point = static_cast<int>(all.size());
    } else {
      all += text[i];
    }
  }
  int written_exponent = 0;
  if (i < text.size()) std::from_chars(text.data() + i + 1 + (text[i + 1] == '+'), text.data() + text.size(), written_exponent);
  if (point < 0) point = static_cast<int>(all.size());
  const std::size_t first = all.find_first_not_of('0');
  const std::size_t last = all.find_last_not_of('0');
  Digits d;
  d.digits = all.substr(first, last - first + 1);
  d.exponent = point - static_cast<int>(first) - 1 + written_exponent;
  return d;
}

template <typename F>
F parse(const std::string& text) {
  F value{};
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  EXPECT_EQ(result.ec, std::errc()) << text;
  EXPECT_EQ(result.ptr, text.data() + text.size()) << text;
  return value;
}

// No string of one digit fewer reads back to `value`: the two such decimals
// around the value (the nearest one and its neighbours) are tried.
template <typename F>
bool shorter_text_exists(F value, std::size_t digit_count) {
  if (digit_count <= 1) return false;
  char buf[64];
  const auto end = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific,
                                 static_cast<int>(digit_count) - 2)
                       .ptr;
  const std::string rounded(buf, end);
  const Digits d = significant_digits(rounded);
  std::string mantissa_digits;
  for (const char c : rounded.substr(0, rounded.find('e'))) {
    if (c != '.') mantissa_digits += c;
  }
  const std::uint64_t mantissa = std::stoull(mantissa_digits);
  const int scale = d.exponent - static_cast<int>(digit_count - 2);
  for (const std::uint64_t candidate : {mantissa - 1, mantissa, mantissa + 1}) {
    if (candidate == 0) continue;
    if (parse<F>(std::to_string(candidate) + "e" + std::to_string(scale)) == value) return true;
  }
  return false;
}

template <typename F, typename Bits>
void check_random_floats(int count, int min_positional, int max_positional, std::size_t max_digits) {
  std::mt19937_64 random(20240607);
  int checked = 0;
  while (checked < count) {
    const F value = std::bit_cast<F>(static_cast<Bits>(random()));
    if (!std::isfinite(value) || value == 0) continue;
    ++checked;
    const std::string text = float_text(value);
    const F magnitude = std::fabs(value);
    ASSERT_EQ(std::bit_cast<Bits>(parse<F>(text)), std::bit_cast<Bits>(value)) << text;
    const Digits d = significant_digits(text);
    ASSERT_LE(d.digits.size(), max_digits) << text;
    const bool positional = d.exponent >= min_positional && d.exponent <= max_positional;
    ASSERT_EQ(text.find('e') == std::string::npos, positional) << text;
    if (positional) {
      ASSERT_NE(text.find('.'), std::string::npos) << text;
    }
    ASSERT_FALSE(shorter_text_exists(magnitude, d.digits.size())) << text;
  }
}

TEST(FloatTextProperty, RandomF32ReadsBackAndIsShortest) {
  check_random_floats<float, std::uint32_t>(1'000'000, -6, 12, 9);
}

TEST(FloatTextProperty, RandomF64ReadsBackAndIsShortest) {
  check_random_floats<double, std::uint64_t>(1'000'000, -5, 15, 17);
}

}  // namespace
}  // namespace velmoradb::json
