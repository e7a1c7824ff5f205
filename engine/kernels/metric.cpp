#include "engine/kernels/metric.h"

#include <cmath>

namespace velmoradb {

namespace {

// The blocked sum of term(i) for i in [0, n). `term` must round its result to
// float before returning it.
template <typename Term>
inline float blocked_sum(std::size_t n, Term term) {
  float total = 0.0f;
  std::size_t i = 0;
  for (; i + kSumBlock <= n; i += kSumBlock) {
    float partial = term(i);
    for (std::size_t j = 1; j < kSumBlock; ++j) partial += term(i + j);
    total += partial;
  }
  for (; i < n; ++i) total += term(i);
  return total;
}

inline bool is_set(float v) { return v > 0.5f; }

}  // namespace

std::string_view metric_name(DistanceMetric metric) {
  switch (metric) {
    case DistanceMetric::Euclidean: return "Euclidean";
    case DistanceMetric::Cosine: return "Cosine";
    case DistanceMetric::DotProduct: return "DotProduct";
    case DistanceMetric::Hamming: return "Hamming";
  }
  return "Euclidean";
}

std::optional<DistanceMetric> metric_from_name(std::string_view name) {
  for (std::size_t m = 0; m < kMetricCount; ++m) {
    auto metric = static_cast<DistanceMetric>(m);
    if (metric_name(metric) == name) return metric;
  }
  return std::nullopt;
}

float dot_product(const float* x, const float* y, std::size_t n) {
  return blocked_sum(n, [&](std::size_t i) -> float { return x[i] * y[i]; });
}

float euclidean_distance(const float* a, const float* b, std::size_t n) {
  float sum = blocked_sum(n, [&](std::size_t i) -> float {
    float d = a[i] - b[i];
    return d * d;
  });
  return std::sqrt(sum);
}

float dot_distance(const float* a, const float* b, std::size_t n) {
  // Flip the sign bit only: +0.0 becomes -0.0 and NaN stays NaN.
  return -dot_product(a, b, n);
}

float cosine_distance(const float* a, const float* b, std::size_t n) {
  float p = dot_product(a, b, n);
  float na = std::sqrt(dot_product(a, a, n));
  float nb = std::sqrt(dot_product(b, b, n));
  float den = na * nb;
  if (den == 0.0f) return 1.0f;
  return 1.0f - p / den;
}

float hamming_distance(const float* a, const float* b, std::size_t n) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i) count += is_set(a[i]) != is_set(b[i]);
  return static_cast<float>(count);
}

float distance(DistanceMetric metric, const float* a, const float* b, std::size_t n) {
  switch (metric) {
    case DistanceMetric::Euclidean: return euclidean_distance(a, b, n);
    case DistanceMetric::Cosine: return cosine_distance(a, b, n);
    case DistanceMetric::DotProduct: return dot_distance(a, b, n);
    case DistanceMetric::Hamming: return hamming_distance(a, b, n);
  }
  return 0.0f;
}

}  // namespace velmoradb
