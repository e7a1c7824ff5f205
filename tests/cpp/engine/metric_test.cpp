// The metrics against a reference written here independently: explicit
// loops over the block index, every single operation stored through a
// volatile float so that it is rounded to 32 bits on its own.
#include "engine/kernels/metric.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace velmoradb {
namespace {

using Vec = std::vector<float>;
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::uint32_t bits(float x) {
  std::uint32_t b;
  std::memcpy(&b, &x, 4);
  return b;
}

// Same value to the bit; any NaN matches any NaN (which NaN an operation
// passes on depends on the order of its operands, which compilers may swap).
::testing::AssertionResult SameBits(float expected, float actual) {
  if (std::isnan(expected) && std::isnan(actual)) return ::testing::AssertionSuccess();
  if (bits(expected) == bits(actual)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected " << expected << " (0x" << std::hex << bits(expected)
                                       << "), got " << actual << " (0x" << bits(actual) << ")";
}

// ---- the independent reference ----

float ref_blocked_sum(const Vec& terms) {
  const std::size_t n = terms.size();
  const std::size_t blocks = n / 16;
  volatile float total = 0.0f;
  for (std::size_t block = 0; block < blocks; ++block) {
    volatile float partial = terms[block * 16];
    for (std::size_t lane = 1; lane < 16; ++lane) partial = partial + terms[block * 16 + lane];
    total = total + partial;
  }
  for (std::size_t i = blocks * 16; i < n; ++i) total = total + terms[i];
  return total;
}

float ref_dot(const Vec& x, const Vec& y) {
  Vec terms(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    volatile float product = x[i] * y[i];
    terms[i] = product;
  }
  return ref_blocked_sum(terms);
}

float ref_euclidean(const Vec& a, const Vec& b) {
  Vec terms(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    volatile float d = a[i] - b[i];
    volatile float square = d * d;
    terms[i] = square;
  }
  return sqrtf(ref_blocked_sum(terms));
}

float ref_dot_distance(const Vec& a, const Vec& b) {
  std::uint32_t flipped = bits(ref_dot(a, b)) ^ 0x80000000u;
  float out;
  std::memcpy(&out, &flipped, 4);
  return out;
}

float ref_cosine(const Vec& a, const Vec& b) {
  volatile float p = ref_dot(a, b);
  volatile float na = sqrtf(ref_dot(a, a));
  volatile float nb = sqrtf(ref_dot(b, b));
  volatile float den = na * nb;
  if (den == 0.0f) return 1.0f;
  volatile float quotient = p / den;
  volatile float distance = 1.0f - quotient;
  return distance;
}

float ref_hamming(const Vec& a, const Vec& b) {
  std::uint32_t count = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    bool a_set = a[i] > 0.5f;
    bool b_set = b[i] > 0.5f;
    if (a_set != b_set) ++count;
  }
  return static_cast<float>(count);
}

float reference(DistanceMetric m, const Vec& a, const Vec& b) {
  switch (m) {
    case DistanceMetric::Euclidean: return ref_euclidean(a, b);
    case DistanceMetric::Cosine: return ref_cosine(a, b);
    case DistanceMetric::DotProduct: return ref_dot_distance(a, b);
    case DistanceMetric::Hamming: return ref_hamming(a, b);
  }
  return 0.0f;
}

float engine(DistanceMetric m, const Vec& a, const Vec& b) {
  return distance(m, a.data(), b.data(), a.size());
}

const DistanceMetric kMetrics[] = {DistanceMetric::Euclidean, DistanceMetric::Cosine,
                                   DistanceMetric::DotProduct, DistanceMetric::Hamming};

// ---- random vectors of many lengths and magnitudes ----

class MetricRandom : public ::testing::TestWithParam<std::size_t> {};

TEST_P(MetricRandom, MatchesTheReferenceBitForBit) {
  const std::size_t n = GetParam();
  std::mt19937 gen(static_cast<unsigned>(n) * 7919u + 1u);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (float scale : {1e-20f, 1e-3f, 1.0f, 1e3f, 1e18f}) {
    for (int trial = 0; trial < 8; ++trial) {
      Vec a(n), b(n);
      for (std::size_t i = 0; i < n; ++i) {
        a[i] = normal(gen) * scale;
        b[i] = trial % 2 ? unit(gen) : normal(gen) * scale;
      }
      for (DistanceMetric m : kMetrics) {
        EXPECT_TRUE(SameBits(reference(m, a, b), engine(m, a, b)))
            << "metric " << metric_name(m) << " n=" << n << " scale=" << scale;
      }
      EXPECT_TRUE(SameBits(ref_dot(a, b), dot_product(a.data(), b.data(), n)));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, MetricRandom,
                         ::testing::Values(0, 1, 2, 15, 16, 17, 31, 32, 33, 47, 48, 49, 100, 128,
                                           255, 256, 257, 768, 1000));

// ---- the blocked order ----

// Seventeen terms: one block of sixteen whose fifteen small terms vanish
// against the first, then the seventeenth added to the total directly.
TEST(MetricOrder, SeventeenTermsAreOneBlockAndOneTailTerm) {
  Vec x(17, 1.0f), ones(17, 1.0f);
  x[0] = 1e8f;  // the spacing of floats at 1e8 is 8: +1 is lost, +15 would not be
  x[16] = 4.0f;
  float expected = ref_dot(x, ones);
  EXPECT_EQ(expected, 1e8f);  // (1e8 + 1 + ... + 1) = 1e8; 1e8 + 4 ties to 1e8
  EXPECT_TRUE(SameBits(expected, dot_product(x.data(), ones.data(), 17)));
  // A sum that took the fifteen ones first would give 100000016.
  EXPECT_NE(expected, 100000016.0f);
}

// Thirty-three terms: the second block is summed on its own before it meets
// the total, so its sixteen ones survive; the tail term is added directly.
TEST(MetricOrder, ThirtyThreeTermsAreTwoBlocksAndOneTailTerm) {
  Vec x(33, 0.0f), ones(33, 1.0f);
  x[0] = 1e8f;
  for (std::size_t i = 16; i < 32; ++i) x[i] = 1.0f;
  x[32] = 1.0f;
  float expected = ref_dot(x, ones);
  EXPECT_EQ(expected, 100000016.0f);  // 1e8 + 16, then + 1 is lost
  EXPECT_TRUE(SameBits(expected, dot_product(x.data(), ones.data(), 33)));
  // Adding the terms one by one to the total would lose every one.
  Vec a(33, 0.0f);
  for (std::size_t i = 0; i < 33; ++i) a[i] = std::sqrt(x[i]);
  EXPECT_TRUE(SameBits(ref_euclidean(a, Vec(33, 0.0f)), euclidean_distance(a.data(), Vec(33, 0.0f).data(), 33)));
}

// ---- the rules of each metric ----

TEST(MetricRules, EmptyVectors) {
  Vec empty;
  EXPECT_TRUE(SameBits(0.0f, engine(DistanceMetric::Euclidean, empty, empty)));
  EXPECT_TRUE(SameBits(-0.0f, engine(DistanceMetric::DotProduct, empty, empty)));
  EXPECT_TRUE(SameBits(1.0f, engine(DistanceMetric::Cosine, empty, empty)));
  EXPECT_TRUE(SameBits(0.0f, engine(DistanceMetric::Hamming, empty, empty)));
}

TEST(MetricRules, CosineOfAZeroVectorIsExactlyOne) {
  Vec zero(5, 0.0f), v = {1, -2, 3, 0.25f, 9}, negzero(5, -0.0f);
  EXPECT_TRUE(SameBits(1.0f, engine(DistanceMetric::Cosine, zero, v)));
  EXPECT_TRUE(SameBits(1.0f, engine(DistanceMetric::Cosine, v, zero)));
  EXPECT_TRUE(SameBits(1.0f, engine(DistanceMetric::Cosine, zero, zero)));
  EXPECT_TRUE(SameBits(1.0f, engine(DistanceMetric::Cosine, negzero, v)));
  // Norms that underflow to a zero product also count as zero.
  Vec tiny(5, 1e-30f);
  EXPECT_TRUE(SameBits(1.0f, engine(DistanceMetric::Cosine, tiny, tiny)));
}

TEST(MetricRules, CosineWithAnInfiniteNormIsNaN) {
  Vec zero(3, 0.0f), inf = {kInf, 1, 1};
  EXPECT_TRUE(std::isnan(engine(DistanceMetric::Cosine, zero, inf)));
}

TEST(MetricRules, CosineOfParallelAndOppositeVectors) {
  Vec v = {0.1f, 0.7f, -0.3f, 2.5f}, neg = {-0.1f, -0.7f, 0.3f, -2.5f};
  EXPECT_TRUE(SameBits(ref_cosine(v, v), engine(DistanceMetric::Cosine, v, v)));
  EXPECT_NEAR(engine(DistanceMetric::Cosine, v, v), 0.0f, 1e-6f);
  EXPECT_NEAR(engine(DistanceMetric::Cosine, v, neg), 2.0f, 1e-6f);
}

TEST(MetricRules, DotOfACancellingSumIsNegativeZero) {
  Vec a = {1, 1}, b = {1, -1};
  EXPECT_TRUE(SameBits(-0.0f, engine(DistanceMetric::DotProduct, a, b)));
  EXPECT_TRUE(SameBits(0.0f, dot_product(a.data(), b.data(), 2)));
  Vec unit = {0.6f, 0.8f};
  EXPECT_NEAR(engine(DistanceMetric::DotProduct, unit, unit), -1.0f, 1e-6f);
}

TEST(MetricRules, EuclideanOfIdenticalVectorsIsPositiveZero) {
  Vec v = {-3.5f, 1e-30f, 7, -0.0f};
  EXPECT_TRUE(SameBits(0.0f, engine(DistanceMetric::Euclidean, v, v)));
}

TEST(MetricRules, InfinityAndNaNPassThrough) {
  Vec inf = {kInf, 1}, inf2 = {kInf, 2}, finite = {1, 1}, nan = {kNaN, 0};
  EXPECT_TRUE(std::isnan(engine(DistanceMetric::Euclidean, inf, inf2)));  // inf - inf
  EXPECT_TRUE(SameBits(kInf, engine(DistanceMetric::Euclidean, inf, finite)));
  EXPECT_TRUE(SameBits(-kInf, engine(DistanceMetric::DotProduct, inf, finite)));
  for (DistanceMetric m : {DistanceMetric::Euclidean, DistanceMetric::Cosine, DistanceMetric::DotProduct})
    EXPECT_TRUE(std::isnan(engine(m, nan, finite))) << metric_name(m);
  // Squares that overflow give infinity, not NaN.
  Vec big = {3e19f, 3e19f}, small = {-3e19f, -3e19f};
  EXPECT_TRUE(SameBits(kInf, engine(DistanceMetric::Euclidean, big, small)));
}

TEST(MetricRules, HammingSetMeansAboveOneHalf) {
  const float above = std::nextafter(0.5f, 1.0f);  // 0.50000006
  EXPECT_TRUE(SameBits(0.0f, engine(DistanceMetric::Hamming, {0.5f}, {0.0f})));
  EXPECT_TRUE(SameBits(1.0f, engine(DistanceMetric::Hamming, {above}, {0.5f})));
  EXPECT_TRUE(SameBits(1.0f, engine(DistanceMetric::Hamming, {kNaN}, {0.7f})));
  EXPECT_TRUE(SameBits(0.0f, engine(DistanceMetric::Hamming, {kNaN}, {-kInf})));
  EXPECT_TRUE(SameBits(2.0f, engine(DistanceMetric::Hamming, {1, 0, 1, kInf}, {1, 1, 0, 2})));
}

TEST(MetricNames, RoundTrip) {
  for (DistanceMetric m : kMetrics) EXPECT_EQ(metric_from_name(metric_name(m)), m);
  EXPECT_EQ(metric_name(DistanceMetric::DotProduct), "DotProduct");
  EXPECT_FALSE(metric_from_name("dot").has_value());
  EXPECT_FALSE(metric_from_name("euclidean").has_value());
}

}  // namespace
}  // namespace velmoradb
