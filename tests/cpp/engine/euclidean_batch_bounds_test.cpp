// The euclidean batch's bounds (fused sums, int8 codes): a vector a bound
// rules out is never one the exact distance would have kept, so the batch
// gives the plain scan's lists, on every kernel path, for data chosen to
// stress the rounding (huge and tiny magnitudes, subnormal squares, sums
// near overflow, one dominant component, equal vectors, NaN and infinity).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/codes/euclidean_sum_bound.h"
#include "engine/codes/int8_bounds.h"
#include "engine/kernels/kernels.h"
#include "engine/index/slot_bitmap.h"
#include "engine/index/vector_index.h"

namespace velmoradb {
namespace {

using Vec = std::vector<float>;
constexpr float kInf = std::numeric_limits<float>::infinity();

// The kernel paths this CPU runs that have the kernel `member`.
template <class Member>
std::vector<const KernelSet*> paths_with(Member member) {
  const KernelSet* sets[8];
  const std::size_t n = available_kernels(sets, 8);
  std::vector<const KernelSet*> out;
  for (std::size_t i = 0; i < n; ++i)
    if (sets[i]->*member != nullptr) out.push_back(sets[i]);
  return out;
}

// Rows of `dim` floats in one of the stressing shapes.
Vec shaped_rows(int shape, std::size_t rows, std::size_t dim, std::mt19937& gen) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::uniform_int_distribution<int> small(-2, 2);
  Vec v(rows * dim);
  for (std::size_t r = 0; r < rows; ++r) {
    float* row = v.data() + r * dim;
    for (std::size_t i = 0; i < dim; ++i) {
      switch (shape) {
        case 0: row[i] = normal(gen); break;                                   // plain
        case 1: row[i] = normal(gen) * 1e17f; break;                           // sums near overflow at high dim
        case 2: row[i] = normal(gen) * 1e-21f; break;                          // subnormal squares
        case 3: row[i] = static_cast<float>(small(gen)); break;                // equal distances
        case 4: row[i] = i == 0 ? normal(gen) * 1e6f : normal(gen) * 1e-3f; break;  // one dominant component
        case 5: row[i] = 1.0f + static_cast<float>(gen() % 4) * std::ldexp(1.0f, -23); break;  // rounding edges
        case 6: row[i] = normal(gen) * std::ldexp(1.0f, static_cast<int>(gen() % 120) - 60); break;  // every scale
        default: row[i] = normal(gen) * 1.3e19f; break;                        // squares overflow
      }
    }
  }
  return v;
}

constexpr int kShapes = 8;

// The fused sums of `nq` queries against `rows` rows, through a path's
// kernel (rows laid out in blocks as the index holds them).
Vec fused_sums(const KernelSet& set, const Vec& queries, std::size_t nq, const Vec& rows, std::size_t count,
               std::size_t dim) {
  const std::size_t nblocks = (count + kBlockWidth - 1) / kBlockWidth;
  Vec blocks(std::max<std::size_t>(nblocks * dim * kBlockWidth, 1), 0.0f);
  for (std::size_t r = 0; r < count; ++r)
    for (std::size_t i = 0; i < dim; ++i)
      blocks[(r / kBlockWidth) * dim * kBlockWidth + i * kBlockWidth + r % kBlockWidth] = rows[r * dim + i];
  Vec out(nq * nblocks * kBlockWidth);
  set.fused_euclidean_sums(queries.data(), nq, blocks.data(), nblocks, dim, out.data(), nblocks * kBlockWidth);
  return out;
}

class FusedEuclidean : public ::testing::TestWithParam<const KernelSet*> {};

// For every pair: the fused sum never exceeds the limit of the pair's own
// exact distance (the limit of kth = that distance must not rule it out),
// nor of any larger kth.
TEST_P(FusedEuclidean, TheBoundNeverRulesOutADistanceAtOrBelowKth) {
  const KernelSet& set = *GetParam();
  std::mt19937 gen(5);
  for (std::size_t dim : {1, 3, 16, 17, 128, 300, 1536}) {
    for (int shape = 0; shape < kShapes; ++shape) {
      const std::size_t count = 40, nq = 5;
      const Vec rows = shaped_rows(shape, count, dim, gen);
      Vec queries = shaped_rows(shape, nq, dim, gen);
      // One query equal to a row: distance 0.
      std::copy(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(dim), queries.begin());
      const Vec sums = fused_sums(set, queries, nq, rows, count, dim);
      const std::size_t stride = (count + kBlockWidth - 1) / kBlockWidth * kBlockWidth;
      std::size_t checked = 0;
      for (std::size_t q = 0; q < nq; ++q) {
        for (std::size_t r = 0; r < count; ++r) {
          const float exact = euclidean_distance(queries.data() + q * dim, rows.data() + r * dim, dim);
          const float sum = sums[q * stride + r];
          if (std::isnan(exact)) continue;
          for (float kth : {exact, std::nextafter(exact, kInf), exact * 1.001f}) {
            EXPECT_FALSE(sum > euclidean_sum_limit(kth, dim))
                << set.name << " dim " << dim << " shape " << shape << " query " << q << " row " << r
                << ": sum " << sum << " exact " << exact << " kth " << kth;
          }
          ++checked;
        }
      }
      EXPECT_GT(checked, 0u);
    }
  }
}

// Rows laid out in blocks as the index holds them.
Vec as_blocks(const Vec& rows, std::size_t count, std::size_t dim) {
  const std::size_t nblocks = (count + kBlockWidth - 1) / kBlockWidth;
  Vec blocks(std::max<std::size_t>(nblocks * dim * kBlockWidth, 1), 0.0f);
  for (std::size_t r = 0; r < count; ++r)
    for (std::size_t i = 0; i < dim; ++i)
      blocks[(r / kBlockWidth) * dim * kBlockWidth + i * kBlockWidth + r % kBlockWidth] = rows[r * dim + i];
  return blocks;
}

class Int8Bound : public ::testing::TestWithParam<const KernelSet*> {};

// Every int8 lower bound is at most the exact real squared distance
// (computed in long double), and so never rules out the pair's own distance
// as k-th; and on plain data it is close enough to rule out most vectors.
TEST_P(Int8Bound, LowerBoundsHoldAndPrune) {
  const KernelSet& set = *GetParam();
  std::mt19937 gen(13);
  for (std::size_t dim : {16, 17, 128, 300, 1536}) {
    for (int shape = 0; shape < kShapes; ++shape) {
      const std::size_t count = 48, nq = 6;
      const Vec rows = shaped_rows(shape, count, dim, gen);
      Vec queries = shaped_rows(shape, nq, dim, gen);
      std::copy(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(dim), queries.begin());
      const Vec blocks = as_blocks(rows, count, dim);
      const std::size_t nblocks = (count + kBlockWidth - 1) / kBlockWidth;
      Int8Chunk chunk;
      set.int8_quantize(blocks.data(), nblocks, dim, chunk);
      std::vector<Int8Query> qs(nq);
      std::vector<const Int8Query*> ptrs(nq);
      for (std::size_t q = 0; q < nq; ++q) {
        quantize_query(queries.data() + q * dim, dim, qs[q]);
        ptrs[q] = &qs[q];
      }
      const std::size_t stride = nblocks * kBlockWidth;
      Vec lower(nq * stride), dot_lower(nq * stride);
      set.int8_lower_bounds(ptrs.data(), nq, chunk, 0, nblocks, dim, lower.data(), stride);
      set.int8_dot_lower_bounds(ptrs.data(), nq, chunk, 0, nblocks, dim, dot_lower.data(), stride);
      std::size_t bounded = 0;
      for (std::size_t q = 0; q < nq; ++q) {
        for (std::size_t r = 0; r < count; ++r) {
          long double real = 0;
          for (std::size_t i = 0; i < dim; ++i) {
            const long double d = static_cast<long double>(rows[r * dim + i]) - queries[q * dim + i];
            real += d * d;
          }
          const float l = lower[q * stride + r];
          // Dot: never above the distance the kernels compute.
          const float dl = dot_lower[q * stride + r];
          const float dot = dot_distance(queries.data() + q * dim, rows.data() + r * dim, dim);
          EXPECT_FALSE(dl > dot) << set.name << " dot, dim " << dim << " shape " << shape << " query " << q
                                 << " row " << r << ": " << dl << " > " << dot;
          EXPECT_EQ(std::isnan(dl), std::isnan(l)) << "the same vectors and queries have bounds";
          if (std::isnan(l)) continue;
          ++bounded;
          EXPECT_LE(static_cast<long double>(l), real)
              << set.name << " dim " << dim << " shape " << shape << " query " << q << " row " << r;
          const float exact = euclidean_distance(queries.data() + q * dim, rows.data() + r * dim, dim);
          EXPECT_FALSE(l > euclidean_sum_limit(exact, dim)) << set.name << " dim " << dim << " shape " << shape;
          if (shape == 0 && real > 0) {
            EXPECT_GT(static_cast<long double>(l), real * 0.9L) << "dim " << dim << ": a bound too loose to prune";
          }
        }
      }
      // Plain, equal-distance and dominant-component data are bounded.
      if (shape == 0 || shape == 3 || shape == 4) {
        EXPECT_EQ(bounded, nq * count) << set.name << " dim " << dim << " shape " << shape;
      }
    }
  }
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Int8Bound);
INSTANTIATE_TEST_SUITE_P(EveryInt8Path, Int8Bound, ::testing::ValuesIn(paths_with(&KernelSet::int8_lower_bounds)),
                         [](const auto& info) { return std::string(info.param->name); });

TEST(FusedEuclideanLimit, RulesOutNothingWithoutAFiniteKth) {
  for (float kth : {std::numeric_limits<float>::quiet_NaN(), kInf, -1.0f, 3e19f, 1e38f})
    EXPECT_EQ(euclidean_sum_limit(kth, 128), kInf) << kth;
  // And something once it has one: a finite limit a little above kth^2.
  const float limit = euclidean_sum_limit(2.0f, 128);
  EXPECT_GT(limit, 4.0f);
  EXPECT_LT(limit, 4.01f);
  EXPECT_EQ(euclidean_sum_limit(0.0f, 1), euclidean_sum_limit(0.0f, 1));
  EXPECT_GT(euclidean_sum_limit(0.0f, 1), 0.0f);
}

// The same ids in the same order, the same distance bits (any NaN is a NaN:
// its sign and payload are not part of a distance).
bool same_list(const std::vector<SearchResult>& a, const std::vector<SearchResult>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const bool both_nan = std::isnan(a[i].distance) && std::isnan(b[i].distance);
    if (a[i].id != b[i].id || (!both_nan && std::memcmp(&a[i].distance, &b[i].distance, sizeof(float)) != 0))
      return false;
  }
  return true;
}

