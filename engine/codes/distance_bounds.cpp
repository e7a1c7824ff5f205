#include "engine/codes/distance_bounds.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>

// Why the bounds hold
// ===================
//
// Notation. u = 2^-24, the unit roundoff of float32 with rounding to
// nearest. RN(x) is x rounded to the nearest float. n is the dimension.
// The kernels compute every distance with the scalar sequence of metric.cpp
// (every SIMD path gives the same bits), so it is enough to bound that
// sequence. Facts about float32 used below, for finite operands:
//   (F1) a + b and a - b: RN(exact) = exact * (1 + d), |d| <= u. A sum or
//        difference in the subnormal range is exact, so no absolute term.
//   (F2) a * b and a / b: RN(exact) = exact * (1 + e) + h, |e| <= u,
//        |h| <= 2^-150 (half the smallest subnormal), and e*h = 0.
//   (F3) sqrt is correctly rounded: RN(sqrt(y)) >= (1 - u) sqrt(y).
//   (F4) rounding is monotone: x <= y implies RN(x) <= RN(y).
//   (F5) a result rounds to an infinity only if its exact value is at least
//        FLT_MAX in magnitude.
// The blocked sum of metric.cpp adds each term through at most n additions
// (15 inside its block, one into the total, one per later block or tail
// term: 15 + n/16 + n%16 <= n when n >= 16, and at most n terms otherwise).
//
// Real-valued bounds over the cells. Component i of a stored vector x lies
// in its cell [l, h] (floats). For the query component q:
//   euclidean  (q - x)^2 >= g(c) = (l - q)^2 if q < l, (q - h)^2 if q > h, else 0
//   dot        -q x      >= g(c) = min(-q l, -q h)   (linear in x: the minimum is at an end)
// so the real sums obey D = sum (q_i - x_i)^2 >= sum g and -P = -sum q_i x_i
// >= sum g. With m_i = min_c g_i(c) and T[i][c] an integer with
// scale * T[i][c] <= g_i(c) - m_i, and base <= sum m_i:
//   sum_i g_i(c_i) >= base + scale * S.                                  (R)
// The table is built in double precision: products of two floats are exact
// in double (48 significant bits, exponents far inside double's range), and
// every other operation is followed by one step of nextafter in the safe
// direction (down for lower bounds, up for upper bounds), which covers its
// rounding error of at most half a spacing. Entries are floored and
// saturated, which only lowers them. So (R) holds in real arithmetic.
//
// Euclidean. Let d_i = RN(q_i - x_i), s_i = RN(d_i^2), Ssum the blocked sum
// of the s_i and dist = RN(sqrt(Ssum)). By (F1) |d_i| >= (1-u)|q_i - x_i|;
// by (F2) s_i >= (1-u) d_i^2 - 2^-150; all terms are >= 0, so by (F1) and
// the depth of the sum Ssum >= (1-u)^n sum s_i. An overflow makes the sum
// +inf (never NaN: no term is negative), which only helps. By (F3):
//   dist >= (1-u) sqrt((1-u)^(n+3) D - n 2^-150)          (D from (R), >= base + scale*S)
// so dist > kth >= 0 as soon as
//   D > (kth^2 + n 2^-150) / (1-u)^(n+5),
// and (1-u)^(n+5) >= 1 - (n+5)u (Bernoulli). code_sum_limit computes that
// right-hand side rounding up, subtracts base rounding up, divides by scale
// rounding up: any S above the floor of the result has base + scale*S
// above it, hence a computed distance above kth.
//
// Dot. Let p_i = RN(q_i x_i) and P^ the blocked sum of the p_i; the
// distance is -P^. By (F2) p_i = q_i x_i (1+e_i) + h_i, and by (F1) and the
// depth, |P^ - sum p_i| <= ((1+u)^n - 1) sum |p_i|. With A = sum |q_i x_i|:
//   |P^ - P| <= A ((1+u)^(n+1) - 1) + n 2^-150 (1+u)^n
//            <= A gamma(n+1) + n 2^-149 = slack,   gamma(m) = m u / (1 - m u),
// for A bounded above by A_hi = sum |q_i| max(|lowest end|, |highest end|).
// The same argument bounds every partial sum in magnitude by
// ((1+u) A + n 2^-150)(1 + gamma(n)); when that is below FLT_MAX nothing
// overflows (F5), so P^ is finite and not NaN; otherwise the query is not
// prunable. Then -P^ >= -P - slack >= base + scale*S - slack, and the
// distance is > kth as soon as base + scale*S > kth + slack.
//
// Cosine. The kernels compute p = P^ as above, na = RN(sqrt(dot(q, q))),
// nb = RN(sqrt(dot(x, x))), den = RN(na * nb), and 1.0 when den == 0, else
// RN(1 - RN(p / den)). The caller knows den exactly (nb is stored, computed
// with the same sequence), and asks only for finite den > 0. From the dot
// case p <= P + slack <= slack - (base + scale*S) =: P_hi, rounded up to a
// float. By (F4), p <= P_hi gives RN(p / den) <= RN(P_hi / den) and then
// RN(1 - RN(p / den)) >= RN(1 - RN(P_hi / den)): the latter, computed here
// in float32 with the kernels' operations, is a lower bound of the distance
// with no further allowance.
//
// Cosine over a range of norm products (cosine_code_sum_limit). For a fixed
// code sum the float p above is fixed, and RN(p / den) is monotone in den
// (F4): non-increasing when p >= 0, non-decreasing when p < 0. So the lower
// bound RN(1 - RN(p / den)) is monotone in den, and if it is > kth at both
// ends of [den_lo, den_hi] it is > kth for every den in between; and since
// RN(na * nb) is monotone in nb, the norm products of a block's vectors lie
// between those of its smallest and largest norm. In S, P_hi is
// non-increasing (scale * S rounded down is non-decreasing), so a larger
// code sum has a smaller p and, by the same monotony, a larger bound: a
// limit L checked at S = L + 1 holds for every S > L. That check runs
// cosine_may_reach itself, so the limit needs no proof of its own.

