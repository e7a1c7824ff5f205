// The four distance metrics and their exact 32-bit arithmetic.
//
// Every metric is a distance: smaller is nearer. Sums of n terms use the
// blocked order: complete blocks of 16 terms are summed into a partial sum
// (starting from the block's first term) which is then added to a running
// total that starts at +0.0; the tail of n mod 16 terms is added to the total
// one by one. No wider accumulator, no fused multiply-add, no reassociation:
// the results are the same bits on every machine and every kernel path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velmoradb {

enum class DistanceMetric : std::uint8_t {
  Euclidean = 0,
  Cosine = 1,
  DotProduct = 2,
  Hamming = 3,
};

constexpr std::size_t kMetricCount = 4;
// Terms per block of the blocked sum.
constexpr std::size_t kSumBlock = 16;

// "Euclidean", "Cosine", "DotProduct" or "Hamming": the name stored in meta.json.
std::string_view metric_name(DistanceMetric metric);
// The variant named exactly by `name`, if any.
std::optional<DistanceMetric> metric_from_name(std::string_view name);

// The scalar reference of each metric over two contiguous vectors of length n;
// `a` is the query, `b` the stored vector.
float dot_product(const float* x, const float* y, std::size_t n);
float euclidean_distance(const float* a, const float* b, std::size_t n);
float dot_distance(const float* a, const float* b, std::size_t n);
float cosine_distance(const float* a, const float* b, std::size_t n);
float hamming_distance(const float* a, const float* b, std::size_t n);
float distance(DistanceMetric metric, const float* a, const float* b, std::size_t n);

}  // namespace velmoradb
