// Float text: the shortest round-trip digits come from std::to_chars (the
// scientific form without a precision is the shortest, nearest digit string);
// the layout around them is ours.
#include "storage/json_float.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "storage/json.h"

namespace velmoradb::json {
namespace {

// The digits d1..dn of a positive finite value and the exponent E of d1.
struct Decimal {
  char digits[24];
  int count = 0;
  int exponent = 0;
};

template <typename F>
Decimal shortest_decimal(F magnitude) {
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

}  // namespace

std::size_t format_f32(char* buf, float value) { return format_float(buf, value, -6, 12); }
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
