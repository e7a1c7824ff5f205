// PruningCodes: what an index keeps beside its float32 vectors for an exact
// k-nearest search that computes the exact distance of only the vectors
// that can still be among the k. The result is always the plain scan's:
// the same distances bit for bit and the same ids, except that equal
// distances may come in any order.
//
// Two kinds, chosen by make_pruning_codes:
// - Int8Codes (int8_codes.h): each vector rounded to 8-bit integers with a
//   scale of its own, bounded by an integer dot product instruction; where
//   the CPU has one (AVX-512 VNNI), for the euclidean, dot and cosine
//   metrics.
// - BoundCodes (bound_codes.h): an 8-bit cell per component from the data's
//   quantiles, bounded by table lookups; every other case.
//
// Slots follow the index's rules (vector_index.h): 0 .. size()-1, append()
// takes the next one, remove() moves the last slot into the freed one.
// Not thread-safe for changes; searches only read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/kernels/metric.h"
#include "engine/support/result.h"
#include "engine/index/slot_bitmap.h"
#include "engine/index/top_k.h"

namespace velmoradb {

struct KernelSet;
struct Int8Chunk;

// Writes the exact distances of query `query` (its index in the batch, 0
// for a single search) to the vectors in `slots[0 .. n)` into out[0 .. n),
// with the kernels' arithmetic.
using ExactDistances =
    std::function<void(std::size_t query, const std::uint32_t* slots, std::size_t n, float* out)>;

// Counts of one search (summed over a batch's queries).
struct BoundSearchStats {
  std::size_t candidates = 0;  // vectors the filter let through
  std::size_t refined = 0;     // of those, the ones whose fine bound was summed
  std::size_t exact = 0;       // of those, the ones computed exactly
  std::size_t full_only = 0;   // of the candidates, those bounded by a full scan with no coarse scan first
};

class PruningCodes {
 public:
  virtual ~PruningCodes() = default;
  virtual std::unique_ptr<PruningCodes> clone() const = 0;

  virtual std::size_t size() const = 0;
  // Vectors that every search computes exactly.
  virtual std::size_t exact_only_count() const = 0;
  // True when a build() over the current vectors would prune better.
  virtual bool needs_rebuild() const = 0;
  // Bytes held.
  virtual std::size_t memory_bytes() const = 0;
  // Whether build() learns something from its rows beyond their codes (the
  // cells of BoundCodes): then a sample of the vectors is worth building
  // from. Otherwise build() over no rows plus an append() per vector gives
  // the same codes.
  virtual bool learns_from_rows() const = 0;

  // Replaces everything with the codes of `count` rows of dimension() floats
  // at `rows`, one after the other, in slots 0 .. count-1.
  virtual void build(const float* rows, std::size_t count) = 0;
  // Codes `row` into the next slot.
  virtual void append(const float* row) = 0;
  // Room for `count` vectors, so that appends up to it do not reallocate.
  virtual void reserve(std::size_t count) = 0;
  // Codes `row` into `slot`; an error when slot >= size().
  virtual Status replace(std::uint32_t slot, const float* row) = 0;
  // Moves the last slot's code into `slot` and drops the last slot; an
  // error when slot >= size().
  virtual Status remove(std::uint32_t slot) = 0;

  // The k nearest slots, nearest first, as the plain scan would rank them;
  // only slots set in `filter` (when given) take part, and a filter of
  // another size than size() selects none. `exact` is called with query
  // index 0.
  virtual std::vector<Candidate> search(const float* query, std::size_t k, const ExactDistances& exact,
                                        const SlotBitmap* filter = nullptr,
                                        BoundSearchStats* stats = nullptr) const = 0;

  // Int8 codes: every slot's, in the layout of the batch's int8 bound
  // (int8_bounds.h), for a batch to bound against; else null.
  virtual const Int8Chunk* int8_chunk() const { return nullptr; }
  // Cosine int8 codes: every slot's norm (cosine_norm), beside int8_chunk(),
  // for a batch to turn the dot product's bounds into cosine bounds; else
  // null.
  virtual const float* int8_cosine_norms() const { return nullptr; }
};

// The kind that suits the metric, the dimension and the kernel set (above).
std::unique_ptr<PruningCodes> make_pruning_codes(DistanceMetric metric, std::size_t dimension,
                                                 const KernelSet& kernels);

}  // namespace velmoradb
