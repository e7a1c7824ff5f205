// Int8Codes: every stored vector rounded to 8-bit integers with a scale of
// its own (int8_bounds.h), kept beside the float32 vectors for an exact
// k-nearest search (pruning_codes.h). A search rounds the query the same
// way, takes the integer dot product of the query's codes with every
// vector's (AVX-512 VNNI: 64 products per instruction, reading one byte
// per component instead of four) and from it a lower bound of the
// distance that holds for the float32 arithmetic, rounding included (the
// proof is in int8_bounds.cpp). Only the vectors whose bound can still
// reach the current k-th distance get their exact distance.
//
// Euclidean, dot and cosine metrics (cosine from the dot product's bound and
// the norms), dimensions kInt8MinDim .. kInt8MaxDim, where a kernel set
// offers the int8 bound. Nothing is learnt from the data, so codes never
// need a rebuild: inserts, replaces and removes keep them exact.
//
// Always computed exactly: vectors with a NaN or infinite component, or a
// squared norm near the float range, or (cosine) a norm of zero; every
// vector, for such a query.
//
// Memory per vector: int8_padded(dim) bytes of codes plus 20 bytes of
// figures (the scale, the bounds of three norms, the sum of the codes);
// cosine, 4 more for the norm.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/codes/int8_bounds.h"
#include "engine/kernels/kernels.h"
#include "engine/codes/pruning_codes.h"

namespace velmoradb {

// The norm of a vector as the cosine distance computes it (metric.cpp).
float cosine_norm(const float* x, std::size_t dim);
// Turns lower bounds of the dot distance -p (the dot kernels' int8 bounds)
// of vectors with these norms into lower bounds of their cosine distance
// to a query of norm `query_norm`, in place; NaN where there is none. The
// proof is beside the definition.
void cosine_bounds(float* lower, const float* norms, std::size_t n, float query_norm);

class Int8Codes final : public PruningCodes {
 public:
  // `kernels` must have the int8 bound of `metric` (not Hamming), and
  // the dimension must be in kInt8MinDim .. kInt8MaxDim.
  Int8Codes(DistanceMetric metric, std::size_t dimension, const KernelSet& kernels);
  // Whether Int8Codes can serve this metric, dimension and kernel set.
  static bool suits(DistanceMetric metric, std::size_t dimension, const KernelSet& kernels);

  std::unique_ptr<PruningCodes> clone() const override { return std::make_unique<Int8Codes>(*this); }
  std::size_t size() const override { return size_; }
  std::size_t exact_only_count() const override { return exact_only_count_; }
  bool needs_rebuild() const override { return false; }
  std::size_t memory_bytes() const override;
  bool learns_from_rows() const override { return false; }

  void build(const float* rows, std::size_t count) override;
  void append(const float* row) override;
  void reserve(std::size_t count) override;
  Status replace(std::uint32_t slot, const float* row) override;
  Status remove(std::uint32_t slot) override;

  std::vector<Candidate> search(const float* query, std::size_t k, const ExactDistances& exact,
                                const SlotBitmap* filter = nullptr,
                                BoundSearchStats* stats = nullptr) const override;
  const Int8Chunk* int8_chunk() const override { return &chunk_; }
  const float* int8_cosine_norms() const override {
    return metric_ == DistanceMetric::Cosine ? norms_.data() : nullptr;
  }

 private:
  std::size_t block_bytes() const { return int8_padded(dim_) * kBlockWidth; }
  // Codes `row` into `slot`'s lane (the slot's block present).
  void encode(std::size_t slot, const float* row);
  // Copies lane `from` to lane `to`; clears lane `from` when `to` is none.
  void move_lane(std::size_t from, std::size_t to);
  void clear_lane(std::size_t slot);
  bool lane_exact_only(std::size_t slot) const;
  // Asks for the memory of `block`'s codes and figures ahead of their use.
  void prefetch_block(std::size_t block) const;

  DistanceMetric metric_;
  std::size_t dim_;
  Int8BoundKernel bounds_;
  std::size_t size_ = 0;
  std::size_t exact_only_count_ = 0;
  Int8Chunk chunk_;  // every block of the index, 0 .. ceil(size / kBlockWidth)
  Int8Chunk::Array<float> norms_;  // cosine, per lane: the vector's norm (cosine_norm)
};

}  // namespace velmoradb