namespace velmoradb {

namespace {

constexpr double kU = 0x1p-24;
constexpr double kInf = std::numeric_limits<double>::infinity();

// One step toward -inf / +inf: covers the rounding of the double operation
// that produced x (at most half a spacing).
// Inline for finite nonzero x (the adjacent double is one step of the bit
// pattern's magnitude); std::nextafter for the rest.
double down(double x) {
  if (x == 0.0 || !std::isfinite(x)) return std::nextafter(x, -kInf);
  const auto bits = std::bit_cast<std::uint64_t>(x);
  return std::bit_cast<double>(x > 0.0 ? bits - 1 : bits + 1);
}
double up(double x) {
  if (x == 0.0 || !std::isfinite(x)) return std::nextafter(x, kInf);
  const auto bits = std::bit_cast<std::uint64_t>(x);
  return std::bit_cast<double>(x > 0.0 ? bits + 1 : bits - 1);
}

// A lower bound of g(c) for component value q and cell [l, h] (see above).
double cell_bound(DistanceMetric metric, double q, double l, double h) {
  if (metric == DistanceMetric::Euclidean) {
    double gap = 0.0;
    if (q < l) {
      gap = down(l - q);
    } else if (q > h) {
      gap = down(q - h);
    } else {
      return 0.0;
    }
    gap = std::max(gap, 0.0);
    return std::max(down(gap * gap), 0.0);
  }
  // Products of floats are exact in double.
  return std::min(-q * l, -q * h);
}

// gamma(m) rounded up; m u < 1/2 for every dimension accepted below.
double gamma_up(std::size_t m) {
  double mu = static_cast<double>(m) * kU;  // exact
  return up(mu / (1.0 - mu));                // 1 - mu exact for m < 2^29
}

// Dimensions above this are never pruned (the gamma factors stay far
// below 1).
constexpr std::size_t kMaxPrunableDim = std::size_t{1} << 20;

}  // namespace

namespace {

// The second pass: the scale, and T[i][c] = floor of a lower bound of
// (g - m_i) / scale from the cell bounds g of `from` (which may be `to`).
void quantize(const QueryBounds& from, std::uint32_t entry_max, double min_scale, QueryBounds& to) {
  const std::size_t cells = from.cells, dim = from.dim;
  // At `scale`, the largest excess is exactly entry_max.
  const double cap = static_cast<double>(entry_max);
  double scale = from.max_excess / cap;
  if (min_scale > scale && std::isfinite(min_scale)) scale = min_scale;
  if (!(scale > 0.0) || !std::isfinite(scale)) scale = 1.0;
  to.table.resize(dim * cells);
  for (std::size_t i = 0; i < dim; ++i) {
    const double* g_cells = from.cell_bounds.data() + i * cells;
    double lo = kInf;
    for (std::size_t c = 0; c < cells; ++c) lo = std::min(lo, g_cells[c]);
    std::uint32_t* row = to.table.data() + i * cells;
    for (std::size_t c = 0; c < cells; ++c) {
      double excess = g_cells[c] == lo ? 0.0 : std::max(down(g_cells[c] - lo), 0.0);
      double t = excess == 0.0 ? 0.0 : std::max(down(excess / scale), 0.0);
      row[c] = t >= cap ? entry_max : static_cast<std::uint32_t>(std::floor(t));
    }
  }
  to.scale = scale;
}

}  // namespace

void prepare_query_bounds(DistanceMetric metric, const float* query, const float* bounds,
                          std::size_t dim, QueryBounds& qb, double min_scale) {
  prepare_query_bounds(metric, query, CellGrid{bounds, kCodeCells + 1, 1, kCodeCells}, dim, kCodeEntryMax, qb,
                       min_scale);
}

void prepare_query_bounds(DistanceMetric metric, const float* query, const CellGrid& grid, std::size_t dim,
                          std::uint32_t entry_max, QueryBounds& qb, double min_scale) {
  qb.metric = metric;
  qb.dim = dim;
  qb.prunable = false;
  qb.base = 0.0;
  qb.scale = 1.0;
  qb.slack = 0.0;
  qb.query_norm = 0.0f;
  if (metric == DistanceMetric::Hamming || dim == 0 || dim > kMaxPrunableDim || grid.cells == 0 ||
      grid.cells > kFineCells || static_cast<double>(entry_max) * static_cast<double>(dim) > 4294967295.0)
    return;
  for (std::size_t i = 0; i < dim; ++i) {
    if (!std::isfinite(query[i])) return;
  }
  const std::size_t cells = grid.cells;
  const DistanceMetric cell_metric =
      metric == DistanceMetric::Euclidean ? DistanceMetric::Euclidean : DistanceMetric::DotProduct;

  if (metric != DistanceMetric::Euclidean) {
    // The slack and the overflow test of the dot product.
    double a_hi = 0.0;
    for (std::size_t i = 0; i < dim; ++i) {
      const float* e = grid.ends + i * grid.stride;
      double reach = std::max(std::fabs(static_cast<double>(e[0])),
                              std::fabs(static_cast<double>(e[cells * grid.step])));
      a_hi = up(a_hi + std::fabs(static_cast<double>(query[i])) * reach);
    }
    const double n = static_cast<double>(dim);
    const double g = gamma_up(dim + 1);
    qb.slack = up(up(a_hi * g) + up(n * 0x1p-149));
    double partial_max = up(up(up(a_hi * (1.0 + kU)) + up(n * 0x1p-150)) * up(1.0 + g));
    if (!(partial_max < static_cast<double>(FLT_MAX))) return;
    if (metric == DistanceMetric::Cosine) {
      qb.query_norm = std::sqrt(dot_product(query, query, dim));
      if (!(qb.query_norm > 0.0f) || std::isinf(qb.query_norm)) return;
    }
  }

  // First pass: the per-component minima m_i, base and the largest g - m.
  double base = 0.0;
  double max_excess = 0.0;
  qb.table.resize(dim * cells);
  qb.cell_bounds.resize(dim * cells);  // g, kept for the second pass
  const std::size_t step = grid.step;
  for (std::size_t i = 0; i < dim; ++i) {
    const float* e = grid.ends + i * grid.stride;
    const double q = query[i];
    double* g = qb.cell_bounds.data() + i * cells;
    double lo = kInf;
    double hi = -kInf;
    for (std::size_t c = 0; c < cells; ++c) {
      g[c] = cell_bound(cell_metric, q, e[c * step], e[(c + 1) * step]);
      lo = std::min(lo, g[c]);
      hi = std::max(hi, g[c]);
    }
    base = down(base + lo);
    max_excess = std::max(max_excess, up(hi - lo));
  }
  qb.base = base;
  qb.cells = cells;
  qb.max_excess = max_excess;
  qb.prunable = true;
  quantize(qb, entry_max, min_scale, qb);
}

void requantize_query_bounds(const QueryBounds& from, std::uint32_t entry_max, double min_scale, QueryBounds& to) {
  to.metric = from.metric;
  to.dim = from.dim;
  to.prunable = from.prunable;
  to.base = from.base;
  to.scale = 1.0;
  to.slack = from.slack;
  to.query_norm = from.query_norm;
  to.cells = from.cells;
  to.max_excess = from.max_excess;
  if (!from.prunable || static_cast<double>(entry_max) * static_cast<double>(from.dim) > 4294967295.0) {
    to.prunable = false;
    return;
  }
  quantize(from, entry_max, min_scale, to);
}

namespace {

// Euclidean and dot: a value that base + scale*S must exceed for the
// distance to be above kth (finite kth; a computed euclidean distance is
// never negative and a dot distance never -inf, so those kth give NaN:
// nothing can reach them).
double sum_threshold(const QueryBounds& qb, float kth) {
  const double n = static_cast<double>(qb.dim);
  if (qb.metric == DistanceMetric::Euclidean) {
    if (kth < 0.0f) return std::numeric_limits<double>::quiet_NaN();
    const double k2 = static_cast<double>(kth) * static_cast<double>(kth);  // exact
    const double shrink = 1.0 - (n + 5.0) * kU;                             // exact, <= (1-u)^(n+5)
    return up(up(k2 + n * 0x1p-150) / shrink);
  }
  if (kth == -std::numeric_limits<float>::infinity()) return std::numeric_limits<double>::quiet_NaN();
  return up(static_cast<double>(kth) + qb.slack);
}

}  // namespace

double scale_for_limit(const QueryBounds& qb, float kth, double target) {
  if (!qb.prunable || !std::isfinite(kth) || !(target > 0.0)) return 0.0;
  const double over = sum_threshold(qb, kth) - qb.base;
  return over > 0.0 && std::isfinite(over) ? over / target : 0.0;
}

std::int64_t code_sum_limit(const QueryBounds& qb, float kth) {
  if (!qb.prunable || std::isnan(kth) || kth == std::numeric_limits<float>::infinity()) return kNoCodeLimit;
  const double threshold = sum_threshold(qb, kth);
  if (std::isnan(threshold)) return -1;
  const double over_base = up(threshold - qb.base);
  if (over_base < 0.0) return -1;
  const double t = up(over_base / qb.scale);
  if (!(t < 0x1p62)) return kNoCodeLimit;
  return static_cast<std::int64_t>(std::floor(t));
}

bool cosine_may_reach(const QueryBounds& qb, std::uint64_t sum, float den, float kth) {
  if (!qb.prunable || std::isnan(kth) || kth == std::numeric_limits<float>::infinity()) return true;
  // P_hi = slack - base - scale*S, rounded up, then to the float above.
  const double scaled = std::max(down(qb.scale * static_cast<double>(sum)), 0.0);
  const double p_hi = up(up(qb.slack - qb.base) - scaled);
  if (!(std::fabs(p_hi) < static_cast<double>(FLT_MAX))) return true;
  float p = static_cast<float>(p_hi);
  if (static_cast<double>(p) < p_hi) p = std::nextafter(p, std::numeric_limits<float>::infinity());
  // The kernels' last two operations, in float32 (F4).
  const float ratio = p / den;
  const float lower = 1.0f - ratio;
  return !(lower > kth);
}

namespace {

// The code sum at which P_hi = slack - base - scale*S meets (1 - kth) * den:
// where the cosine bound crosses kth, in double (an estimate).
double cosine_crossing(const QueryBounds& qb, float kth, float den) {
  return (qb.slack - qb.base - (1.0 - static_cast<double>(kth)) * static_cast<double>(den)) / qb.scale;
}

}  // namespace

std::int64_t cosine_code_sum_limit(const QueryBounds& qb, float kth, float den_lo, float den_hi) {
  if (!qb.prunable || !std::isfinite(kth) || !(den_lo > 0.0f) || !(den_hi >= den_lo) || std::isinf(den_hi))
    return kNoCodeLimit;
  const double crossing = std::max(cosine_crossing(qb, kth, den_lo), cosine_crossing(qb, kth, den_hi));
  if (!(crossing < 0x1p40)) return kNoCodeLimit;
  // A little above the estimate, for the rounding it ignores; then checked.
  std::int64_t limit = crossing < 0.0 ? -1 : static_cast<std::int64_t>(std::floor(crossing * (1.0 + 0x1p-20))) + 2;
  const std::uint64_t next = static_cast<std::uint64_t>(limit + 1);
  if (cosine_may_reach(qb, next, den_lo, kth) || cosine_may_reach(qb, next, den_hi, kth)) return kNoCodeLimit;
  return limit;
}

double cosine_scale_for_limit(const QueryBounds& qb, float kth, float den_lo, float den_hi, double target) {
  if (!qb.prunable || !std::isfinite(kth) || !(den_lo > 0.0f) || std::isinf(den_hi) || !(target > 0.0)) return 0.0;
  // The crossing at scale 1, over the target.
  const double over = std::max(cosine_crossing(qb, kth, den_lo), cosine_crossing(qb, kth, den_hi)) * qb.scale;
  return over > 0.0 && std::isfinite(over) ? over / target : 0.0;
}

}  // namespace velmoradb
