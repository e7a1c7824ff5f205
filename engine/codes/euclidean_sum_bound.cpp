#include "engine/codes/euclidean_sum_bound.h"

#include <cmath>
#include <limits>

namespace velmoradb {

// Notation: u = 2^-24 (float32 rounding), d_i = fl(x_i - q_i) (the kernels
// and the fused sum subtract alike: the reference's q - x is its exact
// negation, so the squares agree), S = sum d_i^2 exactly (a real number),
// n = dim, gamma = n u / (1 - n u).
//
// The reference sum R: each term is rounded once as a square, and each
// partial sum once per addition; every term passes through at most n
// roundings, whatever the order of the additions. All terms are >= 0, so
// while nothing overflows or underflows, |R - S| <= gamma S. The fused sum
// A rounds once per fused step, at most n times per term: |A - S| <= gamma S.
// Hence R >= S (1 - gamma) >= A (1 - gamma) / (1 + gamma) >= A (1 - 2 gamma).
//
// Underflow: a rounding into the subnormal range errs by at most 2^-150 in
// absolute terms, and each sum takes at most 2n roundings, so in general
//   R >= A (1 - 2 gamma) - 4 n 2^-150.
// Overflow: an infinite R is > kth for every finite kth; a finite R with an
// infinite A needs S >= FLT_MAX / (1 + gamma), which the limit below never
// falls short of (the limit is finite only below FLT_MAX (1 - 2 gamma)).
//
// The distance is fl(sqrt(R)), and sqrt rounds correctly and monotonically:
// with kn = the float after kth, R >= kn^2 gives sqrt(R) >= kn and
// fl(sqrt(R)) >= kn > kth. So it suffices that
//   A (1 - 2 gamma) - 4 n 2^-150 >= kn^2,  i.e.  A >= (kn^2 + 4 n 2^-150) / (1 - 2 gamma).
// kn^2 is exact in double (24-bit times 24-bit); the rest is computed in
// double with every step rounded up by a margin (a relative 2^-40, far above
// double's rounding), and the result rounded up to a float L. Then A > L
// implies the inequality.
float euclidean_sum_limit(float kth, std::size_t dim) {
  constexpr float kNone = std::numeric_limits<float>::infinity();
  if (!(kth >= 0.0f) || std::isinf(kth)) return kNone;  // NaN, infinite (or negative: never a distance)
  const double n = static_cast<double>(dim);
  const double u = std::ldexp(1.0, -24);
  if (n * u >= 0.25) return kNone;  // the bound would be worthless
  const double margin = 1.0 + std::ldexp(1.0, -40);
  const double gamma = n * u / (1.0 - n * u) * margin;
  const double kn = static_cast<double>(std::nextafter(kth, kNone));
  const double kn2 = kn * kn;  // exact
  const double slack = 4.0 * n * std::ldexp(1.0, -150);
  const double limit = (kn2 + slack) * margin / ((1.0 - 2.0 * gamma) / margin);
  if (!(limit < static_cast<double>(std::numeric_limits<float>::max()) * (1.0 - 2.0 * gamma))) return kNone;
  auto l = static_cast<float>(limit);
  if (static_cast<double>(l) < limit) l = std::nextafter(l, kNone);
  return l;
}

}  // namespace velmoradb
