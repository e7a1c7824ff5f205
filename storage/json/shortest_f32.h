// The shortest decimal that reads back as a given 32-bit float, chosen the way
// std::to_chars chooses it: fewest significant digits, then the one nearest
// the float, then an even last digit. std::to_chars gives the same digits; this
// search is ours because json_float_list_avx512.cpp runs it eight floats at a
// time, with the scales of f32_scale below (a Schubfach-style search: three
// products with a 63-bit power of ten bound the float's rounding interval, and
// at most two candidate lengths are tried). One float at a time it is about as
// fast as std::to_chars: notes/float-text-check.md has the measurements of
// both and of the vectorised writer. tests/cpp/storage/shortest_f32_test.cpp
// compares it with std::to_chars; tools/check_shortest_f32.cpp does so for
// every float.
#pragma once

#include <cstdint>

namespace velmoradb::json {

// significand * 10^exponent, the significand without trailing zeros.
struct DecimalF32 {
  std::uint32_t significand = 0;
  int exponent = 0;
};

// value must be finite and greater than zero.
DecimalF32 shortest_decimal_f32(float value);

// What the search uses for the floats of one binade whose significand is not
// the binade's smallest (biased exponent 1..254): the power of ten g (10^-k
// scaled to 63 bits), k, and the shift h. For the vectorised text writer.
struct F32Scale {
  std::uint64_t g = 0;
  int k = 0;
  int h = 0;
};
F32Scale f32_scale(int biased_exponent);

}  // namespace velmoradb::json
