// Selecting the k nearest of n distances.
//
// The result is the list a full stable sort by ascending distance followed by
// a cut to k would give, up to the order of equal distances: NaN distances
// count as farther than every number and are never dropped, so when fewer
// than k distances are numbers the NaN ones fill the list up to k. The cost
// is a bounded selection, not a sort of all n.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace velmoradb {

struct Candidate {
  float distance;
  std::uint32_t slot;
};

// The k nearest of distances[0 .. n), nearest first; slot = position in `distances`.
std::vector<Candidate> select_top_k(const float* distances, std::size_t n, std::size_t k);

// A running selection fed in pieces (a scan in chunks): push every distance,
// then take the sorted result.
class TopK {
 public:
  explicit TopK(std::size_t k);
  void push(const float* distances, std::uint32_t first_slot, std::size_t n);
  // Offers distances[i] for slot first_slot + i, for the set bits i of
  // `selected` only (a filtered scan's block of 16).
  void push_selected(const float* distances, std::uint32_t first_slot, std::uint32_t selected);
  // Offers slots first_slot .. first_slot + n - 1, each with the distance
  // exact(slot), except those that `sums` rules out: once the list is full
  // with a k-th distance kth (a number), slot first_slot + i is skipped when
  // sums[i] > limit(kth), which must prove that its distance is above kth
  // (euclidean_sum_bound.h). The result is push()'s of the exact distances.
  // Every call on one TopK must pass the same `limit` function.
  // A slot whose sum is above `cap` is skipped too, full list or not: the
  // caller knows k slots whose distances are at most some d with
  // cap = limit(d), so no slot ruled out by it can be among the k nearest.
  template <class Limit, class Exact>
  void push_bounded(const float* sums, std::uint32_t first_slot, std::size_t n, Limit limit, Exact exact,
                    float cap = std::numeric_limits<float>::infinity());
  // The same for the set bits i of `selected` only (a filtered block of 16).
  template <class Limit, class Exact>
  void push_selected_bounded(const float* sums, std::uint32_t first_slot, std::uint32_t selected, Limit limit,
                             Exact exact, float cap = std::numeric_limits<float>::infinity());
  // push_selected_bounded of each of `blocks` blocks of 16: block j with
  // the sums at sums + 16 j, slots from first_slot + 16 j and the bits
  // selected[j]. Blocks the sums rule out whole are passed over without
  // looking at their bits.
  template <class Limit, class Exact>
  void push_selected_blocks_bounded(const float* sums, std::uint32_t first_slot, const std::uint32_t* selected,
                                    std::size_t blocks, Limit limit, Exact exact,
                                    float cap = std::numeric_limits<float>::infinity());
  std::vector<Candidate> take();

 private:
  // The sum limit for the current list: +inf (rules nothing out) until the
  // list is full under a number.
  // The last k-th distance asked for is kept with its limit: the list
  // changes rarely once full, and a limit costs some arithmetic.
  template <class Limit>
  float sum_limit(Limit limit) {
    if (heap_.size() != k_ || bound_is_nan_) return std::numeric_limits<float>::infinity();
    if (!(limit_of_ == bound_)) {
      limit_of_ = bound_;
      limit_ = limit(bound_);
    }
    return limit_;
  }
  // sum_limit, or `cap` where that is lower.
  template <class Limit>
  float sum_limit(Limit limit, float cap) {
    const float above = sum_limit(limit);
    return cap < above ? cap : above;
  }
  // The first i' >= i such that sums[i' .. i'+16) may hold a sum not above
  // `limit` (NaN included), or the start of the last partial group.
  static std::size_t skip_above(const float* sums, std::size_t i, std::size_t n, float limit);
  static std::uint32_t not_above_mask16(const float* sums, float limit);
  static std::uint32_t near_mask16(const float* distances, float bound);
  static std::size_t skip_far(const float* distances, std::size_t i, std::size_t n, float bound);
  void offer(float distance, std::uint32_t slot);

  std::size_t k_;
  std::vector<Candidate> heap_;  // max-heap under `farther`, at most k_
  float bound_;                  // the heap's worst distance once full, else +inf
  bool bound_is_nan_ = false;
  float limit_of_ = std::numeric_limits<float>::quiet_NaN();  // sum_limit's cache
  float limit_ = std::numeric_limits<float>::infinity();
};

template <class Limit, class Exact>
void TopK::push_bounded(const float* sums, std::uint32_t first_slot, std::size_t n, Limit limit, Exact exact,
                        float cap) {
  if (k_ == 0) return;
  // sum_limit is +inf until the list is full: every slot the cap leaves
  // fills it.
  float above = sum_limit(limit, cap);
  std::size_t i = 0;
  while (i < n) {
    i = skip_above(sums, i, n, above);
    const std::size_t end = i + 16 < n ? i + 16 : n;
    for (; i < end; ++i) {
      if (sums[i] > above) continue;
      offer(exact(first_slot + i), static_cast<std::uint32_t>(first_slot + i));
      above = sum_limit(limit, cap);
    }
  }
}

template <class Limit, class Exact>
void TopK::push_selected_bounded(const float* sums, std::uint32_t first_slot, std::uint32_t selected, Limit limit,
                                 Exact exact, float cap) {
  if (k_ == 0) return;
  // Once the list is full the bounds rule out almost every lane: the test
  // that decides comes after them, where it is nearly always "none left"
  // (and predicted so), not before, on the filter's bits alone.
  while (true) {
    if (heap_.size() == k_ || cap < std::numeric_limits<float>::infinity()) {
      selected &= not_above_mask16(sums, sum_limit(limit, cap));
    }
    if (selected == 0) return;
    const auto i = static_cast<std::uint32_t>(std::countr_zero(selected));
    selected &= selected - 1;
    offer(exact(first_slot + i), first_slot + i);
  }
}

template <class Limit, class Exact>
void TopK::push_selected_blocks_bounded(const float* sums, std::uint32_t first_slot, const std::uint32_t* selected,
                                        std::size_t blocks, Limit limit, Exact exact, float cap) {
  const std::size_t n = blocks * 16;
  for (std::size_t j = 0; j < blocks; ++j) {
    if (heap_.size() == k_ || cap < std::numeric_limits<float>::infinity()) {
      j = skip_above(sums, j * 16, n, sum_limit(limit, cap)) / 16;
      if (j == blocks) return;
    }
    push_selected_bounded(sums + j * 16, static_cast<std::uint32_t>(first_slot + j * 16), selected[j], limit, exact,
                          cap);
  }
}

}  // namespace velmoradb
