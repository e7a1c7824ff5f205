// The shortest float32 digits against std::to_chars, which chooses the same
// digits by the same rules. tools/check_shortest_f32.cpp covers every float;
// this runs the families where a slip would show first, and a sparse sweep.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>

#include "storage/json/json_float.h"
#include "storage/json/shortest_f32.h"

namespace velmoradb::json {
namespace {

std::string ours(float value) {
  const DecimalF32 d = shortest_decimal_f32(value);
  return std::to_string(d.significand) + "e" + std::to_string(d.exponent);
}

std::string reference(float value) {
  char text[32];
  const char* end = std::to_chars(text, text + sizeof text, value,
                                  std::chars_format::scientific).ptr;
  std::uint32_t significand = 0;
  int digits = 0;
  const char* p = text;
  for (; *p != 'e'; ++p) {
    if (*p == '.') continue;
    significand = significand * 10 + static_cast<std::uint32_t>(*p - '0');
    ++digits;
  }
  const bool negative = *++p == '-';
  int e = 0;
  for (++p; p < end; ++p) e = e * 10 + (*p - '0');
  return std::to_string(significand) + "e" + std::to_string((negative ? -e : e) - (digits - 1));
}

// Counts the floats of a family that disagree, printing the first few.
template <typename Each>
int mismatches(Each&& each) {
  int bad = 0;
  each([&](std::uint32_t bits) {
    const float v = std::bit_cast<float>(bits);
    if (!(v > 0) || !std::isfinite(v)) return;
    if (ours(v) != reference(v) && ++bad <= 5) {
      ADD_FAILURE() << std::hex << "0x" << bits << ": " << ours(v) << " vs " << reference(v);
    }
  });
  return bad;
}

TEST(ShortestF32, EdgesOfEveryBinade) {
  // The smallest significands (the interval below is narrower), the largest,
  // and their neighbours, for every exponent.
  EXPECT_EQ(mismatches([](auto check) {
              for (std::uint32_t e = 0; e < 255; ++e) {
                for (std::uint32_t f : {0u, 1u, 2u, 3u, 0x7ffffdu, 0x7ffffeu, 0x7fffffu}) {
                  check(e << 23 | f);
                }
              }
            }),
            0);
}

TEST(ShortestF32, SmallSubnormalsAndIntegers) {
  // Subnormals with few significant bits have the widest intervals; integers
  // below 2^24 take the shortcut, and the ones above it do not.
  EXPECT_EQ(mismatches([](auto check) {
              for (std::uint32_t bits = 1; bits < (1u << 14); ++bits) check(bits);
              for (std::uint32_t n = 1; n < (1u << 25); n += 97) {
                check(std::bit_cast<std::uint32_t>(static_cast<float>(n)));
              }
            }),
            0);
}

TEST(ShortestF32, PowersOfTenAndTheirNeighbours) {
  EXPECT_EQ(mismatches([](auto check) {
              for (int e = -45; e <= 38; ++e) {
                const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(std::pow(10.0, e)));
                for (std::uint32_t d = 0; d < 9; ++d) check(bits + d - 4);
              }
            }),
            0);
}

// The float text spelled out plainly from std::to_chars's digits: positional
// for -6 <= E <= 12 with at least one digit after the point, else d[.ddd]e±X.
std::string reference_text(float value) {
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  const std::string sign = value < 0 ? "-" : "";
  char text[32];
  const char* end = std::to_chars(text, text + sizeof text, std::fabs(value),
                            std::chars_format::scientific).ptr;
  std::string digits;
  const char* p = text;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits += *p;
  }
  const int e = std::stoi(std::string(p + 1, end));
  const int n = static_cast<int>(digits.size());
  if (e < -6 || e > 12) {
    std::string out = digits.substr(0, 1);
    if (n > 1) out.append(".").append(digits, 1);
    return sign + out + "e" + (e < 0 ? "-" : "+") + std::to_string(e < 0 ? -e : e);
  }
  if (e < 0) return sign + "0." + std::string(-e - 1, '0') + digits;
  if (n <= e + 1) return sign + digits + std::string(e + 1 - n, '0') + ".0";
  return sign + digits.substr(0, e + 1) + "." + digits.substr(e + 1);
}

TEST(ShortestF32, TextOfBothSignsMatchesThePlainLayout) {
  // The text is assembled without branches from three layouts at once; a
  // sweep over both signs and every exponent checks the pick and the lengths.
  int bad = 0;
  for (std::uint32_t bits = 0; bits < 0x7f800000u; bits += 8191) {
    for (std::uint32_t sign : {0u, 0x80000000u}) {
      const float v = std::bit_cast<float>(bits | sign);
      char text[kMaxFloatText];
      const std::string written(text, format_f32(text, v));
      if (written != reference_text(v) && ++bad <= 5) {
        ADD_FAILURE() << written << " vs " << reference_text(v);
      }
    }
  }
  EXPECT_EQ(bad, 0);
}

TEST(ShortestF32, SparseSweepOfAllFloats) {
  EXPECT_EQ(mismatches([](auto check) {
              for (std::uint32_t bits = 1; bits < 0x7f800000u; bits += 4093) check(bits);
            }),
            0);
}

}  // namespace
}  // namespace velmoradb::json
