// Data and answers for the tests of the pruned searches (bound_codes.h,
// int8_codes.h): shapes chosen to break a bound, the plain scan over rows,
// and the check that an answer is the plain scan's.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/kernels/metric.h"
#include "engine/index/slot_bitmap.h"
#include "engine/index/top_k.h"

namespace velmoradb::pruning_test {

using Vec = std::vector<float>;
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

inline bool same_bits(float a, float b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  std::uint32_t x, y;
  std::memcpy(&x, &a, 4);
  std::memcpy(&y, &b, 4);
  return x == y;
}

// Data shapes chosen to break a bound that ignores rounding, scale or
// special values.
enum class Shape {
  Gaussian,
  Mixture,        // tight clusters: many near-equal distances
  Magnitudes,     // each vector scaled by 10^-30 .. 10^30
  Huge,           // near FLT_MAX: squares and products overflow
  Tiny,           // subnormals and values whose products underflow
  Dominant,       // one component a million times the others
  AllEqual,       // every vector the same
  Duplicates,     // a few vectors repeated many times
  RoundingEdges,  // 1 + a few ulps: distances decided by rounding
  Specials,       // NaN, infinities, signed zeros mixed in
  SmallIntegers,  // many exact ties
  ExactCodes,     // integers up to 127 in magnitude, 127 in each: the int8 codes
                  // are exact, so their bound is as tight as its margins allow
};

inline const char* shape_name(Shape s) {
  switch (s) {
    case Shape::Gaussian: return "Gaussian";
    case Shape::Mixture: return "Mixture";
    case Shape::Magnitudes: return "Magnitudes";
    case Shape::Huge: return "Huge";
    case Shape::Tiny: return "Tiny";
    case Shape::Dominant: return "Dominant";
    case Shape::AllEqual: return "AllEqual";
    case Shape::Duplicates: return "Duplicates";
    case Shape::RoundingEdges: return "RoundingEdges";
    case Shape::Specials: return "Specials";
    case Shape::SmallIntegers: return "SmallIntegers";
    case Shape::ExactCodes: return "ExactCodes";
  }
  return "?";
}

// `count` rows of `dim` floats of the given shape.
inline Vec make_rows(Shape shape, std::size_t count, std::size_t dim, std::mt19937& gen) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::uniform_int_distribution<int> pick(0, 99);
  Vec v(count * dim);
  Vec centers(16 * dim);
  for (float& c : centers) c = normal(gen) * 4.0f;
  Vec first(3 * dim);
  for (float& x : first) x = normal(gen);
  for (std::size_t r = 0; r < count; ++r) {
    float row_scale = std::pow(10.0f, static_cast<float>(pick(gen) % 61 - 30));
    for (std::size_t i = 0; i < dim; ++i) {
      float& x = v[r * dim + i];
      switch (shape) {
        case Shape::Gaussian: x = normal(gen); break;
        case Shape::Mixture: x = centers[(r % 16) * dim + i] + 0.01f * normal(gen); break;
        case Shape::Magnitudes: x = normal(gen) * row_scale; break;
        case Shape::Huge: x = normal(gen) * 1e38f; break;
        case Shape::Tiny: x = pick(gen) < 50 ? normal(gen) * 1e-40f : normal(gen) * 1e-22f; break;
        case Shape::Dominant: x = i == 0 ? normal(gen) * 1e6f : normal(gen); break;
        case Shape::AllEqual: x = 0.25f + static_cast<float>(i); break;
        case Shape::Duplicates: x = first[(r % 3) * dim + i]; break;
        case Shape::RoundingEdges: {
          float base = i % 2 == 0 ? 1.0f : 16777216.0f;
          x = base;
          for (int s = pick(gen) % 4; s > 0; --s) x = std::nextafter(x, pick(gen) < 50 ? 0.0f : 1e30f);
          break;
        }
        case Shape::Specials: {
          const float specials[] = {0.0f, -0.0f, kNaN, kInf, -kInf, 1e-45f, 0.5f, 3e38f, -3e38f, 1e-30f};
          int p = pick(gen);
          x = p < 3 ? specials[static_cast<std::size_t>(pick(gen)) % 10] : normal(gen);
          break;
        }
        case Shape::SmallIntegers: x = static_cast<float>(pick(gen) % 3 - 1); break;
        case Shape::ExactCodes: x = i == r % 2 ? 127.0f : static_cast<float>(40 + pick(gen) % 7); break;
      }
    }
  }
  return v;
}

