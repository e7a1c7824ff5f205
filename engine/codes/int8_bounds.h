// The int8 bound of the euclidean batch: each vector x and query q is
// rounded to 8-bit integers times a scale of its own (x ~ sx * cx, with
// |cx_i| <= 127), so that one integer dot product instruction takes 64
// products at once (AVX-512 VNNI), four times the float multiplier's rate.
// With the figures kept per vector (the squared norm, the norm of the
// rounded vector, the norm of what the rounding left), the integer dot
// product gives, per (query, vector), a float `lower` that is at most the
// exact real squared distance sum (x_i - q_i)^2. `lower` > euclidean_sum_limit(kth, dim)
// then proves the kernels' distance above kth (euclidean_sum_bound.h; the proof for
// `lower` is in int8_bounds.cpp). A NaN `lower` proves nothing: vectors or
// queries with a non-finite component, or so large that their squared
// norm nears the float range, get NaN.
//
// Used for dimensions kInt8MinDim .. kInt8MaxDim, where the margins of
// the proof hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/support/huge_pages.h"

namespace velmoradb {

constexpr std::size_t kInt8MinDim = 16;
constexpr std::size_t kInt8MaxDim = 8192;

// Components as the codes hold them: dim rounded up to a multiple of 4
// (the padding codes are 0).
constexpr std::size_t int8_padded(std::size_t dim) { return (dim + 3) / 4 * 4; }

// The figures of one vector, all upper or lower bounds as named.
struct Int8Figures {
  float scale = 0.0f;          // sx: x ~ sx * cx (exact products in double)
  float norm2_lo = 0.0f;       // <= sum x_i^2; NaN: this vector gets no bound
  float code_norm_hi = 0.0f;   // >= |sx * cx|
  float residual_hi = 0.0f;    // >= |x - sx * cx|
};

// A query: its codes plus 128 (unsigned, as the instruction takes them),
// int8_padded(dim) bytes, and its figures.
struct Int8Query {
  std::vector<std::uint8_t> codes;
  Int8Figures figures;
};

// A run of the index's blocks (kernels.h), quantized. Per block, for each
// group of 4 components, 64 bytes: lane j's 4 codes at [4j, 4j + 4).
// Per lane (block * kBlockWidth + j): its figures, and 128 times the sum of
// its codes (what the query's offset of 128 adds to the dot product).
// Large chunks (the stored codes of a whole index, int8_codes.h) are read
// in one pass per search: on huge pages, as the vectors are.
struct Int8Chunk {
  template <class T>
  using Array = std::vector<T, HugePageAllocator<T>>;
  Array<std::int8_t> codes;
  Array<std::int32_t> offsets;
  Array<float> scale, norm2_lo, code_norm_hi, residual_hi;
};

// Dot: the relative error allowed to the reference's sum of n products,
// 2 n u rounded up (a bound of gamma_n, u = 2^-24, for n <= kInt8MaxDim).
float int8_dot_gamma(std::size_t dim);

// Rounds a row of `dim` floats to codes[0 .. int8_padded(dim)) (the padding
// 0) and gives its figures; code_sum receives the sum of its codes. A row
// with a NaN or infinite component gets zero codes and a NaN norm2_lo.
Int8Figures quantize_row(const float* row, std::size_t dim, std::int8_t* codes, std::int32_t& code_sum);

// Quantizes a query of `dim` floats (any dimension in range).
void quantize_query(const float* query, std::size_t dim, Int8Query& out);

// The figures of a vector from its codes and floats, with the margins of
// the proof (shared by the query and the vector kernels' reference).
Int8Figures int8_figures(float scale, double sum_x2, double sum_c2, double sum_e2);

}  // namespace velmoradb
