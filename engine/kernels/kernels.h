// Distance kernels over the index's interleaved block layout.
//
// Vectors are stored in blocks of kBlockWidth. A block holds dim * kBlockWidth
// floats: component i of the vector in lane j is at [i * kBlockWidth + j].
// A SIMD register then holds one component of many vectors, and every lane
// performs exactly the scalar sequence of metric.h, so every kernel path gives
// the same bits as the scalar reference.
//
// Kernels are free functions over raw pointers and sizes: they know nothing of
// ids or results. Lanes past the last stored vector hold zeros and produce
// distances that the caller ignores.
#pragma once

#include <cstddef>

#include "engine/kernels/metric.h"

namespace velmoradb {

constexpr std::size_t kBlockWidth = 16;

// The blocks that hold `vectors` vectors, the last one possibly in part.
constexpr std::size_t blocks_for(std::size_t vectors) { return (vectors + kBlockWidth - 1) / kBlockWidth; }

// One query against `nblocks` consecutive blocks.
//   query: dim floats; blocks: nblocks * dim * kBlockWidth floats;
//   out: nblocks * kBlockWidth distances, lane order.
using BlockKernel = void (*)(const float* query, const float* blocks, std::size_t nblocks,
                             std::size_t dim, float* out);

// Many queries against `nblocks` consecutive blocks.
//   queries: nq * dim floats, one query after the other;
//   out: row q (nq rows, each `out_stride` floats apart) receives the
//        nblocks * kBlockWidth distances of query q, lane order.
using BatchKernel = void (*)(const float* queries, std::size_t nq, const float* blocks,
                             std::size_t nblocks, std::size_t dim, float* out,
                             std::size_t out_stride);

struct Int8Chunk;
struct Int8Query;
// The int8 bound of the euclidean batch (int8_bounds.h): quantizes
// `nblocks` consecutive blocks into `out`; then, for `nq` queries against
// the chunk's blocks [first_block, first_block + nblocks), writes row q
// (out + q * out_stride) with the nblocks * kBlockWidth lower bounds of the
// squared distances, lane order.
using Int8QuantizeKernel = void (*)(const float* blocks, std::size_t nblocks, std::size_t dim, Int8Chunk& out);
using Int8BoundKernel = void (*)(const Int8Query* const* queries, std::size_t nq, const Int8Chunk& chunk,
                                 std::size_t first_block, std::size_t nblocks, std::size_t dim, float* out, std::size_t out_stride);

struct KernelSet {
  const char* name;                  // "scalar", "avx2", "avx512", "avx512vnni"
  BlockKernel block[kMetricCount];   // indexed by DistanceMetric
  BatchKernel batch[kMetricCount];   // indexed by DistanceMetric
  // Euclidean only: the sums of squared differences with each square fused
  // into the sum, for the bound of euclidean_sum_bound.h; not distances.
  // Null where the path has no fused multiply-add (the scalar path).
  BatchKernel fused_euclidean_sums = nullptr;
  // Euclidean only, preferred to the fused sums where present: the int8
  // bound. Null where the path has no 8-bit dot product instruction.
  Int8QuantizeKernel int8_quantize = nullptr;
  Int8BoundKernel int8_lower_bounds = nullptr;
  // Dot: the same codes, rows of lower bounds of the distance (the
  // negated dot product) itself.
  Int8BoundKernel int8_dot_lower_bounds = nullptr;
};

// The portable reference path; always available.
const KernelSet& scalar_kernels();
// Every kernel set this CPU can run, scalar first.
std::size_t available_kernels(const KernelSet** out, std::size_t capacity);
// The fastest set this CPU can run, chosen once.
const KernelSet& best_kernels();

}  // namespace velmoradb
