// Lower bounds on the computed float32 distance of a query to every vector of
// a code cell box, for the pruned exact search of bound_codes.h.
//
// Each stored vector x is known, component by component, to lie in a cell
// [l_i, h_i] whose ends are floats. For one query q this file builds a table
// of non-negative integers T[i][c] (component i, cell c) and three reals
// `base`, `scale` and `slack` such that, for every vector whose components
// are finite and lie in the cells c_0 .. c_{n-1}, with the code sum
// S = sum_i T[i][c_i]:
//
//   euclidean:  the distance the kernels compute is >= (1-u) sqrt((1-u)^(n+3) (base + scale*S) - n 2^-150)
//   dot:        the distance the kernels compute is >= base + scale*S - slack
//   cosine:     the dot product the kernels compute is <= slack - (base + scale*S)
//
// (u = 2^-24, n = the dimension.) The search turns these into a limit on S
// (code_sum_limit) or a per-vector test (cosine_may_reach). The proof is in
// distance_bounds.cpp, beside the arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/kernels/metric.h"

namespace velmoradb {

// Cells per component of the coarse code: 4 bits.
constexpr std::size_t kCodeCells = 16;
// The largest coarse table entry: entries are bytes.
constexpr std::uint32_t kCodeEntryMax = 255;
// Cells per component of the fine code (a coarse cell cut in 16).
constexpr std::size_t kFineCells = 256;

// The cells of every component: component i's cell c is
// [ends[i * stride + c * step], ends[i * stride + (c + 1) * step]], for
// c in 0 .. cells-1 (so a coarse grid can take every step-th end of a fine
// one).
struct CellGrid {
  const float* ends;
  std::size_t stride;
  std::size_t step;
  std::size_t cells;
};
// code_sum_limit's answer when no code sum can be ruled out.
constexpr std::int64_t kNoCodeLimit = std::int64_t{1} << 62;

struct QueryBounds {
  DistanceMetric metric = DistanceMetric::Euclidean;
  std::size_t dim = 0;
  // False when the bounds cannot be trusted for this query (a non-finite
  // query component, a sum that might overflow, a zero or infinite query
  // norm, Hamming): then every vector is computed exactly.
  bool prunable = false;
  std::vector<std::uint32_t> table;  // dim * cells entries, component-major
  std::vector<double> cell_bounds;    // scratch of prepare_query_bounds
  double base = 0.0;
  double scale = 1.0;
  double slack = 0.0;
  float query_norm = 0.0f;  // cosine: the kernels' sqrt(dot(q, q))
  std::size_t cells = 0;    // per component
  double max_excess = 0.0;  // the largest excess of a cell over its component's smallest
};

// Fills `qb` for `query` (dim floats) against the cells `grid`, reusing
// qb's memory. Entries are at most `entry_max` (and their sum over the
// components must fit 32 bits). The scale is the smallest that keeps every
// entry exact below entry_max, or `min_scale` when that is larger (entries
// then saturate, which only lowers them): a caller that knows its k-th
// distance chooses the resolution where it matters.
void prepare_query_bounds(DistanceMetric metric, const float* query, const CellGrid& grid, std::size_t dim,
                          std::uint32_t entry_max, QueryBounds& qb, double min_scale = 0.0);
// The same bounds as `from` (filled by prepare_query_bounds, its cell
// bounds kept) at another resolution: entries at most `entry_max`, the
// scale chosen as there. Skips the first pass, the costly one.
void requantize_query_bounds(const QueryBounds& from, std::uint32_t entry_max, double min_scale, QueryBounds& to);
// The coarse form: kCodeCells cells per component from dim * (kCodeCells
// + 1) ends, byte entries.
void prepare_query_bounds(DistanceMetric metric, const float* query, const float* bounds,
                          std::size_t dim, QueryBounds& qb, double min_scale = 0.0);

// Euclidean and dot: the scale at which code_sum_limit(qb, kth) would be
// about `target` (an estimate, not a bound); 0 when there is none.
double scale_for_limit(const QueryBounds& qb, float kth, double target);

// Euclidean and dot: the largest code sum a vector may have and still
// compute to a distance <= kth; -1 when none may, kNoCodeLimit when any may
// (kth NaN or +inf, or nothing prunable).
std::int64_t code_sum_limit(const QueryBounds& qb, float kth);

// Cosine: false only when a vector with code sum `sum` and the kernels'
// norm product `den` (finite, > 0) is sure to compute to a distance > kth.
bool cosine_may_reach(const QueryBounds& qb, std::uint64_t sum, float den, float kth);

// Cosine, for every vector whose norm product den lies in [den_lo, den_hi]
// (finite, > 0): a code sum above the answer is sure to compute to a
// distance > kth; kNoCodeLimit when no such limit was found. Each answer is
// checked with cosine_may_reach at both ends.
std::int64_t cosine_code_sum_limit(const QueryBounds& qb, float kth, float den_lo, float den_hi);

// Cosine: the scale at which the limit above would be about `target` for
// norm products in [den_lo, den_hi]; 0 when there is none.
double cosine_scale_for_limit(const QueryBounds& qb, float kth, float den_lo, float den_hi, double target);

}  // namespace velmoradb
