// BoundCodes: an 8-bit code per component of every stored vector, kept
// beside the float32 vectors, for an exact k-nearest search that computes
// the exact distance of only the vectors that can still be among the k.
//
// Each component i has 256 fine cells with float ends, taken from the data
// at build(): the per-component minimum and maximum of all vectors and
// quantiles of a sample in between. Every 16 fine cells make one coarse
// cell. A vector's code is its fine cell per component, stored as two
// halves in two buffers of the block layout of code_scan.h: the coarse cell
// (4 bits) and the fine cell within it (4 bits).
//
// A search builds, per query, tables of lower bounds per (component, cell)
// (distance_bounds.h) for both grids. The SIMD scan sums the coarse table
// over every vector's coarse code; a vector whose bound can still reach
// the current k-th distance has its fine bound taken: by a full scan of
// its block's whole codes where many of the block passed (on a path with a
// fast one), else by a sum of its own. Where the coarse scan keeps most
// vectors (Gaussian noise in high dimensions), it is skipped and every
// block gets the full scan. Only where the fine bound too can reach the
// k-th distance is the exact distance asked for (the caller's function,
// which must give the plain scan's bits). Every bound includes an
// allowance for float32 rounding, so the result is the plain scan's: the
// same distances bit for bit and the same ids, except that equal distances
// may come in any order (and which of several equal distances at the k-th
// place is kept).
//
// A vector appended after build() with a component beyond the cells moves
// the outer end of that component out to it.
//
// Always computed exactly: vectors with a NaN or infinite component, with a
// cosine norm of zero or infinity; every vector, for a query with a NaN or infinite
// component, a query whose dot products could overflow, a zero or infinite
// cosine query norm, and the Hamming metric.
//
// Slots follow the index's rules (vector_index.h): 0 .. size()-1, append()
// takes the next one, remove() moves the last slot into the freed one.
//
// Memory per vector: one byte per component (padded to a multiple of 4
// components), plus a 4-byte norm for cosine; the cell ends
// cost 257 floats per component.
//
// Not thread-safe for changes; searches only read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/codes/code_scan.h"
#include "engine/codes/distance_bounds.h"
#include "engine/kernels/metric.h"
#include "engine/codes/pruning_codes.h"
#include "engine/support/result.h"
#include "engine/index/slot_bitmap.h"
#include "engine/index/top_k.h"

namespace velmoradb {

class BoundCodes final : public PruningCodes {
 public:
  BoundCodes(DistanceMetric metric, std::size_t dimension);

  DistanceMetric metric() const { return metric_; }
  std::size_t dimension() const { return dim_; }
  std::size_t size() const override { return size_; }
  // Vectors that every search computes exactly.
  std::size_t exact_only_count() const override { return exact_only_count_; }
  // True once so many vectors are computed exactly, or so many were
  // appended since build() (the size doubled), that a build() over the
  // current vectors would prune better.
  bool needs_rebuild() const override;
  // Bytes held, cell ends included.
  std::size_t memory_bytes() const override;
  bool learns_from_rows() const override { return true; }
  std::unique_ptr<PruningCodes> clone() const override { return std::make_unique<BoundCodes>(*this); }
  // Chooses the scan path (tests run every path the CPU offers).
  void set_scan_path(const CodeScanPath& path) { scan_ = &path; }

  // Replaces everything: new cells from `count` rows of `dimension` floats
  // at `rows`, one after the other, and their codes in slots 0 .. count-1.
  void build(const float* rows, std::size_t count) override;
  // Codes `row` into the next slot, within the current cells.
  void append(const float* row) override;
  // Room for `count` vectors, so that appends up to it do not reallocate.
  void reserve(std::size_t count) override;
  // Codes `row` into `slot`; an error when slot >= size().
  Status replace(std::uint32_t slot, const float* row) override;
  // Moves the last slot's code into `slot` and drops the last slot; an
  // error when slot >= size().
  Status remove(std::uint32_t slot) override;

  // The k nearest slots, nearest first, as the plain scan would rank them;
  // only slots set in `filter` (when given) take part. `exact` is called
  // with query index 0.
  std::vector<Candidate> search(const float* query, std::size_t k, const ExactDistances& exact,
                                const SlotBitmap* filter = nullptr,
                                BoundSearchStats* stats = nullptr) const override;
  // The same for `nq` queries of `dimension` floats one after the other,
  // passing over the codes once per group of queries.
  std::vector<std::vector<Candidate>> search_batch(const float* queries, std::size_t nq, std::size_t k,
                                                   const ExactDistances& exact,
                                                   const SlotBitmap* filter = nullptr,
                                                   BoundSearchStats* stats = nullptr) const;

