// Float text: the shortest round-trip digits come from shortest_decimal_f32
// for 32-bit values (the log's hot path) and from std::to_chars for 64-bit
// ones (the scientific form without a precision is the shortest, nearest digit
// string); both choose the same digits, and the layout around them is ours.
#include "storage/json/json_float.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "storage/json/json.h"
#include "storage/json/shortest_f32.h"

namespace velmoradb::json {
namespace {

// The digits d1..dn of a positive finite value and the exponent E of d1.
struct Decimal {
  char digits[24];
  int count = 0;
  int exponent = 0;
};

Decimal shortest_decimal(double magnitude) {
  char sci[kMaxFloatText];
  // Always "d[.ddd]e±XX": shortest digits never end in a zero.
  const auto end = std::to_chars(sci, sci + sizeof sci, magnitude,
                                 std::chars_format::scientific).ptr;
  Decimal d;
  const char* p = sci;
  for (; *p != 'e'; ++p) {
    if (*p != '.') d.digits[d.count++] = *p;
  }
  ++p;
  const bool negative_exponent = *p++ == '-';
  for (; p < end; ++p) d.exponent = d.exponent * 10 + (*p - '0');
  if (negative_exponent) d.exponent = -d.exponent;
  return d;
}

char* copy(char* out, const char* from, int count) {
  std::memcpy(out, from, static_cast<std::size_t>(count));
  return out + count;
}

char* fill_zeros(char* out, int count) {
  std::memset(out, '0', static_cast<std::size_t>(count));
  return out + count;
}

char* write_positional(char* out, const Decimal& d) {
  const int n = d.count;
  const int e = d.exponent;
  if (n <= e + 1) {  // no fractional digits: "100.0"
    out = copy(out, d.digits, n);
    out = fill_zeros(out, e + 1 - n);
    return copy(out, ".0", 2);
  }
  if (e >= 0) {  // "12.375"
    out = copy(out, d.digits, e + 1);
    *out++ = '.';
    return copy(out, d.digits + e + 1, n - e - 1);
  }
  out = copy(out, "0.", 2);  // "0.00123"
  out = fill_zeros(out, -e - 1);
  return copy(out, d.digits, n);
}

char* write_scientific(char* out, const Decimal& d) {
  *out++ = d.digits[0];
  if (d.count > 1) {
    *out++ = '.';
    out = copy(out, d.digits + 1, d.count - 1);
  }
  *out++ = 'e';
  *out++ = d.exponent < 0 ? '-' : '+';
  const int magnitude = d.exponent < 0 ? -d.exponent : d.exponent;
  return std::to_chars(out, out + 4, magnitude).ptr;
}

template <typename F>
std::size_t format_float(char* buf, F value, int min_positional, int max_positional) {
  if (!std::isfinite(value)) return static_cast<std::size_t>(copy(buf, "null", 4) - buf);
  char* out = buf;
  if (std::signbit(value)) {
    *out++ = '-';
    value = -value;
  }
  if (value == 0) return static_cast<std::size_t>(copy(out, "0.0", 3) - buf);
  const Decimal d = shortest_decimal(value);
  const bool positional = d.exponent >= min_positional && d.exponent <= max_positional;
  out = positional ? write_positional(out, d) : write_scientific(out, d);
  return static_cast<std::size_t>(out - buf);
}

using Text16 = unsigned __int128;  // up to 16 characters, the first in the lowest byte

Text16 low_bytes(Text16 text, int count) { return text & ((Text16{1} << (8 * count)) - 1); }

// The digits of n (below 10^9) without leading zeros, and their count. Eight
// of them are worked out side by side in one register (two groups of four,
// then pairs, then single digits), so no digit waits on another and nothing
// goes through memory.
Text16 digit_text(std::uint32_t n, int& count) {
  const std::uint32_t low = n % 100000000;
  std::uint64_t x = (low / 10000) | (std::uint64_t{low % 10000} << 32);
  const std::uint64_t hundreds = ((x * 5243) >> 19) & 0x0000007f0000007fULL;  // v / 100, v < 10^4
  x = hundreds | ((x - hundreds * 100) << 16);
  const std::uint64_t tens = ((x * 103) >> 10) & 0x000f000f000f000fULL;  // w / 10, w < 100
  x = tens | ((x - tens * 10) << 8);
  const Text16 nine = ('0' + n / 100000000) | (Text16{x | 0x3030303030303030ULL} << 8);
  // floor(bit width * log10(2)) digits, or one more (n >= 1).
  static constexpr std::uint32_t kPow10[] = {1,      10,      100,      1000,      10000,
                                             100000, 1000000, 10000000, 100000000, 1000000000};
  const int guess = (std::bit_width(n) * 1233) >> 12;
  count = guess + (n >= kPow10[guess]);
  return nine >> (8 * (9 - count));
}

Text16 repeated(char c) {
  const std::uint64_t eight = 0x0101010101010101ULL * static_cast<unsigned char>(c);
  return eight | (Text16{eight} << 64);
}

}  // namespace

// The 32-bit text, laid out as format_float lays it out, but assembled in a
// register and stored at once: every positional text of a float fits in 16
// characters. The log writes one of these per vector component.
std::size_t format_f32(char* buf, float value) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  if ((bits & 0x7f800000u) == 0x7f800000u) return static_cast<std::size_t>(copy(buf, "null", 4) - buf);
  char* out = buf;
  *out = '-';
  out += bits >> 31;  // no branch on the sign
  const std::uint32_t magnitude = bits & 0x7fffffffu;
  if (magnitude == 0) return static_cast<std::size_t>(copy(out, "0.0", 3) - buf);
  const DecimalF32 shortest = shortest_decimal_f32(std::bit_cast<float>(magnitude));
  int n;
  const Text16 digits = digit_text(shortest.significand, n);
  const int e = shortest.exponent + n - 1;
  if (e < -6 || e > 12) {
    Decimal d;
    std::memcpy(d.digits, &digits, sizeof digits);
    d.count = n;
    d.exponent = e;
    return static_cast<std::size_t>(write_scientific(out, d) - buf);
  }
  Text16 text;
  int length;
  if (n <= e + 1) {  // no fractional digits ("100.0"): rare, so a branch
    text = digits | (low_bytes(repeated('0'), e + 1) & ~low_bytes(~Text16{0}, n)) |
           (Text16{'.' | ('0' << 8)} << (8 * (e + 1)));
    length = e + 3;
  } else {
    // "0.00123" or "12.375": both are assembled and one is picked without a
    // branch. On data around zero which one applies is a coin toss, and a
    // mispredicted branch per component would stop the processor from
    // working on the next component meanwhile. Each is built from an
    // exponent clamped to its own range, so no shift goes out of bounds.
    const int below = e < 0 ? e : -1;  // "0." and -below-1 zeros
    const int prefix = 1 - below;
    const Text16 fraction_only = low_bytes(repeated('0') & ~(Text16{0xff} << 8), prefix) |
                                 (Text16{'.'} << 8) | (digits << (8 * prefix));
    const int point = e < 0 ? 1 : e + 1;  // the point follows digit `point`
    const Text16 mixed = low_bytes(digits, point) | (Text16{'.'} << (8 * point)) |
                         ((digits >> (8 * point)) << (8 * (point + 1)));
    text = e < 0 ? fraction_only : mixed;
    length = e < 0 ? prefix + n : n + 1;
  }
  std::memcpy(out, &text, sizeof text);
  return static_cast<std::size_t>(out + length - buf);
}

std::size_t format_f64(char* buf, double value) { return format_float(buf, value, -5, 15); }

void append_f32(std::string& out, float value) {
  char buf[kMaxFloatText];
  out.append(buf, format_f32(buf, value));
}

void append_f64(std::string& out, double value) {
  char buf[kMaxFloatText];
  out.append(buf, format_f64(buf, value));
}

}  // namespace velmoradb::json