// Queries: fresh rows of the shape, stored rows (distance zero, ties), a
// zero query and one with a NaN or an infinity.
inline Vec make_queries(Shape shape, const Vec& rows, std::size_t count, std::size_t dim, std::mt19937& gen) {
  Vec q = make_rows(shape, 4, dim, gen);
  for (std::size_t r : {std::size_t{0}, count / 2, count - 1}) q.insert(q.end(), rows.begin() + r * dim, rows.begin() + (r + 1) * dim);
  q.insert(q.end(), dim, 0.0f);
  Vec odd(rows.begin(), rows.begin() + dim);
  odd[0] = kNaN;
  q.insert(q.end(), odd.begin(), odd.end());
  odd[0] = -kInf;
  q.insert(q.end(), odd.begin(), odd.end());
  return q;
}

// The plain scan over rows with the reference arithmetic, restricted to
// `filter` when given.
inline std::vector<Candidate> plain_scan(DistanceMetric metric, const float* query, const Vec& rows, std::size_t dim,
                                  std::size_t k, const SlotBitmap* filter = nullptr) {
  std::size_t n = dim == 0 ? 0 : rows.size() / dim;
  std::vector<float> d;
  std::vector<std::uint32_t> slots;
  for (std::size_t s = 0; s < n; ++s) {
    if (filter && !filter->test(s)) continue;
    d.push_back(distance(metric, query, rows.data() + s * dim, dim));
    slots.push_back(static_cast<std::uint32_t>(s));
  }
  std::vector<Candidate> top = select_top_k(d.data(), d.size(), k);
  for (Candidate& c : top) c.slot = slots[c.slot];
  return top;
}

// `got` is a valid answer where `want` is: the same distances in the same
// order, bit for bit, each on a distinct slot that has that distance and
// passes the filter.
inline ::testing::AssertionResult same_answer(DistanceMetric metric, const float* query, const Vec& rows,
                                       std::size_t dim, const std::vector<Candidate>& want,
                                       const std::vector<Candidate>& got, const SlotBitmap* filter = nullptr) {
  if (want.size() != got.size())
    return ::testing::AssertionFailure() << "size " << got.size() << ", want " << want.size();
  std::vector<bool> seen(rows.size() / (dim ? dim : 1) + 1, false);
  for (std::size_t j = 0; j < want.size(); ++j) {
    if (!same_bits(want[j].distance, got[j].distance))
      return ::testing::AssertionFailure() << "rank " << j << ": distance " << got[j].distance << ", want "
                                           << want[j].distance;
    std::uint32_t s = got[j].slot;
    if (s >= seen.size() - 1 || seen[s]) return ::testing::AssertionFailure() << "rank " << j << ": bad slot " << s;
    seen[s] = true;
    if (filter && !filter->test(s)) return ::testing::AssertionFailure() << "slot " << s << " is filtered out";
    if (!same_bits(distance(metric, query, rows.data() + std::size_t{s} * dim, dim), got[j].distance))
      return ::testing::AssertionFailure() << "rank " << j << ": slot " << s << " has another distance";
  }
  return ::testing::AssertionSuccess();
}

// A test case: a shape of data and a metric.
struct Case {
  Shape shape;
  DistanceMetric metric;
};

// Every shape with each of `metrics`.
inline std::vector<Case> cases_for(std::initializer_list<DistanceMetric> metrics) {
  std::vector<Case> cases;
  for (int s = 0; s <= static_cast<int>(Shape::ExactCodes); ++s)
    for (DistanceMetric m : metrics) cases.push_back({static_cast<Shape>(s), m});
  return cases;
}

inline std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  return std::string(shape_name(info.param.shape)) + "_" + std::string(metric_name(info.param.metric));
}

}  // namespace velmoradb::pruning_test