// The batch through the bounds (euclidean and dot) gives the plain scalar batch's lists,
// ids and distance bits in the same order (the bound only skips vectors
// that could not have entered), filtered or not, with NaN and infinite
// components among the vectors and the queries.
TEST_P(FusedEuclidean, BatchListsAreThePlainScans) {
  std::mt19937 gen(9);
  for (std::size_t dim : {2, 16, 128, 768}) {
    for (int shape = 0; shape < kShapes; ++shape) {
      const std::size_t count = dim >= 768 ? 900 : 3000, nq = 11;
      Vec rows = shaped_rows(shape, count, dim, gen);
      Vec queries = shaped_rows(shape, nq, dim, gen);
      rows[5 * dim] = std::numeric_limits<float>::quiet_NaN();
      rows[9 * dim + dim - 1] = -kInf;
      std::copy(rows.begin() + 40 * static_cast<std::ptrdiff_t>(dim), rows.begin() + 41 * static_cast<std::ptrdiff_t>(dim),
                rows.begin() + 41 * static_cast<std::ptrdiff_t>(dim));  // a duplicate
      queries[dim] = kInf;
      std::copy(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(dim), queries.begin() + 2 * static_cast<std::ptrdiff_t>(dim));
      for (DistanceMetric metric : {DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
      VectorIndex fused(metric, dim), plain(metric, dim);
      fused.set_kernels(*GetParam());
      plain.set_kernels(scalar_kernels());
      std::vector<std::uint64_t> ids(count);
      for (std::size_t i = 0; i < count; ++i) ids[i] = i * 7 + 1;
      ASSERT_TRUE(fused.insert_batch(ids.data(), rows.data(), count).ok());
      ASSERT_TRUE(plain.insert_batch(ids.data(), rows.data(), count).ok());
      SlotBitmap only(count);
      for (std::size_t s = 0; s < count; ++s)
        if (gen() % 3 == 0) only.set(s);
      for (std::size_t k : {1, 10, 100}) {
        const auto got = fused.search_batch(queries.data(), nq, k);
        const auto want = plain.search_batch(queries.data(), nq, k);
        const auto got_only = fused.search_batch(queries.data(), nq, k, only);
        const auto want_only = plain.search_batch(queries.data(), nq, k, only);
        for (std::size_t q = 0; q < nq; ++q) {
          EXPECT_TRUE(same_list(got[q], want[q])) << GetParam()->name << " " << metric_name(metric) << " dim "
                                                  << dim << " shape " << shape << " k " << k << " query " << q;
          EXPECT_TRUE(same_list(got_only[q], want_only[q])) << GetParam()->name << " dim " << dim << " shape "
                                                            << shape << " k " << k << " query " << q << " filtered";
        }
      }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryFusedPath, FusedEuclidean, ::testing::ValuesIn(paths_with(&KernelSet::fused_euclidean_sums)),
                         [](const auto& info) { return std::string(info.param->name); });

}  // namespace
}  // namespace velmoradb
