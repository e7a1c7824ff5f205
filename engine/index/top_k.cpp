#include "engine/index/top_k.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmoradb {

namespace {

// a is strictly nearer than b; NaN is farther than every number.
inline bool nearer(float a, float b) {
  if (std::isnan(a)) return false;
  return std::isnan(b) || a < b;
}

struct ByNearer {
  bool operator()(const Candidate& a, const Candidate& b) const {
    return nearer(a.distance, b.distance);
  }
};

}  // namespace

TopK::TopK(std::size_t k) : k_(k), bound_(std::numeric_limits<float>::infinity()) {
  heap_.reserve(k < 4096 ? k : 4096);
}

// The first i' >= i such that distances[i' .. i'+16) may hold a distance
// below `bound`, or the start of the last partial group. Once the heap is
// full a scan rejects almost every distance, so this test decides the cost
// of the selection: sixteen at a time, without a branch per distance.
std::size_t TopK::skip_far(const float* distances, std::size_t i, std::size_t n, float bound) {
#if defined(__SSE2__)
  const __m128 b = _mm_set1_ps(bound);
  for (; i + 16 <= n; i += 16) {
    const float* d = distances + i;
    __m128 lt = _mm_or_ps(_mm_or_ps(_mm_cmplt_ps(_mm_loadu_ps(d), b), _mm_cmplt_ps(_mm_loadu_ps(d + 4), b)),
                          _mm_or_ps(_mm_cmplt_ps(_mm_loadu_ps(d + 8), b), _mm_cmplt_ps(_mm_loadu_ps(d + 12), b)));
    if (_mm_movemask_ps(lt) != 0) return i;
  }
#else
  for (; i + 16 <= n; i += 16) {
    int any = 0;
    for (std::size_t j = 0; j < 16; ++j) any |= distances[i + j] < bound ? 1 : 0;
    if (any) return i;
  }
#endif
  return i;
}

// Bit i set when distances[i] < bound, for i in 0 .. 16. NaN distances
// compare false, as offer() rejects them against a number.
std::uint32_t TopK::near_mask16(const float* distances, float bound) {
#if defined(__SSE2__)
  const __m128 b = _mm_set1_ps(bound);
  std::uint32_t mask = 0;
  for (int j = 0; j < 4; ++j) {
    const auto part = static_cast<std::uint32_t>(_mm_movemask_ps(_mm_cmplt_ps(_mm_loadu_ps(distances + 4 * j), b)));
    mask |= part << (4 * j);
  }
  return mask;
#else
  std::uint32_t mask = 0;
  for (std::uint32_t j = 0; j < 16; ++j) mask |= (distances[j] < bound ? 1u : 0u) << j;
  return mask;
#endif
}

std::size_t TopK::skip_above(const float* sums, std::size_t i, std::size_t n, float limit) {
#if defined(__SSE2__)
  const __m128 l = _mm_set1_ps(limit);
  for (; i + 16 <= n; i += 16) {
    const float* s = sums + i;
    __m128 keep = _mm_or_ps(_mm_or_ps(_mm_cmpngt_ps(_mm_loadu_ps(s), l), _mm_cmpngt_ps(_mm_loadu_ps(s + 4), l)),
                            _mm_or_ps(_mm_cmpngt_ps(_mm_loadu_ps(s + 8), l), _mm_cmpngt_ps(_mm_loadu_ps(s + 12), l)));
    if (_mm_movemask_ps(keep) != 0) return i;
  }
#else
  for (; i + 16 <= n; i += 16) {
    int any = 0;
    for (std::size_t j = 0; j < 16; ++j) any |= !(sums[i + j] > limit) ? 1 : 0;
    if (any) return i;
  }
#endif
  return i;
}

std::uint32_t TopK::not_above_mask16(const float* sums, float limit) {
  std::uint32_t mask = 0;
#if defined(__SSE2__)
  const __m128 l = _mm_set1_ps(limit);
  for (int j = 0; j < 4; ++j) {
    const auto part = static_cast<std::uint32_t>(_mm_movemask_ps(_mm_cmpngt_ps(_mm_loadu_ps(sums + 4 * j), l)));
    mask |= part << (4 * j);
  }
#else
  for (std::uint32_t j = 0; j < 16; ++j) mask |= (!(sums[j] > limit) ? 1u : 0u) << j;
#endif
  return mask;
}

void TopK::offer(float d, std::uint32_t slot) {
  if (heap_.size() == k_) {
    // Full: only a strictly nearer distance enters (a NaN never displaces).
    if (bound_is_nan_ ? std::isnan(d) : !(d < bound_)) return;
    std::pop_heap(heap_.begin(), heap_.end(), ByNearer{});
    heap_.back() = {d, slot};
  } else {
    heap_.push_back({d, slot});
  }
  std::push_heap(heap_.begin(), heap_.end(), ByNearer{});
  if (heap_.size() == k_) {
    bound_ = heap_.front().distance;
    bound_is_nan_ = std::isnan(bound_);
  }
}

void TopK::push(const float* distances, std::uint32_t first_slot, std::size_t n) {
  if (k_ == 0) return;
  std::size_t i = 0;
  for (; i < n && heap_.size() < k_; ++i) offer(distances[i], static_cast<std::uint32_t>(first_slot + i));
  while (i < n) {
    if (!bound_is_nan_) i = skip_far(distances, i, n, bound_);
    std::size_t end = std::min(n, i + 16);
    for (; i < end; ++i) offer(distances[i], static_cast<std::uint32_t>(first_slot + i));
  }
}

void TopK::push_selected(const float* distances, std::uint32_t first_slot, std::uint32_t selected) {
  if (k_ == 0) return;
  while (selected != 0) {
    // Once the heap is full under a number, only a strictly nearer
    // distance can enter: the others are dropped sixteen at a time.
    if (heap_.size() == k_ && !bound_is_nan_) {
      selected &= near_mask16(distances, bound_);
      if (selected == 0) return;
    }
    const auto i = static_cast<std::uint32_t>(std::countr_zero(selected));
    selected &= selected - 1;
    offer(distances[i], first_slot + i);
  }
}

std::vector<Candidate> TopK::take() {
  std::sort_heap(heap_.begin(), heap_.end(), ByNearer{});
  return std::move(heap_);
}

std::vector<Candidate> select_top_k(const float* distances, std::size_t n, std::size_t k) {
  if (k == 0 || n == 0) return {};
  if (k >= n || k > n / 16) {
    // A large share of n: partition, then sort what is kept.
    std::vector<Candidate> all(n);
    for (std::size_t i = 0; i < n; ++i) all[i] = {distances[i], static_cast<std::uint32_t>(i)};
    if (k < n) {
      std::nth_element(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(k), all.end(),
                       ByNearer{});
      all.resize(k);
    }
    std::sort(all.begin(), all.end(), ByNearer{});
    return all;
  }
  TopK top(k);
  top.push(distances, 0, n);
  return top.take();
}

}  // namespace velmoradb
