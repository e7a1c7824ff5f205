#include "engine/top_k.h"

#include <algorithm>
#include <cmath>
#include <limits>

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

void TopK::push(const float* distances, std::uint32_t first_slot, std::size_t n) {
  if (k_ == 0) return;
  for (std::size_t i = 0; i < n; ++i) {
    float d = distances[i];
    if (heap_.size() == k_) {
      // Fast rejection: with a full heap only a strictly nearer distance enters.
      if (!bound_is_nan_ && !(d < bound_)) continue;
      if (bound_is_nan_ && std::isnan(d)) continue;
      std::pop_heap(heap_.begin(), heap_.end(), ByNearer{});
      heap_.back() = {d, static_cast<std::uint32_t>(first_slot + i)};
    } else {
      heap_.push_back({d, static_cast<std::uint32_t>(first_slot + i)});
    }
    std::push_heap(heap_.begin(), heap_.end(), ByNearer{});
    if (heap_.size() == k_) {
      bound_ = heap_.front().distance;
      bound_is_nan_ = std::isnan(bound_);
    }
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
