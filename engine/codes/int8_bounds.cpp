#include "engine/codes/int8_bounds.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace velmoradb {

// Why `lower` (computed by the kernels of int8_bounds_avx512vnni.cpp) is at
// most S = sum (x_i - q_i)^2, the exact real squared distance.
//
// Exactly, with x^ = sx cx, q^ = sq cq (real products), ex = x - x^, eq = q - q^:
//   S = |x|^2 + |q|^2 - 2 x.q,   x.q = x^.q^ + x^.eq + ex.q^ + ex.eq,
// and by Cauchy-Schwarz |x.q - x^.q^| <= |x^| |eq| + |ex| |q^| + |ex| |eq| =: E.
// x^.q^ = sx sq I with I = sum cx_i cq_i, an exact integer (|I| <= 127^2 n
// fits 32 bits for n <= kInt8MaxDim). So S >= |x|^2 + |q|^2 - 2 sx sq I - 2E.
//
// The figures (int8_figures) bound each term from the right side: norm2_lo
// <= |x|^2, code_norm_hi >= |x^|, residual_hi >= |ex|. Their sums are
// computed in float or double with fused steps; a sum of n non-negative
// terms, each rounded once or twice more, errs by at most gamma_(n+2) <
// 2^-10 relative for n <= 8192, so the margins of 2^-9 below cover them.
//
// The kernel evaluates, per (query, vector), in float:
//   p = float(I) * (sx * sq),  E' = chi * rq + rx * (cq_hi + rq),
//   val = (nx + nq) - 2 p - 2 E',  M = (nx + nq) + 2 |p| + 2 E',
//   lower = val - M 2^-18 - 2^-100.
// Every value it rounds is at most M in magnitude, and there are fewer than
// ten roundings on the way to val (including float(I) above 2^24), so val
// is within 10 u M of the real expression with the same inputs (u = 2^-24);
// underflow adds at most a few 2^-149 per step. M 2^-18 = 64 u M and 2^-100
// cover both. Hence lower <= S whenever every input is finite; an infinite
// or NaN input (norm2_lo is NaN for non-finite or huge vectors) makes
// lower NaN or pushes it the safe way... except +inf, which norm2_lo and
// the other figures never are (they are capped, or NaN).
//
// Dot: the reference's sum R of the n products x_i q_i, each rounded, errs
// from t = x.q by at most gamma_n sum |x_i q_i| <= gamma_n |x| |q| (plus a
// few 2^-149 of underflow per step), and |x| <= |x^| + |ex| <= chi + rx.
// So R <= sx sq I + E + gamma (chi + rx)(cq_hi + rq) =: U, and the
// distance -R >= -U. The kernel evaluates U in float, with M = |p| + E' +
// spread bounding every value it rounds (under fifteen roundings), and
// lower = -U - M 2^-18 - 2^-100 <= -U: lower > kth proves the distance above kth.
namespace {

constexpr double kSumMargin = 1.0 / 512;     // 2^-9
constexpr float kFloatMax = std::numeric_limits<float>::max();
// A squared norm above this is not bounded (its products could overflow).
constexpr double kNormCap = 1e36;

float round_down(double v) {
  auto f = static_cast<float>(v);
  if (static_cast<double>(f) > v) f = std::nextafter(f, -kFloatMax);
  return f;
}

float round_up(double v) {
  auto f = static_cast<float>(v);
  if (static_cast<double>(f) < v) f = std::nextafter(f, kFloatMax);
  return f;
}

}  // namespace

Int8Figures int8_figures(float scale, double sum_x2, double sum_c2, double sum_e2) {
  Int8Figures f;
  f.scale = scale;
  const double nx = sum_x2 * (1.0 - kSumMargin);
  if (!(nx < kNormCap) || !std::isfinite(scale)) {
    f.norm2_lo = std::numeric_limits<float>::quiet_NaN();
    return f;
  }
  f.norm2_lo = round_down(nx);
  f.code_norm_hi = round_up(static_cast<double>(scale) * std::sqrt(sum_c2 * (1.0 + kSumMargin)));
  f.residual_hi = round_up(std::sqrt(sum_e2 * (1.0 + kSumMargin)));
  if (!(f.code_norm_hi <= kFloatMax) || !(f.residual_hi <= kFloatMax))
    f.norm2_lo = std::numeric_limits<float>::quiet_NaN();
  return f;
}

