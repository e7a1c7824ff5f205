// Selecting the k nearest of n distances.
//
// The result is the list a full stable sort by ascending distance followed by
// a cut to k would give, up to the order of equal distances: NaN distances
// count as farther than every number and are never dropped, so when fewer
// than k distances are numbers the NaN ones fill the list up to k. The cost
// is a bounded selection, not a sort of all n.
#pragma once

#include <cstddef>
#include <cstdint>
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
  std::vector<Candidate> take();

 private:
  static std::uint32_t near_mask16(const float* distances, float bound);
  static std::size_t skip_far(const float* distances, std::size_t i, std::size_t n, float bound);
  void offer(float distance, std::uint32_t slot);

  std::size_t k_;
  std::vector<Candidate> heap_;  // max-heap under `farther`, at most k_
  float bound_;                  // the heap's worst distance once full, else +inf
  bool bound_is_nan_ = false;
};

}  // namespace velmoradb
