#include "engine/codes/bound_codes.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <string>

namespace velmoradb {

namespace {

constexpr std::size_t kEnds = kFineCells + 1;
constexpr std::size_t kFinePerCoarse = kFineCells / kCodeCells;
// The coarse ends sit at the quantile levels Phi(s * Phi^-1(c / 16)) of the
// data (Phi the normal distribution function): with s > 1 the middle cells
// widen and the tail cells narrow, against equal quantiles. A cell's loss in
// the bound grows with its width times the distance to the query, largest
// in the tails; s = 1.4 pruned best on Gaussian data (1.8% of vectors left
// against 2.3% for equal quantiles, 5% against 27% for the dot product).
constexpr double kCoarseSpread = 1.4;
// Rows sampled for the inner cell ends.
constexpr std::size_t kSampleRows = 4096;
// Blocks scanned between two updates of the k-th distance: each chunk's
// survivors go to the exact function in one call.
constexpr std::size_t kChunkBlocks = 8;
// Queries whose tables are held at once in a batch: each group makes one
// pass over the codes.
constexpr std::size_t kQueryGroup = 8;
// Table resolution: once the k-th distance is known, the scale is chosen so
// that the code-sum limit lands near kTargetLimit, and chosen again when it
// leaves [kLowLimit, kHighLimit] (the sums saturate at 65535; a small limit
// wastes resolution).
constexpr double kTargetLimit = 30000.0;
constexpr double kHighLimit = 60000.0;
constexpr double kLowLimit = 10000.0;
// Data the bounds cannot separate (high-dimensional Gaussian noise, where
// every distance is close to every other): once an eighth of the blocks
// are scanned, a query that still sends more than this share of the
// vectors of a window (kWindow) to the exact distance computes the rest
// exactly without reading their codes. Each exact distance reads its block
// of the arena, so at a few percent the codes no longer save reading the
// vectors.
constexpr double kGiveUpShare = 1.0 / 32;
// The same for the fine sums of single vectors (not the full scans of
// blocks): one costs about a read of the vector's floats.
constexpr double kGiveUpRefinedShare = 1.0 / 4;
// Where the coarse bounds keep more than this share of the vectors, a path
// with a fast full scan skips the coarse scan and takes the full bounds of
// every block: reading the coarse halves first no longer saves reading the
// fine ones.
constexpr double kFullOnlyShare = 1.0 / 2;
// The shares above are taken over windows of this many vectors seen with a
// full list, the first window judged being the one that ends past an
// eighth of the blocks: the first k-th distances are far from the final
// one, and the vectors scanned under them would count against the codes.
constexpr std::size_t kWindow = 32768;

// The k nearest distances offered so far, with the ordering of top_k.h:
// NaN is farther than every number and is kept when fewer than k numbers
// are; once full, only a strictly nearer distance enters.
class Nearest {
 public:
  explicit Nearest(std::size_t k) : k_(k) {}
  bool full() const { return heap_.size() == k_; }
  // The k-th distance once full; NaN (prunes nothing) before.
  float worst() const { return full() ? heap_.front().distance : std::numeric_limits<float>::quiet_NaN(); }
  void offer(float d, std::uint32_t slot) {
    if (k_ == 0) return;
    if (full()) {
      if (!farther(heap_.front(), Candidate{d, slot})) return;
      std::pop_heap(heap_.begin(), heap_.end(), farther_than);
      heap_.back() = {d, slot};
    } else {
      heap_.push_back({d, slot});
    }
    std::push_heap(heap_.begin(), heap_.end(), farther_than);
  }
  std::vector<Candidate> take() {
    std::sort_heap(heap_.begin(), heap_.end(), farther_than);
    return std::move(heap_);
  }

 private:
  // a is strictly farther than b.
  static bool farther(const Candidate& a, const Candidate& b) {
    if (std::isnan(b.distance)) return false;
    return std::isnan(a.distance) || a.distance > b.distance;
  }
  // Heap order: the farthest on top; sort_heap then gives nearest first.
  static bool farther_than(const Candidate& a, const Candidate& b) { return farther(b, a); }