float int8_dot_gamma(std::size_t dim) {
  return round_up(2.0 * static_cast<double>(dim) * std::ldexp(1.0, -24));
}

// The sums go in kLanes running sums each, independent chains that the
// processor (or the compiler's vectors) can overlap; their order is free,
// as the bound on their rounding (above) holds for any order. Each code is
// the nearest integer to x / scale, ties to even: adding and taking away
// 1.5 * 2^23 rounds a float of magnitude below 2^22 so (|x / scale| is at
// most 127 and a few ulps), as nearbyint does, without a call per
// component.
Int8Figures quantize_row(const float* row, std::size_t dim, std::int8_t* codes, std::int32_t& code_sum) {
  constexpr std::size_t kLanes = 8;
  constexpr float kRounder = 12582912.0f;  // 1.5 * 2^23
  std::fill(codes, codes + int8_padded(dim), std::int8_t{0});
  code_sum = 0;
  // The largest magnitude as the largest bit pattern without the sign: the
  // patterns of finite magnitudes are in their order, and those of
  // infinities and NaNs above every one of them.
  std::uint32_t max_bits = 0;
  for (std::size_t i = 0; i < dim; ++i) {
    const std::uint32_t a = std::bit_cast<std::uint32_t>(row[i]) & 0x7fffffffu;
    max_bits = a > max_bits ? a : max_bits;
  }
  const float max_abs = std::bit_cast<float>(max_bits);
  if (!std::isfinite(max_abs)) {
    Int8Figures none;
    none.norm2_lo = std::numeric_limits<float>::quiet_NaN();
    return none;
  }
  const float scale = max_abs / 127.0f;
  // A subnormal largest magnitude gives an infinite inverse: every code is
  // then 0 and the residual is the row itself, still a true figure.
  float inverse = max_abs > 0.0f ? 127.0f / max_abs : 0.0f;
  if (!std::isfinite(inverse)) inverse = 0.0f;
  const double scale_d = scale;
  double sum_x2[kLanes] = {}, sum_e2[kLanes] = {};
  std::int64_t sum_c2 = 0;  // integers: exact
  std::int32_t sum_c = 0;
  auto one = [&](std::size_t i, std::size_t lane) {
    const float x = row[i];
    const float r = (x * inverse + kRounder) - kRounder;
    const float c = r < -127.0f ? -127.0f : (r > 127.0f ? 127.0f : r);
    const double e = static_cast<double>(x) - scale_d * static_cast<double>(c);  // exact
    sum_x2[lane] += static_cast<double>(x) * static_cast<double>(x);
    sum_e2[lane] += e * e;
    const auto code = static_cast<std::int32_t>(c);
    sum_c2 += std::int64_t{code} * code;
    sum_c += code;
    codes[i] = static_cast<std::int8_t>(code);
  };
  std::size_t i = 0;
  for (; i + kLanes <= dim; i += kLanes)
    for (std::size_t lane = 0; lane < kLanes; ++lane) one(i + lane, lane);
  for (std::size_t lane = 0; i < dim; ++i, ++lane) one(i, lane);
  double x2 = 0.0, e2 = 0.0;
  for (std::size_t lane = 0; lane < kLanes; ++lane) {
    x2 += sum_x2[lane];
    e2 += sum_e2[lane];
  }
  code_sum = sum_c;
  return int8_figures(scale, x2, static_cast<double>(sum_c2), e2);
}

void quantize_query(const float* query, std::size_t dim, Int8Query& out) {
  // The instruction takes the query's codes unsigned: plus 128.
  std::vector<std::int8_t> codes(int8_padded(dim));
  std::int32_t sum = 0;
  out.figures = quantize_row(query, dim, codes.data(), sum);
  out.codes.resize(codes.size());
  for (std::size_t i = 0; i < codes.size(); ++i) out.codes[i] = static_cast<std::uint8_t>(codes[i] + 128);
}

}  // namespace velmoradb
