#include "engine/codes/int8_codes.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/codes/euclidean_sum_bound.h"
#include "engine/kernels/metric.h"

namespace velmoradb {

namespace {

// A search bounds this many blocks at a time: the bounds (4 KiB) stay in L1
// while the list takes them.
constexpr std::size_t kChunkBlocks = 64;
// A filtered search bounds a chunk whole when at least 1 / kDenseShare of
// its blocks hold a candidate (slot_bitmap.h); elsewhere it bounds the
// blocks with a candidate one by one, asking for the codes of the one
// kPrefetchBlocks such blocks ahead.
constexpr std::size_t kPrefetchBlocks = 4;
// From this dimension on, a search (filtered or not) keeps every bound and
// takes the exact distances in a second pass, with a cap on the k-th
// distance known from the start. An exact distance reads the slot's whole
// block (kBlockWidth vectors): in one pass the early ones, against a k-th
// distance still far off, cost more than writing and reading 4 bytes per
// vector.
constexpr std::size_t kTwoPassMinDim = 256;

// Cosine takes the dot product's bounds and turns them into its own
// (cosine_bounds).
Int8BoundKernel bound_kernel(DistanceMetric metric, const KernelSet& kernels) {
  if (metric == DistanceMetric::Euclidean) return kernels.int8_lower_bounds;
  if (metric == DistanceMetric::DotProduct || metric == DistanceMetric::Cosine) return kernels.int8_dot_lower_bounds;
  return nullptr;
}

template <class T>
std::size_t bytes_of(const Int8Chunk::Array<T>& v) {
  return v.capacity() * sizeof(T);
}

}  // namespace

float cosine_norm(const float* x, std::size_t dim) { return std::sqrt(dot_product(x, x, dim)); }

// Why the cosine bound holds. The distance is d = fl(1 - fl(p / den)),
// den = fl(nq * nx), with p the reference's dot product and nq, nx the
// norms as cosine_norm computes them (every kernel path gives these bits).
// The dot kernel's bound `lower` of the distance -p gives p <= u := -lower
// (negation is exact). Where den is positive and finite, dividing by it is
// increasing, and so is rounding: fl(p / den) <= fl(u / den); and 1 - y is
// decreasing, so L = fl(1 - fl(u / den)) <= d, the same operations in the
// same order. An overflow of u / den gives L = -inf, still below d; a NaN
// (no bound from the kernel, or den 0, NaN or infinite, which the lane's
// or query's own NaN marks) proves nothing. So L > kth proves d > kth.
//
// A batch converts every bound of every query, a division per lane: four
// lanes at a time where SSE2 is there (x86-64 always has it), the same
// operations lane by lane.
namespace {

float cosine_bound(float lower, float norm, float query_norm) {
  const float den = query_norm * norm;
  const float u = -lower;
  return den > 0.0f && den <= std::numeric_limits<float>::max() ? 1.0f - u / den
                                                                : std::numeric_limits<float>::quiet_NaN();
}

}  // namespace

void cosine_bounds(float* lower, const float* norms, std::size_t n, float query_norm) {
  std::size_t j = 0;
#if defined(__SSE2__)
  const __m128 qn = _mm_set1_ps(query_norm);
  const __m128 one = _mm_set1_ps(1.0f);
  const __m128 zero = _mm_setzero_ps();
  const __m128 max = _mm_set1_ps(std::numeric_limits<float>::max());
  const __m128 nan = _mm_set1_ps(std::numeric_limits<float>::quiet_NaN());
  const __m128 sign = _mm_set1_ps(-0.0f);
  for (; j + 4 <= n; j += 4) {
    const __m128 den = _mm_mul_ps(qn, _mm_loadu_ps(norms + j));
    const __m128 u = _mm_xor_ps(_mm_loadu_ps(lower + j), sign);
    const __m128 bound = _mm_sub_ps(one, _mm_div_ps(u, den));
    // False for a NaN den too.
    const __m128 ok = _mm_and_ps(_mm_cmpgt_ps(den, zero), _mm_cmple_ps(den, max));
    _mm_storeu_ps(lower + j, _mm_or_ps(_mm_and_ps(ok, bound), _mm_andnot_ps(ok, nan)));
  }
#endif
  for (; j < n; ++j) lower[j] = cosine_bound(lower[j], norms[j], query_norm);
}

bool Int8Codes::suits(DistanceMetric metric, std::size_t dimension, const KernelSet& kernels) {
  return dimension >= kInt8MinDim && dimension <= kInt8MaxDim && bound_kernel(metric, kernels) != nullptr;
}

Int8Codes::Int8Codes(DistanceMetric metric, std::size_t dimension, const KernelSet& kernels)
    : metric_(metric), dim_(dimension), bounds_(bound_kernel(metric, kernels)) {}

std::size_t Int8Codes::memory_bytes() const {
  return bytes_of(chunk_.codes) + bytes_of(chunk_.offsets) + bytes_of(chunk_.scale) + bytes_of(chunk_.norm2_lo) +
         bytes_of(chunk_.code_norm_hi) + bytes_of(chunk_.residual_hi) + bytes_of(norms_);
}

void Int8Codes::build(const float* rows, std::size_t count) {
  size_ = 0;
  exact_only_count_ = 0;
  chunk_ = Int8Chunk{};
  reserve(count);
  for (std::size_t r = 0; r < count; ++r) append(rows + r * dim_);
}

void Int8Codes::reserve(std::size_t count) {
  const std::size_t lanes = blocks_for(count) * kBlockWidth;
  chunk_.codes.reserve(lanes / kBlockWidth * block_bytes());
  for (auto* v : {&chunk_.scale, &chunk_.norm2_lo, &chunk_.code_norm_hi, &chunk_.residual_hi}) v->reserve(lanes);
  chunk_.offsets.reserve(lanes);
  if (metric_ == DistanceMetric::Cosine) norms_.reserve(lanes);
}

bool Int8Codes::lane_exact_only(std::size_t slot) const { return std::isnan(chunk_.norm2_lo[slot]); }

void Int8Codes::encode(std::size_t slot, const float* row) {
  const std::size_t padded = int8_padded(dim_);
  std::int8_t codes[kInt8MaxDim];
  std::int32_t sum = 0;
  Int8Figures f = quantize_row(row, dim_, codes, sum);
  if (metric_ == DistanceMetric::Cosine) {
    // A zero or infinite norm: cosine has no bound for the vector.
    const float norm = cosine_norm(row, dim_);
    norms_[slot] = norm;
    if (!(norm > 0.0f && norm <= std::numeric_limits<float>::max())) f.norm2_lo = std::numeric_limits<float>::quiet_NaN();
  }
  // Block layout: per group of 4 components, 64 bytes, lane j's 4 at 4j.
  std::int8_t* block = chunk_.codes.data() + slot / kBlockWidth * block_bytes();
  const std::size_t j = slot % kBlockWidth;
  for (std::size_t g = 0; g < padded / 4; ++g) std::memcpy(block + g * 64 + 4 * j, codes + 4 * g, 4);
  if (lane_exact_only(slot)) --exact_only_count_;
  chunk_.offsets[slot] = 128 * sum;
  chunk_.scale[slot] = f.scale;
  chunk_.norm2_lo[slot] = f.norm2_lo;
  chunk_.code_norm_hi[slot] = f.code_norm_hi;
  chunk_.residual_hi[slot] = f.residual_hi;
  if (lane_exact_only(slot)) ++exact_only_count_;
}

void Int8Codes::clear_lane(std::size_t slot) {
  if (lane_exact_only(slot)) --exact_only_count_;
  std::int8_t* block = chunk_.codes.data() + slot / kBlockWidth * block_bytes();
  for (std::size_t g = 0; g < int8_padded(dim_) / 4; ++g) std::memset(block + g * 64 + 4 * (slot % kBlockWidth), 0, 4);
  chunk_.offsets[slot] = 0;
  chunk_.scale[slot] = chunk_.norm2_lo[slot] = chunk_.code_norm_hi[slot] = chunk_.residual_hi[slot] = 0.0f;
  if (!norms_.empty()) norms_[slot] = 0.0f;
}

void Int8Codes::move_lane(std::size_t from, std::size_t to) {
  clear_lane(to);
  const std::int8_t* src = chunk_.codes.data() + from / kBlockWidth * block_bytes();
  std::int8_t* dst = chunk_.codes.data() + to / kBlockWidth * block_bytes();
  for (std::size_t g = 0; g < int8_padded(dim_) / 4; ++g)
    std::memcpy(dst + g * 64 + 4 * (to % kBlockWidth), src + g * 64 + 4 * (from % kBlockWidth), 4);
  chunk_.offsets[to] = chunk_.offsets[from];
  chunk_.scale[to] = chunk_.scale[from];
  chunk_.norm2_lo[to] = chunk_.norm2_lo[from];
  chunk_.code_norm_hi[to] = chunk_.code_norm_hi[from];
  chunk_.residual_hi[to] = chunk_.residual_hi[from];
  if (!norms_.empty()) norms_[to] = norms_[from];
  if (lane_exact_only(to)) ++exact_only_count_;
  clear_lane(from);
}

void Int8Codes::append(const float* row) {
  const std::size_t slot = size_++;
  if (slot % kBlockWidth == 0) {
    // A new block, zeroed (its empty lanes get bounds that no one reads).
    chunk_.codes.resize(chunk_.codes.size() + block_bytes(), 0);
    chunk_.offsets.resize(chunk_.offsets.size() + kBlockWidth, 0);
    for (auto* v : {&chunk_.scale, &chunk_.norm2_lo, &chunk_.code_norm_hi, &chunk_.residual_hi})
      v->resize(v->size() + kBlockWidth, 0.0f);
    if (metric_ == DistanceMetric::Cosine) norms_.resize(norms_.size() + kBlockWidth, 0.0f);
  }
  encode(slot, row);
}

Status Int8Codes::replace(std::uint32_t slot, const float* row) {
  if (slot >= size_)
    return VectorError::collection("int8 codes: slot " + std::to_string(slot) + " is not below the size " +
                                   std::to_string(size_));
  encode(slot, row);
  return {};
}

Status Int8Codes::remove(std::uint32_t slot) {
  if (slot >= size_)
    return VectorError::collection("int8 codes: slot " + std::to_string(slot) + " is not below the size " +
                                   std::to_string(size_));
  const std::size_t last = size_ - 1;
  if (slot != last) {
    move_lane(last, slot);
  } else {
    clear_lane(last);
  }
  size_ = last;
  if (size_ % kBlockWidth == 0) {
    chunk_.codes.resize(chunk_.codes.size() - block_bytes());
    chunk_.offsets.resize(chunk_.offsets.size() - kBlockWidth);
    for (auto* v : {&chunk_.scale, &chunk_.norm2_lo, &chunk_.code_norm_hi, &chunk_.residual_hi})
      v->resize(v->size() - kBlockWidth);
    if (!norms_.empty()) norms_.resize(norms_.size() - kBlockWidth);
  }
  return {};
}

void Int8Codes::prefetch_block(std::size_t block) const {
  const char* codes = reinterpret_cast<const char*>(chunk_.codes.data()) + block * block_bytes();
  // Into the second-level cache: the first level has too few places for
  // the lines of several blocks in flight (into it, a search at 1 % costs
  // half again as much).
  constexpr int kRead = 0, kLocality = 2;
  for (std::size_t at = 0; at < block_bytes(); at += 64) __builtin_prefetch(codes + at, kRead, kLocality);
  const std::size_t lane = block * kBlockWidth;
  __builtin_prefetch(chunk_.offsets.data() + lane, kRead, kLocality);
  for (const auto* v : {&chunk_.scale, &chunk_.norm2_lo, &chunk_.code_norm_hi, &chunk_.residual_hi})
    __builtin_prefetch(v->data() + lane, kRead, kLocality);
  if (!norms_.empty()) __builtin_prefetch(norms_.data() + lane, kRead, kLocality);
}

std::vector<Candidate> Int8Codes::search(const float* query, std::size_t k, const ExactDistances& exact,
                                         const SlotBitmap* filter, BoundSearchStats* stats) const {
  TopK top(k);
  // A filter has one bit per slot; any other is no selection of these slots.
  if (k == 0 || size_ == 0 || (filter != nullptr && filter->size() != size_)) return top.take();
  Int8Query q;
  quantize_query(query, dim_, q);
  const Int8Query* queries[1] = {&q};
  std::size_t exact_count = 0, candidates = 0;
  auto one = [&](std::uint32_t slot) {
    float d;
    exact(0, &slot, 1, &d);
    ++exact_count;
    return d;
  };
  // Euclidean bounds are of the squared distance (euclidean_sum_bound.h);
  // dot and cosine bounds of the distance itself.
  const std::size_t dim = dim_;
  const bool squared = metric_ == DistanceMetric::Euclidean;
  auto limit = [dim, squared](float kth) { return squared ? euclidean_sum_limit(kth, dim) : kth; };
  const bool cosine = metric_ == DistanceMetric::Cosine;
  const float query_norm = cosine ? cosine_norm(query, dim_) : 0.0f;
  // Bounds of blocks [b, b + count) into `out`.
  auto bound = [&](std::size_t b, std::size_t count, float* out) {
    bounds_(queries, 1, chunk_, b, count, dim_, out, count * kBlockWidth);
    if (cosine) cosine_bounds(out, norms_.data() + b * kBlockWidth, count * kBlockWidth, query_norm);
  };
  const std::size_t nblocks = blocks_for(size_);
  // A filtered search bounds only the blocks holding a candidate. The gaps
  // a filter leaves between them stop the hardware's prefetcher from
  // running ahead: a chunk where they are few is bounded whole, as an
  // unfiltered search bounds it; in one where they are many, each block
  // with a candidate is bounded alone and its codes are asked for
  // kPrefetchBlocks such blocks before.
  std::size_t ahead = 0;  // the next block with a candidate not yet prefetched
  auto prefetch_for = [&](std::size_t block) {
    if (ahead <= block) {
      ahead = filter->next_marked_block(block + 1);
      for (std::size_t i = 1; i < kPrefetchBlocks && ahead < nblocks; ++i) {
        prefetch_block(ahead);
        ahead = filter->next_marked_block(ahead + 1);
      }
    }
    if (ahead < nblocks) {
      prefetch_block(ahead);
      ahead = filter->next_marked_block(ahead + 1);
    }
  };
  // Filtered: the bounds of blocks [b, b + count) that hold a candidate,
  // block b + j's at out[16 j ..), and their filter bits into bits[j]; a
  // block without one gets bounds of +inf. Returns how many hold one.
  auto bound_marked = [&](std::size_t b, std::size_t count, float* out, std::uint32_t* bits) {
    std::size_t marked = 0;
    for (std::size_t j = 0; j < count; ++j) {
      bits[j] = filter->block_bits(b + j);
      marked += bits[j] != 0 ? 1 : 0;
    }
    const bool whole = marked * kDenseShare >= count;
    if (marked != 0 && whole) bound(b, count, out);
    for (std::size_t j = 0; j < count; ++j) {
      if (bits[j] == 0) {
        std::fill_n(out + j * kBlockWidth, kBlockWidth, std::numeric_limits<float>::infinity());
      } else if (!whole) {
        prefetch_for(b + j);
        bound(b + j, 1, out + j * kBlockWidth);
      }
    }
    return marked;
  };
  const std::size_t selected = filter != nullptr ? filter->count() : size_;
  if (dim_ >= kTwoPassMinDim && selected > k) {
    // First every candidate's bound, kept; then the exact distances of the
    // k candidates with the smallest bounds: the largest of those is at
    // least the k-th distance, so every candidate whose bound rules it out
    // is passed over in the second pass, even before the list is full. The
    // candidates computed first keep their distances for it.
    auto sums = std::make_unique_for_overwrite<float[]>(nblocks * kBlockWidth);
    std::vector<std::uint32_t> bits(filter != nullptr ? nblocks : 0);
    TopK smallest(k);
    for (std::size_t b = 0; b < nblocks; b += kChunkBlocks) {
      const std::size_t count = std::min(kChunkBlocks, nblocks - b);
      const std::size_t first = b * kBlockWidth;
      if (filter == nullptr) {
        bound(b, count, sums.get() + first);
        smallest.push(sums.get() + first, static_cast<std::uint32_t>(first),
                      std::min(count * kBlockWidth, size_ - first));
        continue;
      }
      if (bound_marked(b, count, sums.get() + first, bits.data() + b) == 0) continue;
      for (std::size_t j = 0; j < count; ++j) {
        if (bits[b + j] == 0) continue;
        smallest.push_selected(sums.get() + first + j * kBlockWidth,
                               static_cast<std::uint32_t>(first + j * kBlockWidth), bits[b + j]);
      }
    }
    std::vector<Candidate> seeds = smallest.take();
    float farthest = -std::numeric_limits<float>::infinity();
    for (Candidate& seed : seeds) {
      seed.distance = one(seed.slot);
      // A NaN distance leaves no cap (+inf rules nothing out).
      farthest = std::isnan(seed.distance) || std::isnan(farthest) ? std::numeric_limits<float>::quiet_NaN()
                                                                   : std::max(farthest, seed.distance);
    }
    std::sort(seeds.begin(), seeds.end(), [](const Candidate& a, const Candidate& b) { return a.slot < b.slot; });
    auto known_or_exact = [&](std::uint32_t slot) {
      auto at = std::lower_bound(seeds.begin(), seeds.end(), slot,
                                 [](const Candidate& c, std::uint32_t s) { return c.slot < s; });
      return at != seeds.end() && at->slot == slot ? at->distance : one(slot);
    };
    const float cap = std::isnan(farthest) ? std::numeric_limits<float>::infinity() : limit(farthest);
    if (filter == nullptr) {
      top.push_bounded(sums.get(), 0, size_, limit, known_or_exact, cap);
    } else {
      top.push_selected_blocks_bounded(sums.get(), 0, bits.data(), nblocks, limit, known_or_exact, cap);
    }
    candidates = size_;
  } else {
    alignas(64) float lower[kChunkBlocks * kBlockWidth];
    std::uint32_t bits[kChunkBlocks];
    for (std::size_t b = 0; b < nblocks; b += kChunkBlocks) {
      const std::size_t count = std::min(kChunkBlocks, nblocks - b);
      const std::size_t first = b * kBlockWidth;
      if (filter == nullptr) {
        bound(b, count, lower);
        const std::size_t valid = std::min(count * kBlockWidth, size_ - first);
        top.push_bounded(lower, static_cast<std::uint32_t>(first), valid, limit, one);
        candidates += valid;
      } else if (bound_marked(b, count, lower, bits) != 0) {
        top.push_selected_blocks_bounded(lower, static_cast<std::uint32_t>(first), bits, count, limit, one);
      }
    }
  }
  if (stats != nullptr) {
    // Every slot the filter selects is a candidate.
    stats->candidates += filter != nullptr ? filter->count() : candidates;
    stats->exact += exact_count;
  }
  return top.take();
}

}  // namespace velmoradb