 private:
  struct QueryScan;
  struct PendingChunk;

  std::size_t block_bytes() const { return code_block_bytes(dim_); }
  // Writes the codes of `row` into `slot` (already present).
  void encode(std::size_t slot, const float* row);
  // The 8-bit code of component i of `slot`: coarse half in the block,
  // fine half in the slot's row.
  void put_code(std::size_t slot, std::size_t i, unsigned code);
  unsigned coarse_of(std::size_t slot, std::size_t i) const;
  unsigned code_of(std::size_t slot, std::size_t i) const;
  void set_exact_only(std::size_t slot, bool exact);
  // Cosine: the smallest and largest norm of the block's vectors that are
  // not computed exactly.
  void update_block_norms(std::size_t block);
  // The coarse step over blocks [first, end) for one query: the vectors that
  // the filter lets through and the coarse bound does not rule out, into
  // `chunk`, whose fine blocks it asks the cache for. Returns how many the
  // filter let through.
  std::size_t coarse_blocks(QueryScan& scan, std::size_t first, std::size_t end, const SlotBitmap* filter,
                            PendingChunk& chunk) const;
  // The coarse scan (CodeScanKernel) of blocks [first, first + count)
  // against `limits`, into `masks`. Where a filter leaves few of the blocks
  // a vector to take part (`live`, per block), only those are scanned (the
  // others' masks are 0), and the codes of the next chunk's such blocks are
  // asked for ahead.
  void scan_coarse(std::size_t first, std::size_t count, const std::uint8_t* table, const std::uint16_t* limits,
                   const std::uint32_t* live, const SlotBitmap* filter, std::uint32_t* masks) const;
  // The fine step over a chunk the coarse step filled: its survivors, those
  // the fine bound does not rule out and those always computed exactly.
  void finish_blocks(QueryScan& scan, PendingChunk& chunk, std::vector<std::uint32_t>& survivors) const;
  // Whether the fine bound of `slot` can still reach the k-th distance.
  bool fine_may_reach(const QueryScan& scan, std::uint32_t slot, std::int64_t limit, float kth) const;
  // A finer or coarser table once the k-th distance is known (see the .cpp).
  // norm_lo, norm_hi: cosine, the extremes of the coded vectors' norms.
  void rescale(QueryScan& scan, float norm_lo, float norm_hi) const;
  void prepare(QueryScan& scan, double min_scale) const;
  // The byte table of whole codes for the full scan, at a scale for the
  // current k-th distance; false when it cannot prune.
  bool prepare_full(QueryScan& scan) const;
  // Of the coarse survivors `masks` of blocks [first, first + count), clears
  // those whose fine bound rules them out: a full scan of the blocks with
  // many survivors, the fine sum of each survivor elsewhere.
  void refine(QueryScan& scan, std::size_t first, std::size_t count, std::uint32_t* masks) const;

  DistanceMetric metric_;
  std::size_t dim_;
  std::size_t size_ = 0;
  const CodeScanPath* scan_;
  std::vector<float> ends_;                // dim * (kFineCells + 1): component i's fine cell ends
  std::vector<float> coarse_inner_;        // the inner coarse ends, cell-major: [c - 1][i]
  std::vector<std::uint8_t> codes_;        // coarse halves: blocks of kCodeBlock vectors (code_scan.h)
  std::vector<std::uint8_t> fine_;         // fine halves: the same blocks as codes_
  std::vector<std::uint32_t> exact_only_;  // per block: bit j set when vector j is always computed exactly
  std::vector<float> norms_;               // cosine, per slot: sqrt(dot(x, x)) as the kernels compute it
  std::vector<float> block_norm_lo_;       // cosine, per block (update_block_norms)
  std::vector<float> block_norm_hi_;
  std::size_t exact_only_count_ = 0;
  std::size_t built_size_ = 0;  // vectors at the last build()
  std::vector<std::uint8_t> code_scratch_;  // encode()'s codes of one row
};

// An ExactDistances over vectors stored as rows (`dim` floats, slot s at
// rows + s * dim) and queries one after the other, through the metric's
// reference arithmetic (the bits of every kernel path). Both arrays must
// outlive the function.
ExactDistances exact_distances_of_rows(DistanceMetric metric, const float* queries, const float* rows,
                                       std::size_t dim);

}  // namespace velmoradb