  std::size_t k_;
  std::vector<Candidate> heap_;
};

VectorError slot_error(std::uint32_t slot, std::size_t size) {
  return VectorError::collection("bound codes: slot " + std::to_string(slot) + " is not below the size " +
                                 std::to_string(size));
}

bool finite(float x) { return std::fabs(x) <= std::numeric_limits<float>::max(); }

// The quantile levels of the inner coarse ends (see kCoarseSpread).
const std::array<double, kCodeCells + 1>& coarse_levels() {
  static const std::array<double, kCodeCells + 1> levels = [] {
    auto phi = [](double z) { return 0.5 * std::erfc(-z / std::sqrt(2.0)); };
    std::array<double, kCodeCells + 1> out{};
    out[kCodeCells] = 1.0;
    for (std::size_t c = 1; c < kCodeCells; ++c) {
      const double u = static_cast<double>(c) / kCodeCells;
      double lo = -40.0, hi = 40.0;  // Phi^-1(u) by bisection
      for (int it = 0; it < 100; ++it) {
        const double mid = (lo + hi) / 2;
        (phi(mid) < u ? lo : hi) = mid;
      }
      out[c] = phi(lo * kCoarseSpread);
    }
    return out;
  }();
  return levels;
}

}  // namespace

struct BoundCodes::QueryScan {
  QueryScan(std::size_t index, const float* q, std::size_t k) : query(index), vector(q), nearest(k) {}
  std::size_t query;
  const float* vector;
  QueryBounds bounds;                // coarse
  QueryBounds fine;                  // fine, for the fine sums
  QueryBounds full;                  // fine, byte entries, for the full scan (prepare_full)
  std::vector<std::uint8_t> full_table;
  double full_natural_scale = 0.0;
  std::vector<std::uint8_t> table;   // the coarse entries as the scan reads them
  double natural_scale = 0.0;        // the coarse scale with no entry saturated
  Nearest nearest;
  // In the current window (kWindow):
  std::size_t seen = 0;              // vectors offered by the filter with a full list
  std::size_t refined = 0;           // of those, fine bounds taken
  std::size_t fine_sums = 0;         // of those, by a fine sum (not a full scan)
  std::size_t kept = 0;              // of those, sent to the exact distance
  bool scan_all = false;             // given up on the codes (kGiveUpShare)
  bool full_only = false;            // skips the coarse scan (kFullOnlyShare)
  float norm_lo = 0.0f, norm_hi = 0.0f;  // cosine: the extremes of the coded vectors' norms
};

// A chunk of blocks between the coarse step and the fine step: a query's
// fine step of one chunk comes after its coarse step of the next.
struct BoundCodes::PendingChunk {
  std::size_t first = 0;           // first block
  std::size_t count = 0;           // blocks, at most kChunkBlocks
  std::size_t live_count = 0;      // vectors the filter let through
  bool was_full = false;           // the query had k distances at the coarse step
  bool refine = false;             // the fine bounds are to be taken
  std::uint32_t live[kChunkBlocks] = {};  // per block: the vectors the filter let through
  std::uint32_t bits[kChunkBlocks] = {};  // per block: the coarse survivors with codes
};

BoundCodes::BoundCodes(DistanceMetric metric, std::size_t dimension)
    : metric_(metric), dim_(dimension), scan_(&best_code_scan()), ends_(dimension * kEnds, 0.0f),
      coarse_inner_(dimension * (kCodeCells - 1), 0.0f) {}

bool BoundCodes::needs_rebuild() const {
  return (exact_only_count_ > 64 && exact_only_count_ > size() / 16) || size() >= 2 * built_size_ + 64;
}

std::size_t BoundCodes::memory_bytes() const {
  return codes_.capacity() + fine_.capacity() + exact_only_.capacity() * sizeof(std::uint32_t) +
         (norms_.capacity() + block_norm_lo_.capacity() + block_norm_hi_.capacity()) * sizeof(float) +
         (ends_.capacity() + coarse_inner_.capacity()) * sizeof(float);
}

void BoundCodes::build(const float* rows, std::size_t count) {
  // Cell ends per component: the exact minimum and maximum of the finite
  // values, and the quantiles of an even sample of rows in between, so
  // dense ranges get narrow cells. One row-major pass for the extremes.
  std::vector<float> lo(dim_, std::numeric_limits<float>::infinity());
  std::vector<float> hi(dim_, -std::numeric_limits<float>::infinity());
  for (std::size_t r = 0; r < count; ++r) {
    const float* row = rows + r * dim_;
    for (std::size_t i = 0; i < dim_; ++i) {
      const float x = row[i];
      const bool ok = finite(x);
      lo[i] = ok && x < lo[i] ? x : lo[i];
      hi[i] = ok && x > hi[i] ? x : hi[i];
    }
  }
  const std::size_t step = std::max<std::size_t>(1, count / kSampleRows);
  std::vector<float> sample;
  sample.reserve(count / step + 1);
  const auto& levels = coarse_levels();
  for (std::size_t i = 0; i < dim_; ++i) {
    float* e = ends_.data() + i * kEnds;
    if (lo[i] > hi[i]) {  // no finite value: any cells do
      std::fill(e, e + kEnds, 0.0f);
    } else {
      sample.clear();
      for (std::size_t r = 0; r < count; r += step) {
        float x = rows[r * dim_ + i];
        if (finite(x)) sample.push_back(x);
      }
      std::sort(sample.begin(), sample.end());
      // Coarse cell c spans the sample positions [at(c), at(c + 1)); its
      // 16 fine cells cut them evenly.
      auto at = [&](std::size_t c) { return static_cast<double>(sample.size()) * levels[c]; };
      for (std::size_t f = 1; f < kFineCells; ++f) {
        const std::size_t c = f / kFinePerCoarse;
        const double pos = at(c) + (at(c + 1) - at(c)) * static_cast<double>(f % kFinePerCoarse) / kFinePerCoarse;
        const std::size_t p = std::min(sample.size() - 1, static_cast<std::size_t>(pos));
        e[f] = sample.empty() ? lo[i] : std::clamp(sample[p], lo[i], hi[i]);
      }
      e[0] = lo[i];
      e[kFineCells] = hi[i];
    }
    for (std::size_t c = 1; c < kCodeCells; ++c) coarse_inner_[(c - 1) * dim_ + i] = e[c * kFinePerCoarse];
  }
  const std::size_t nblocks = (count + kCodeBlock - 1) / kCodeBlock;
  size_ = count;
  built_size_ = count;
  codes_.assign(nblocks * block_bytes() + kCodeBufferPadding, 0);
  fine_.assign(nblocks * block_bytes() + kCodeBufferPadding, 0);
  exact_only_.assign(nblocks, 0);
  exact_only_count_ = 0;
  const bool cosine = metric_ == DistanceMetric::Cosine;
  norms_.assign(cosine ? nblocks * kCodeBlock : 0, 0.0f);
  block_norm_lo_.assign(cosine ? nblocks : 0, 0.0f);
  block_norm_hi_.assign(cosine ? nblocks : 0, 0.0f);
  for (std::size_t r = 0; r < count; ++r) encode(r, rows + r * dim_);
  if (cosine)
    for (std::size_t b = 0; b < nblocks; ++b) update_block_norms(b);
}

void BoundCodes::put_code(std::size_t slot, std::size_t i, unsigned code) {
  const std::size_t at = slot / kCodeBlock * block_bytes() + i * 16 + slot % 16;
  const unsigned shift = slot % kCodeBlock < 16 ? 0 : 4;
  const unsigned keep = shift == 0 ? 0xf0u : 0x0fu;
  codes_[at] = static_cast<std::uint8_t>((codes_[at] & keep) | (code >> 4) << shift);
  fine_[at] = static_cast<std::uint8_t>((fine_[at] & keep) | (code & 15u) << shift);
}

unsigned BoundCodes::coarse_of(std::size_t slot, std::size_t i) const {
  const std::uint8_t byte = codes_[slot / kCodeBlock * block_bytes() + i * 16 + slot % 16];
  return slot % kCodeBlock < 16 ? byte & 0x0fu : byte >> 4;
}

unsigned BoundCodes::code_of(std::size_t slot, std::size_t i) const {
  const std::uint8_t byte = fine_[slot / kCodeBlock * block_bytes() + i * 16 + slot % 16];
  return coarse_of(slot, i) << 4 | (slot % kCodeBlock < 16 ? byte & 0x0fu : byte >> 4);
}

void BoundCodes::set_exact_only(std::size_t slot, bool exact) {
  std::uint32_t& word = exact_only_[slot / kCodeBlock];
  const std::uint32_t bit = std::uint32_t{1} << (slot % kCodeBlock);
  const bool was = (word & bit) != 0;
  exact_only_count_ = exact_only_count_ + (exact ? 1 : 0) - (was ? 1 : 0);
  word = exact ? word | bit : word & ~bit;
}

void BoundCodes::encode(std::size_t slot, const float* row) {
  bool exact = false;
  for (std::size_t i = 0; i < dim_; ++i) exact = exact || !finite(row[i]);
  // A finite component beyond the outer ends moves that end out to it: the
  // first (last) cell grows, and every vector already in it stays in it, so
  // their codes and bounds stay true; only that cell's bound loosens.
  for (std::size_t i = 0; i < dim_ && !exact; ++i) {
    float* e = ends_.data() + i * kEnds;
    e[0] = std::min(e[0], row[i]);
    e[kFineCells] = std::max(e[kFineCells], row[i]);
  }
  // The cells of x: E[code] <= x <= E[code + 1] (code_scan.h).
  if (!exact) {
    code_scratch_.resize(dim_);
    scan_->encode(row, ends_.data(), dim_, code_scratch_.data());
    const std::size_t column = slot / kCodeBlock * block_bytes() + slot % 16;
    const unsigned shift = slot % kCodeBlock < 16 ? 0 : 4;
    const std::uint8_t keep = static_cast<std::uint8_t>(shift == 0 ? 0xf0u : 0x0fu);
    for (std::size_t i = 0; i < dim_; ++i) {
      const unsigned code = code_scratch_[i];
      std::uint8_t& coarse = codes_[column + i * 16];
      std::uint8_t& fine = fine_[column + i * 16];
      coarse = static_cast<std::uint8_t>((coarse & keep) | (code >> 4) << shift);
      fine = static_cast<std::uint8_t>((fine & keep) | (code & 15u) << shift);
    }
  }
  if (metric_ == DistanceMetric::Cosine) {
    float norm = exact ? 0.0f : std::sqrt(dot_product(row, row, dim_));
    norms_[slot] = norm;
    if (!(norm > 0.0f) || std::isinf(norm)) exact = true;
  }
  if (exact)
    for (std::size_t i = 0; i < dim_; ++i) put_code(slot, i, 0);
  set_exact_only(slot, exact);
}

void BoundCodes::update_block_norms(std::size_t block) {
  float lo = std::numeric_limits<float>::infinity(), hi = 0.0f;
  const std::size_t first = block * kCodeBlock, end = std::min(size_, first + kCodeBlock);
  for (std::size_t s = first; s < end; ++s) {
    if (exact_only_[block] >> (s - first) & 1u) continue;
    lo = std::min(lo, norms_[s]);
    hi = std::max(hi, norms_[s]);
  }
  block_norm_lo_[block] = lo;
  block_norm_hi_[block] = hi;
}

void BoundCodes::append(const float* row) {
  const std::size_t slot = size_++;
  if (slot % kCodeBlock == 0) {
    codes_.resize(std::max(codes_.size(), kCodeBufferPadding) + block_bytes(), 0);
    fine_.resize(std::max(fine_.size(), kCodeBufferPadding) + block_bytes(), 0);
    exact_only_.push_back(0);
    if (metric_ == DistanceMetric::Cosine) {
      norms_.resize(norms_.size() + kCodeBlock, 0.0f);
      block_norm_lo_.push_back(0.0f);
      block_norm_hi_.push_back(0.0f);
    }
  }
  encode(slot, row);
  if (metric_ == DistanceMetric::Cosine) update_block_norms(slot / kCodeBlock);
}

void BoundCodes::reserve(std::size_t count) {
  const std::size_t nblocks = (count + kCodeBlock - 1) / kCodeBlock;
  codes_.reserve(nblocks * block_bytes() + kCodeBufferPadding);
  fine_.reserve(nblocks * block_bytes() + kCodeBufferPadding);
  exact_only_.reserve(nblocks);
  if (metric_ == DistanceMetric::Cosine) {
    norms_.reserve(nblocks * kCodeBlock);
    block_norm_lo_.reserve(nblocks);
    block_norm_hi_.reserve(nblocks);
  }
}

Status BoundCodes::replace(std::uint32_t slot, const float* row) {
  if (slot >= size()) return slot_error(slot, size());
  encode(slot, row);
  if (metric_ == DistanceMetric::Cosine) update_block_norms(slot / kCodeBlock);
  return {};
}

Status BoundCodes::remove(std::uint32_t slot) {
  if (slot >= size()) return slot_error(slot, size());
  const std::size_t last = size_ - 1;
  const bool last_exact = (exact_only_[last / kCodeBlock] >> (last % kCodeBlock) & 1u) != 0;
  if (slot != last) {
    for (std::size_t i = 0; i < dim_; ++i) put_code(slot, i, code_of(last, i));
    set_exact_only(slot, last_exact);
    if (!norms_.empty()) norms_[slot] = norms_[last];
  }
  // The last slot is left as a fresh one would be.
  for (std::size_t i = 0; i < dim_; ++i) put_code(last, i, 0);
  set_exact_only(last, false);
  if (!norms_.empty()) norms_[last] = 0.0f;
  size_ = last;
  if (size_ % kCodeBlock == 0) {
    codes_.resize(codes_.size() - block_bytes());
    fine_.resize(fine_.size() - block_bytes());
    exact_only_.pop_back();
    if (metric_ == DistanceMetric::Cosine) {
      norms_.resize(norms_.size() - kCodeBlock);
      block_norm_lo_.pop_back();
      block_norm_hi_.pop_back();
    }
  }
  if (metric_ == DistanceMetric::Cosine) {
    if (slot / kCodeBlock < block_norm_lo_.size()) update_block_norms(slot / kCodeBlock);
    if (last / kCodeBlock < block_norm_lo_.size()) update_block_norms(last / kCodeBlock);
  }
  return {};
}

std::size_t BoundCodes::coarse_blocks(QueryScan& scan, std::size_t first, std::size_t end, const SlotBitmap* filter,
                                      PendingChunk& chunk) const {
  const QueryBounds& qb = scan.bounds;
  const std::size_t count = end - first;
  chunk.first = first;
  chunk.count = count;
  chunk.was_full = scan.nearest.full();
  chunk.refine = false;
  std::uint32_t* masks = chunk.bits;
  std::uint32_t* live = chunk.live;
  std::uint16_t limits[kChunkBlocks];
  // Per block: the vectors that take part (filter, and the end of the
  // last block).
  std::size_t live_count = 0;
  for (std::size_t b = 0; b < count; ++b) {
    const std::size_t block = first + b;
    const std::size_t in_block = std::min(kCodeBlock, size_ - block * kCodeBlock);
    std::uint32_t bits = in_block == kCodeBlock ? ~std::uint32_t{0} : (std::uint32_t{1} << in_block) - 1;
    if (filter) bits &= filter->block32_bits(block);
    live[b] = bits;
    live_count += static_cast<std::size_t>(std::popcount(bits));
  }
  chunk.live_count = live_count;
  if (live_count == 0) {
    std::fill(masks, masks + count, 0);
    return 0;
  }

  const float kth = scan.nearest.worst();
  const bool prune = qb.prunable && scan.nearest.full() && !scan.scan_all;
  // A block's limit: all pass (kNoCodeLimit or above the largest sum), none
  // pass (below 0), or a sum limit for the scan.
  if (!prune || scan.full_only) {
    std::fill(masks, masks + count, ~std::uint32_t{0});
  } else if (metric_ == DistanceMetric::Cosine) {
    bool need_scan = false;
    for (std::size_t b = 0; b < count; ++b) {
      const std::size_t block = first + b;
      std::int64_t limit = kNoCodeLimit;
      if (live[b] & ~exact_only_[block]) {
        const float den_lo = qb.query_norm * block_norm_lo_[block];
        const float den_hi = qb.query_norm * block_norm_hi_[block];
        limit = cosine_code_sum_limit(qb, kth, den_lo, den_hi);
      }
      masks[b] = limit < 0 ? 0 : ~std::uint32_t{0};
      limits[b] = static_cast<std::uint16_t>(std::clamp<std::int64_t>(limit, 0, kCodeSumMax));
      need_scan = need_scan || (limit >= 0 && limit < kCodeSumMax);
    }
    if (need_scan) {
      std::uint32_t scanned_masks[kChunkBlocks];
      scan_coarse(first, count, scan.table.data(), limits, live, filter, scanned_masks);
      for (std::size_t b = 0; b < count; ++b) masks[b] &= scanned_masks[b];
    }
  } else {
    const std::int64_t limit = code_sum_limit(qb, kth);
    if (limit < 0) {
      std::fill(masks, masks + count, 0);
    } else if (limit >= kCodeSumMax) {
      std::fill(masks, masks + count, ~std::uint32_t{0});
    } else {
      std::fill(limits, limits + count, static_cast<std::uint16_t>(limit));
      scan_coarse(first, count, scan.table.data(), limits, live, filter, masks);
    }
  }
  // The coarse survivors, whose fine bounds the fine step takes (the
  // vectors always computed exactly have none).
  for (std::size_t b = 0; b < count; ++b) masks[b] &= ~exact_only_[first + b] & live[b];
  chunk.refine = prune && scan.fine.prunable;
  if (chunk.refine) {
    // A fine sum reads a byte in every 16 of its block's fine halves, so
    // the whole block: asked for now, it arrives while the next chunk's
    // coarse codes are scanned. Blocks left to a full scan are read by it
    // in order.
    for (std::size_t b = 0; b < count; ++b) {
      const auto kept = static_cast<std::size_t>(std::popcount(masks[b]));
      if (kept == 0 || kept >= scan_->full_scan_from) continue;
      const std::uint8_t* fine = fine_.data() + (first + b) * block_bytes();
      for (std::size_t at = 0; at < block_bytes(); at += 64) __builtin_prefetch(fine + at, 0, 2);
    }
  }
  return live_count;
}

void BoundCodes::scan_coarse(std::size_t first, std::size_t count, const std::uint8_t* table,
                             const std::uint16_t* limits, const std::uint32_t* live, const SlotBitmap* filter,
                             std::uint32_t* masks) const {
  std::size_t marked = 0;
  for (std::size_t b = 0; b < count; ++b) marked += live[b] != 0 ? 1 : 0;
  if (filter == nullptr || marked * kDenseShare >= count) {
    scan_->scan(codes_.data() + first * block_bytes(), count, dim_, table, limits, masks);
    return;
  }
  const std::size_t nblocks = (size_ + kCodeBlock - 1) / kCodeBlock;
  for (std::size_t block = first + count; block < std::min(nblocks, first + 2 * count); ++block) {
    if (filter->block32_bits(block) == 0) continue;
    const std::uint8_t* codes = codes_.data() + block * block_bytes();
    for (std::size_t at = 0; at < block_bytes(); at += 64) __builtin_prefetch(codes + at, 0, 2);
  }
  for (std::size_t b = 0; b < count; ++b) {
    masks[b] = 0;
    if (live[b] != 0) scan_->scan(codes_.data() + (first + b) * block_bytes(), 1, dim_, table, limits + b, masks + b);
  }
}

void BoundCodes::finish_blocks(QueryScan& scan, PendingChunk& chunk, std::vector<std::uint32_t>& survivors) const {
  if (chunk.live_count == 0) return;
  // The k-th distance may have come nearer since the coarse step, which
  // only helps the fine bounds.
  if (chunk.refine && !scan.scan_all) refine(scan, chunk.first, chunk.count, chunk.bits);
  for (std::size_t b = 0; b < chunk.count; ++b) {
    const std::size_t block = chunk.first + b;
    for (std::uint32_t left = chunk.bits[b] | (exact_only_[block] & chunk.live[b]); left != 0; left &= left - 1)
      survivors.push_back(static_cast<std::uint32_t>(block * kCodeBlock + static_cast<std::size_t>(std::countr_zero(left))));
  }
}

void BoundCodes::refine(QueryScan& scan, std::size_t first, std::size_t count, std::uint32_t* masks) const {
  const float kth = scan.nearest.worst();
  const bool cosine = metric_ == DistanceMetric::Cosine;
  // Blocks with many survivors: one full scan over their codes, against the
  // limit (cosine: each vector's test with its own norm). Where no limit
  // fits the sums, the fine sums of its vectors instead.
  bool done[kChunkBlocks] = {};
  bool any_dense = false;
  std::size_t refined = 0;
  for (std::size_t b = 0; b < count; ++b) {
    const auto kept = static_cast<std::size_t>(std::popcount(masks[b]));
    refined += kept;
    any_dense = any_dense || kept >= scan_->full_scan_from;
  }
  scan.refined += refined;
  if (refined == 0) return;
  const bool full_ready = prepare_full(scan);
  if (any_dense && full_ready) {
    std::uint32_t dense[kChunkBlocks];
    std::int64_t limits[kChunkBlocks];
    std::size_t ndense = 0;
    const float qn = scan.full.query_norm;
    for (std::size_t b = 0; b < count; ++b) {
      if (static_cast<std::size_t>(std::popcount(masks[b])) < scan_->full_scan_from) continue;
      const std::size_t block = first + b;
      std::int64_t limit = 0;
      if (cosine) {
        // A limit over the block's range of norms, then each vector's own
        // test; sums (saturated or not) are lower bounds either way.
        limit = std::min<std::int64_t>(
            cosine_code_sum_limit(scan.full, kth, qn * block_norm_lo_[block], qn * block_norm_hi_[block]), kCodeSumMax);
      } else {
        limit = code_sum_limit(scan.full, kth);
        if (limit >= kCodeSumMax) continue;  // no sum rules a vector out: the fine sums instead
      }
      done[b] = true;
      if (limit < 0) {
        masks[b] = 0;
        continue;
      }
      dense[ndense] = static_cast<std::uint32_t>(block);
      limits[ndense++] = limit;
    }
    if (ndense > 0) {
      std::uint16_t sums[kChunkBlocks * kCodeBlock];
      scan_->full_scan(codes_.data(), fine_.data(), dense, ndense, dim_, scan.full_table.data(), sums);
      for (std::size_t x = 0; x < ndense; ++x) {
        std::uint32_t& mask = masks[dense[x] - first];
        for (std::uint32_t left = mask; left != 0; left &= left - 1) {
          const auto j = static_cast<std::size_t>(std::countr_zero(left));
          const std::uint16_t sum = sums[x * kCodeBlock + j];
          bool keep = sum <= limits[x];
          if (keep && cosine) {
            const float den = qn * norms_[dense[x] * kCodeBlock + j];
            keep = !(den > 0.0f) || std::isinf(den) || cosine_may_reach(scan.full, sum, den, kth);
          }
          if (!keep) mask &= ~(std::uint32_t{1} << j);
        }
      }
    }
  }
  // The other blocks' survivors: first their sums over the byte entries of
  // the full scan, whose table (one byte per entry) stays in the nearest
  // cache where the fine table does not.
  for (std::size_t b = 0; b < count; ++b)
    if (!done[b]) scan.fine_sums += static_cast<std::size_t>(std::popcount(masks[b]));
  if (full_ready) {
    const float qn = scan.full.query_norm;
    const std::int64_t limit = cosine ? 0 : code_sum_limit(scan.full, kth);
    const std::uint32_t stop = cosine || limit >= std::int64_t{1} << 32 ? ~std::uint32_t{0}
                               : limit < 0                              ? 0
                                                                        : static_cast<std::uint32_t>(limit);
    if (cosine || limit < std::int64_t{1} << 32) {
      for (std::size_t b = 0; b < count; ++b) {
        if (done[b]) continue;
        const std::size_t block = first + b;
        const std::uint8_t* coarse = codes_.data() + block * block_bytes();
        const std::uint8_t* fine = fine_.data() + block * block_bytes();
        for (std::uint32_t left = masks[b]; left != 0; left &= left - 1) {
          const auto j = static_cast<unsigned>(std::countr_zero(left));
          const std::uint32_t sum = scan_->fine_sum8(coarse, fine, j, scan.full_table.data(), dim_, stop);
          bool keep = limit >= 0 && sum <= stop;
          if (cosine) {
            const float den = qn * norms_[block * kCodeBlock + j];
            keep = !(den > 0.0f) || std::isinf(den) || cosine_may_reach(scan.full, sum, den, kth);
          }
          if (!keep) masks[b] &= ~(std::uint32_t{1} << j);
        }
      }
    }
  }
  const std::int64_t fine_limit = metric_ != DistanceMetric::Cosine ? code_sum_limit(scan.fine, kth) : 0;
  // The fine sums: of the survivors of the full scans too, whose byte
  // entries lost up to one unit each to rounding; the fine table's entries
  // are finer, and the few vectors left cost more in exact distances, each
  // of which reads its whole block of the arena.
  for (std::size_t b = 0; b < count; ++b) {
    const std::size_t block = first + b;
    for (std::uint32_t left = masks[b]; left != 0; left &= left - 1) {
      const std::uint32_t slot =
          static_cast<std::uint32_t>(block * kCodeBlock + static_cast<std::size_t>(std::countr_zero(left)));
      if (!fine_may_reach(scan, slot, fine_limit, kth)) masks[b] &= ~(std::uint32_t{1} << (slot % kCodeBlock));
    }
  }
}

bool BoundCodes::prepare_full(QueryScan& scan) const {
  auto build = [&](double min_scale) {
    requantize_query_bounds(scan.fine, kCodeEntryMax, min_scale, scan.full);
    scan.full_table.assign(padded_code_components(dim_) * kFineCells + kByteTablePadding, 0);
    if (scan.full.prunable)
      std::copy(scan.full.table.begin(), scan.full.table.end(), scan.full_table.begin());  // entries <= 255
  };
  if (scan.full_table.empty()) {
    build(0.0);
    scan.full_natural_scale = scan.full.scale;
  }
  if (!scan.full.prunable) return false;
  // As rescale: a limit near kTargetLimit for the current k-th distance.
  const float kth = scan.nearest.worst();
  const float qn = scan.full.query_norm;
  const double wanted = metric_ == DistanceMetric::Cosine
                            ? cosine_scale_for_limit(scan.full, kth, qn * scan.norm_lo, qn * scan.norm_hi, kTargetLimit)
                            : scale_for_limit(scan.full, kth, kTargetLimit);
  if (wanted > 0.0) {
    const double limit_now = kTargetLimit * wanted / scan.full.scale;
    if (limit_now > kHighLimit || (limit_now < kLowLimit && scan.full.scale > scan.full_natural_scale)) build(wanted);
  }
  return scan.full.prunable;
}

bool BoundCodes::fine_may_reach(const QueryScan& scan, std::uint32_t slot, std::int64_t limit, float kth) const {
  const std::size_t block = slot / kCodeBlock * block_bytes();
  const std::uint8_t* coarse = codes_.data() + block;
  const std::uint8_t* fine = fine_.data() + block;
  const unsigned vector = slot % kCodeBlock;
  const std::uint32_t* table = scan.fine.table.data();
  if (metric_ == DistanceMetric::Cosine) {
    const std::uint32_t sum = scan_->fine_sum(coarse, fine, vector, table, dim_, std::numeric_limits<std::uint32_t>::max());
    const float den = scan.bounds.query_norm * norms_[slot];
    return !(den > 0.0f) || std::isinf(den) || cosine_may_reach(scan.fine, sum, den, kth);
  }
  if (limit < 0) return false;
  if (limit >= std::int64_t{1} << 32) return true;
  const std::uint32_t lim = static_cast<std::uint32_t>(limit);
  return scan_->fine_sum(coarse, fine, vector, table, dim_, lim) <= lim;
}

// The table's scale is only a resolution: any scale gives a valid bound.
// A finer one separates near distances better, but entries saturate at
// kCodeEntryMax and sums at 65535; so once the k-th distance is known the
// scale is set for a limit near kTargetLimit, never finer than the scale
// that saturates no entry unless the limit needs it.
void BoundCodes::rescale(QueryScan& scan, float norm_lo, float norm_hi) const {
  QueryBounds& qb = scan.bounds;
  if (!qb.prunable || !scan.nearest.full()) return;
  const float kth = scan.nearest.worst();
  double wanted = 0.0;
  if (metric_ == DistanceMetric::Cosine) {
    wanted = cosine_scale_for_limit(qb, kth, qb.query_norm * norm_lo, qb.query_norm * norm_hi, kTargetLimit);
  } else {
    wanted = scale_for_limit(qb, kth, kTargetLimit);
  }
  if (!(wanted > 0.0)) return;
  const double limit_now = kTargetLimit * wanted / qb.scale;
  const bool too_coarse_for_sums = limit_now > kHighLimit;
  const bool finer_possible = limit_now < kLowLimit && qb.scale > scan.natural_scale;
  if (!too_coarse_for_sums && !finer_possible) return;
  prepare(scan, wanted);
}

void BoundCodes::prepare(QueryScan& scan, double min_scale) const {
  const CellGrid coarse{ends_.data(), kEnds, kFinePerCoarse, kCodeCells};
  prepare_query_bounds(metric_, scan.vector, coarse, dim_, kCodeEntryMax, scan.bounds, min_scale);
  scan.table.assign(padded_code_components(dim_) * kCodeCells, 0);
  if (scan.bounds.prunable)
    std::copy(scan.bounds.table.begin(), scan.bounds.table.end(), scan.table.begin());  // entries <= 255
}

std::vector<Candidate> BoundCodes::search(const float* query, std::size_t k, const ExactDistances& exact,
                                          const SlotBitmap* filter, BoundSearchStats* stats) const {
  auto all = search_batch(query, 1, k, exact, filter, stats);
  return std::move(all.front());
}

std::vector<std::vector<Candidate>> BoundCodes::search_batch(const float* queries, std::size_t nq, std::size_t k,
                                                             const ExactDistances& exact,
                                                             const SlotBitmap* filter,
                                                             BoundSearchStats* stats) const {
  std::vector<std::vector<Candidate>> out(nq);
  const std::size_t n = size();
  // A filter has one bit per slot; any other selects none of these slots
  // (searching them all would return records the caller left out).
  if (k == 0 || n == 0 || (filter != nullptr && filter->size() != n)) return out;
  const std::size_t nblocks = (n + kCodeBlock - 1) / kCodeBlock;
  std::vector<std::uint32_t> survivors;
  survivors.reserve(kChunkBlocks * kCodeBlock);
  std::vector<float> dist(kChunkBlocks * kCodeBlock);
  // Cosine: the smallest and largest norm of the vectors with codes, for
  // the table's scale (rescale), taken once for the whole batch.
  float norm_lo = std::numeric_limits<float>::infinity(), norm_hi = 0.0f;
  for (std::size_t b = 0; b < block_norm_lo_.size(); ++b) {
    norm_lo = std::min(norm_lo, block_norm_lo_[b]);
    norm_hi = std::max(norm_hi, block_norm_hi_[b]);
  }
  for (std::size_t g = 0; g < nq; g += kQueryGroup) {
    const std::size_t group = std::min(kQueryGroup, nq - g);
    std::vector<QueryScan> scans;
    scans.reserve(group);
    for (std::size_t q = 0; q < group; ++q) {
      QueryScan& scan = scans.emplace_back(g + q, queries + (g + q) * dim_, k);
      scan.norm_lo = norm_lo;
      scan.norm_hi = norm_hi;
      prepare(scan, 0.0);
      scan.natural_scale = scan.bounds.scale;
      const CellGrid fine{ends_.data(), kEnds, 1, kFineCells};
      const auto entry_max = static_cast<std::uint32_t>(4294967295.0 / static_cast<double>(std::max<std::size_t>(dim_, 1)));
      prepare_query_bounds(metric_, scan.vector, fine, dim_, std::min<std::uint32_t>(entry_max, 1u << 24), scan.fine);
    }
    // The fine step of a query's chunk, once the coarse step of its next
    // chunk has run (or the blocks are done).
    auto finish = [&](QueryScan& scan, PendingChunk& chunk) {
      const std::size_t refined_before = scan.refined;
      survivors.clear();
      finish_blocks(scan, chunk, survivors);
      if (stats) {
        stats->exact += survivors.size();
        stats->refined += scan.refined - refined_before;
      }
      if (chunk.was_full) {
        scan.seen += chunk.live_count;
        scan.kept += survivors.size();
        if (scan.seen >= kWindow) {
          const double seen = static_cast<double>(scan.seen);
          const std::size_t end = chunk.first + chunk.count;
          if (end * 8 >= nblocks && (static_cast<double>(scan.kept) > kGiveUpShare * seen ||
                                     static_cast<double>(scan.fine_sums) > kGiveUpRefinedShare * seen))
            scan.scan_all = true;
          if (scan_->full_scan_from <= kCodeBlock && static_cast<double>(scan.refined) > kFullOnlyShare * seen)
            scan.full_only = true;
          scan.seen = scan.kept = scan.refined = scan.fine_sums = 0;
        }
      }
      chunk.live_count = 0;
      if (survivors.empty()) return;
      exact(scan.query, survivors.data(), survivors.size(), dist.data());
      for (std::size_t s = 0; s < survivors.size(); ++s) scan.nearest.offer(dist[s], survivors[s]);
      if (!chunk.was_full || chunk.first % (8 * kChunkBlocks) == 0) rescale(scan, norm_lo, norm_hi);
    };
    std::vector<PendingChunk> pending(group);
    for (std::size_t first = 0; first < nblocks; first += kChunkBlocks) {
      const std::size_t end = std::min(nblocks, first + kChunkBlocks);
      for (std::size_t q = 0; q < group; ++q) {
        QueryScan& scan = scans[q];
        PendingChunk next;
        // Until the query has k distances, the chunks go one at a time:
        // each one's exact distances make the next one's bounds.
        if (!scan.nearest.full()) finish(scan, pending[q]);
        const bool full_only = scan.full_only;
        const std::size_t live = coarse_blocks(scan, first, end, filter, next);
        if (stats && full_only) stats->full_only += live;
        finish(scan, pending[q]);
        pending[q] = next;
      }
    }
    for (std::size_t q = 0; q < group; ++q) finish(scans[q], pending[q]);
    if (stats) stats->candidates += (filter ? filter->count() : n) * group;
    for (QueryScan& scan : scans) out[scan.query] = scan.nearest.take();
  }
  return out;
}

ExactDistances exact_distances_of_rows(DistanceMetric metric, const float* queries, const float* rows,
                                       std::size_t dim) {
  return [metric, queries, rows, dim](std::size_t query, const std::uint32_t* slots, std::size_t n, float* out) {
    const float* q = queries + query * dim;
    for (std::size_t s = 0; s < n; ++s) out[s] = distance(metric, q, rows + std::size_t{slots[s]} * dim, dim);
  };
}

}  // namespace velmoradb
