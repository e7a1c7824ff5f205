// The pruned search over int8 codes returns the plain scan's answer (the
// same distances bit for bit, ids that truly have them) on adversarial data,
// for every metric it serves, on every kernel path that has its bound; and
// its bounds hold against the exact real distance.
#include "engine/codes/int8_codes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/codes/bound_codes.h"
#include "engine/kernels/kernels.h"
#include "engine/pruning_test_data.h"

namespace velmoradb {
namespace {

using namespace pruning_test;

std::vector<const KernelSet*> int8_paths() {
  const KernelSet* sets[8];
  const std::size_t n = available_kernels(sets, 8);
  std::vector<const KernelSet*> out;
  for (std::size_t i = 0; i < n; ++i)
    if (Int8Codes::suits(DistanceMetric::Euclidean, 64, *sets[i])) out.push_back(sets[i]);
  return out;
}


class Int8CodeSearch : public ::testing::TestWithParam<Case> {};

// Over dimensions with and without a tail of 4, counts across several of
// the search's chunks of blocks (at 300 dimensions, with every bound kept
// and the exact distances taken in a second pass), k from 1 to past the
// count; with filters
// (a third, fewer than k, a chunk with none, nothing, and sparse chunks,
// whose blocks are bounded one by one, beside dense ones, bounded whole).
TEST_P(Int8CodeSearch, MatchesThePlainScan) {
  const auto [shape, metric] = GetParam();
  const std::vector<const KernelSet*> paths = int8_paths();
  if (paths.empty()) GTEST_SKIP() << "no kernel path with the int8 bound on this CPU";
  std::mt19937 gen(static_cast<unsigned>(shape) * 17 + static_cast<unsigned>(metric));
  for (std::size_t dim : {16, 37, 300}) {
    const std::size_t count = dim == 300 ? 1300 : 2500;
    const Vec rows = make_rows(shape, count, dim, gen);
    const Vec queries = make_queries(shape, rows, count, dim, gen);
    const std::size_t nq = queries.size() / dim;
    ExactDistances exact = exact_distances_of_rows(metric, queries.data(), rows.data(), dim);
    SlotBitmap third(count), few(count), late(count), patchy(count);
    for (std::size_t s = 0; s < count; ++s) {
      if (gen() % 3 == 0) third.set(s);
      if (gen() % (s / 1024 % 2 == 0 ? 200 : 4) == 0) patchy.set(s);
      if (s >= count - 40) late.set(s);  // the chunks before hold no candidate
    }
    few.set(3);
    few.set(count - 1);
    for (const KernelSet* path : paths) {
      Int8Codes codes(metric, dim, *path);
      codes.build(rows.data(), count);
      ASSERT_EQ(codes.size(), count);
      for (std::size_t q = 0; q < nq; ++q) {
        const float* query = queries.data() + q * dim;
        auto exact_q = [&](std::size_t, const std::uint32_t* s, std::size_t n, float* out) { exact(q, s, n, out); };
        for (std::size_t k : {std::size_t{1}, std::size_t{10}, count + 5}) {
          ASSERT_TRUE(same_answer(metric, query, rows, dim, plain_scan(metric, query, rows, dim, k),
                                  codes.search(query, k, exact_q)))
              << path->name << " dim " << dim << " k " << k << " query " << q;
        }
        for (const SlotBitmap* filter : {&third, &few, &late, &patchy}) {
          ASSERT_TRUE(same_answer(metric, query, rows, dim, plain_scan(metric, query, rows, dim, 10, filter),
                                  codes.search(query, 10, exact_q, filter), filter))
              << path->name << " dim " << dim << " query " << q << " filter of " << filter->count();
        }
      }
    }
  }
}

// Appends, replacements and removals (with the index's slot moves, across
// the end of a block) keep the answers those of the plain scan over the
// current rows, and the count of vectors always computed exactly current.
TEST_P(Int8CodeSearch, StaysExactThroughAppendReplaceAndRemove) {
  const auto [shape, metric] = GetParam();
  const std::vector<const KernelSet*> paths = int8_paths();
  if (paths.empty()) GTEST_SKIP() << "no kernel path with the int8 bound on this CPU";
  std::mt19937 gen(99 + static_cast<unsigned>(shape));
  const std::size_t dim = 18;
  const Vec rows = make_rows(shape, 400, dim, gen);
  Int8Codes codes(metric, dim, *paths.back());
  codes.build(rows.data(), 300);
  Vec held(rows.begin(), rows.begin() + 300 * dim);
  for (std::size_t r = 300; r < 400; ++r) codes.append(rows.data() + r * dim);
  held.insert(held.end(), rows.begin() + 300 * dim, rows.end());
  for (std::uint32_t s = 5; s < 400; s += 37) {
    const std::uint32_t from = (s * 7 + 3) % 400;
    Vec row(held.begin() + from * dim, held.begin() + (from + 1) * dim);
    if (s % 2 == 1) row[s % dim] = std::numeric_limits<float>::quiet_NaN();
    ASSERT_TRUE(codes.replace(s, row.data()));
    std::copy(row.begin(), row.end(), held.begin() + s * dim);
  }
  for (std::uint32_t s : {0u, 17u, 250u, 380u, 10u, 390u}) {
    ASSERT_TRUE(codes.remove(s));
    const std::size_t last = held.size() / dim - 1;
    std::copy(held.begin() + last * dim, held.begin() + (last + 1) * dim, held.begin() + s * dim);
    held.resize(last * dim);
  }
  // Down past the start of the last block (the block is dropped).
  while (codes.size() % kBlockWidth != kBlockWidth - 1) {
    ASSERT_TRUE(codes.remove(static_cast<std::uint32_t>(codes.size() - 1)));
    held.resize(held.size() - dim);
  }
  const std::size_t n = held.size() / dim;
  ASSERT_EQ(codes.size(), n);
  EXPECT_FALSE(codes.remove(static_cast<std::uint32_t>(n)));
  EXPECT_FALSE(codes.replace(static_cast<std::uint32_t>(n), held.data()));
  std::size_t nonfinite = 0;
  for (std::size_t s = 0; s < n; ++s) {
    bool finite = true;
    for (std::size_t i = 0; i < dim; ++i) finite = finite && std::isfinite(held[s * dim + i]);
    nonfinite += finite ? 0 : 1;
  }
  EXPECT_GE(codes.exact_only_count(), nonfinite);

  const Vec queries = make_queries(shape, held, n, dim, gen);
  ExactDistances exact = exact_distances_of_rows(metric, queries.data(), held.data(), dim);
  for (std::size_t q = 0; q < queries.size() / dim; ++q) {
    const float* query = queries.data() + q * dim;
    auto exact_q = [&](std::size_t, const std::uint32_t* s, std::size_t m, float* out) { exact(q, s, m, out); };
    for (std::size_t k : {1, 10, 500})
      ASSERT_TRUE(same_answer(metric, query, held, dim, plain_scan(metric, query, held, dim, k),
                              codes.search(query, k, exact_q)))
          << "k " << k << " query " << q;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryShapeAndMetric, Int8CodeSearch,
                         ::testing::ValuesIn(cases_for({DistanceMetric::Euclidean, DistanceMetric::DotProduct,
                                                        DistanceMetric::Cosine})),
                         case_name);

// A row's codes are x / scale rounded to the nearest integer, ties to
// even, within +-127 (the rounding is done without nearbyint, so the
// compiler must not fuse or fold it); its figures bound what they name,
// in long double; a row with an infinite or NaN component gets no bound.
TEST(Int8Codes, QuantizedRowsAreTheNearestCodesAndTheirFiguresHold) {
  std::mt19937 gen(5);
  for (int s = 0; s <= static_cast<int>(Shape::ExactCodes); ++s) {
    const auto shape = static_cast<Shape>(s);
    for (std::size_t dim : {16, 37, 300}) {
      Vec rows = make_rows(shape, 40, dim, gen);
      // The first row at the rounding's ties: a scale of exactly 1 and
      // halves, odd and even.
      rows[0] = 127.0f;
      for (std::size_t i = 1; i < dim; ++i) rows[i] = (static_cast<float>(i % 255) - 127.0f) * 0.5f;
      for (std::size_t r = 0; r < 40; ++r) {
        const float* row = rows.data() + r * dim;
        std::vector<std::int8_t> codes(int8_padded(dim), 99);
        std::int32_t code_sum = 0;
        const Int8Figures f = quantize_row(row, dim, codes.data(), code_sum);
        bool finite = true;
        float max_abs = 0.0f;
        for (std::size_t i = 0; i < dim; ++i) {
          finite = finite && std::isfinite(row[i]);
          max_abs = std::max(max_abs, std::fabs(row[i]));
        }
        if (!finite) {
          EXPECT_TRUE(std::isnan(f.norm2_lo)) << shape_name(shape) << " row " << r;
          continue;
        }
        float inverse = max_abs > 0.0f ? 127.0f / max_abs : 0.0f;
        if (!std::isfinite(inverse)) inverse = 0.0f;
        long double x2 = 0, c2 = 0, e2 = 0;
        std::int32_t sum = 0;
        for (std::size_t i = 0; i < int8_padded(dim); ++i) {
          const float want = i < dim ? std::clamp(std::nearbyint(row[i] * inverse), -127.0f, 127.0f) : 0.0f;
          ASSERT_EQ(codes[i], static_cast<std::int8_t>(want)) << shape_name(shape) << " row " << r << " at " << i;
          if (i >= dim) continue;
          const long double x = row[i], c = want, e = x - static_cast<long double>(f.scale) * c;
          x2 += x * x;
          c2 += c * c;
          e2 += e * e;
          sum += codes[i];
        }
        EXPECT_EQ(code_sum, sum);
        if (std::isnan(f.norm2_lo)) continue;  // too large to bound: computed exactly
        EXPECT_LE(static_cast<long double>(f.norm2_lo), x2) << shape_name(shape) << " row " << r;
        EXPECT_GE(static_cast<long double>(f.code_norm_hi), static_cast<long double>(f.scale) * std::sqrt(c2));
        EXPECT_GE(static_cast<long double>(f.residual_hi), std::sqrt(e2)) << shape_name(shape) << " row " << r;
      }
    }
  }
}

// One query's bounds (the search's path, with its own chains of sums) are
// the bits a batch of queries gets for it, and at most the exact real
// squared distance.
TEST(Int8Codes, OneQueryBoundsAreTheBatchBoundsAndHold) {
  const std::vector<const KernelSet*> paths = int8_paths();
  if (paths.empty()) GTEST_SKIP() << "no kernel path with the int8 bound on this CPU";
  std::mt19937 gen(3);
  for (Shape shape : {Shape::Gaussian, Shape::Magnitudes, Shape::Dominant, Shape::RoundingEdges, Shape::Tiny}) {
    for (std::size_t dim : {16, 20, 64, 129}) {
      const std::size_t count = 80;  // 5 blocks
      const Vec rows = make_rows(shape, count, dim, gen);
      const Vec queries = make_rows(shape, 3, dim, gen);
      std::vector<Int8Query> q(3);
      for (std::size_t i = 0; i < 3; ++i) quantize_query(queries.data() + i * dim, dim, q[i]);
      const Int8Query* all[3] = {&q[0], &q[1], &q[2]};
      Int8Chunk chunk;
      for (const KernelSet* path : paths) {
        path->int8_quantize(nullptr, 0, dim, chunk);  // an empty chunk is fine
        Vec blocks(count * dim);
        for (std::size_t s = 0; s < count; ++s)
          for (std::size_t i = 0; i < dim; ++i) blocks[(s / kBlockWidth) * dim * kBlockWidth + i * kBlockWidth + s % kBlockWidth] = rows[s * dim + i];
        path->int8_quantize(blocks.data(), count / kBlockWidth, dim, chunk);
        for (Int8BoundKernel kernel : {path->int8_lower_bounds, path->int8_dot_lower_bounds}) {
          Vec batch(3 * count), one(count);
          kernel(all, 3, chunk, 0, count / kBlockWidth, dim, batch.data(), count);
          for (std::size_t i = 0; i < 3; ++i) {
            // From block 1 on, to check the offset into the chunk too.
            kernel(all + i, 1, chunk, 1, count / kBlockWidth - 1, dim, one.data(), count);
            for (std::size_t s = kBlockWidth; s < count; ++s)
              ASSERT_TRUE(same_bits(one[s - kBlockWidth], batch[i * count + s])) << shape_name(shape) << " dim " << dim << " slot " << s;
            if (kernel != path->int8_lower_bounds) continue;
            for (std::size_t s = 0; s < count; ++s) {
              long double sum = 0;
              for (std::size_t c = 0; c < dim; ++c) {
                const long double d = static_cast<long double>(rows[s * dim + c]) - queries[i * dim + c];
                sum += d * d;
              }
              EXPECT_FALSE(batch[i * count + s] > sum) << shape_name(shape) << " dim " << dim << " slot " << s;
            }
          }
        }
      }
    }
  }
}

// Only where the bound serves: every metric but Hamming, dimensions 16 ..
// 8192, a kernel set with the bound; make_pruning_codes falls back to cell
// codes.
TEST(Int8Codes, ServesOnlyTheMetricsAndDimensionsOfItsBound) {
  const KernelSet& scalar = scalar_kernels();
  EXPECT_FALSE(Int8Codes::suits(DistanceMetric::Euclidean, 64, scalar));
  EXPECT_EQ(dynamic_cast<Int8Codes*>(make_pruning_codes(DistanceMetric::Euclidean, 64, scalar).get()), nullptr);
  for (const KernelSet* path : int8_paths()) {
    EXPECT_TRUE(Int8Codes::suits(DistanceMetric::DotProduct, kInt8MinDim, *path));
    EXPECT_TRUE(Int8Codes::suits(DistanceMetric::Euclidean, kInt8MaxDim, *path));
    EXPECT_FALSE(Int8Codes::suits(DistanceMetric::Euclidean, kInt8MinDim - 1, *path));
    EXPECT_FALSE(Int8Codes::suits(DistanceMetric::Euclidean, kInt8MaxDim + 1, *path));
    EXPECT_TRUE(Int8Codes::suits(DistanceMetric::Cosine, 64, *path));
    EXPECT_FALSE(Int8Codes::suits(DistanceMetric::Hamming, 64, *path));
    EXPECT_NE(dynamic_cast<Int8Codes*>(make_pruning_codes(DistanceMetric::Euclidean, 64, *path).get()), nullptr);
    EXPECT_NE(dynamic_cast<BoundCodes*>(make_pruning_codes(DistanceMetric::Cosine, 8, *path).get()), nullptr);
  }
}

// A filter with another number of bits than the codes have slots (a stale
// one) selects nothing, from either kind of codes: it must not be taken as
// no filter, which would return records the caller left out.
TEST(PruningCodes, AFilterOfAnotherSizeSelectsNothing) {
  std::mt19937 gen(4);
  const std::size_t dim = 32, count = 100;
  const Vec rows = make_rows(Shape::Gaussian, count, dim, gen);
  ExactDistances exact = exact_distances_of_rows(DistanceMetric::Euclidean, rows.data(), rows.data(), dim);
  const KernelSet* sets[8];
  const std::size_t n = available_kernels(sets, 8);
  for (std::size_t p = 0; p < n; ++p) {
    std::unique_ptr<PruningCodes> codes = make_pruning_codes(DistanceMetric::Euclidean, dim, *sets[p]);
    codes->build(rows.data(), count);
    for (std::size_t bits : {count - 1, count + 1, std::size_t{0}}) {
      SlotBitmap stale(bits);
      for (std::size_t s = 0; s < bits; ++s) stale.set(s);
      EXPECT_TRUE(codes->search(rows.data(), 5, exact, &stale).empty()) << sets[p]->name << " bits " << bits;
    }
    SlotBitmap all(count);
    for (std::size_t s = 0; s < count; ++s) all.set(s);
    EXPECT_EQ(codes->search(rows.data(), 5, exact, &all).size(), 5u) << sets[p]->name;
  }
}

// Gaussian noise at 128 dimensions, the case the cell codes could not
// prune: all but a few vectors are ruled out by their bound.
TEST(Int8Codes, PrunesGaussianNoise) {
  const std::vector<const KernelSet*> paths = int8_paths();
  if (paths.empty()) GTEST_SKIP() << "no kernel path with the int8 bound on this CPU";
  std::mt19937 gen(8);
  const std::size_t dim = 128, count = 20000;
  const Vec rows = make_rows(Shape::Gaussian, count, dim, gen);
  const Vec queries = make_rows(Shape::Gaussian, 5, dim, gen);
  for (DistanceMetric metric : {DistanceMetric::Euclidean, DistanceMetric::DotProduct, DistanceMetric::Cosine}) {
    Int8Codes codes(metric, dim, *paths.back());
    codes.build(rows.data(), count);
    ExactDistances exact = exact_distances_of_rows(metric, queries.data(), rows.data(), dim);
    BoundSearchStats stats;
    for (std::size_t q = 0; q < 5; ++q) {
      auto exact_q = [&](std::size_t, const std::uint32_t* s, std::size_t m, float* out) { exact(q, s, m, out); };
      ASSERT_EQ(codes.search(queries.data() + q * dim, 10, exact_q, nullptr, &stats).size(), 10u);
    }
    EXPECT_EQ(stats.candidates, 5 * count);
    EXPECT_LT(stats.exact, 5 * count / 20) << metric_name(metric);
  }
}

// The cosine bounds of a row, four lanes at a time and in a tail, are the
// formula's bits lane by lane, for every kind of norm and bound: zero, tiny,
// huge, infinite and NaN norms, bounds that overflow the quotient, NaN
// bounds, and a zero or infinite query norm.
TEST(Int8Codes, CosineBoundsAreTheFormulaLaneByLane) {
  constexpr float kMax = std::numeric_limits<float>::max();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  constexpr float kTiny = std::numeric_limits<float>::denorm_min();
  const std::vector<float> norms_pool{0.0f, kTiny, 1e-30f, 0.5f, 1.0f, 3.0f, 1e30f, kMax, kInf, kNaN};
  const std::vector<float> lower_pool{0.0f, -0.0f, -1.0f, 1.0f, -2.5f, -kMax, kMax, -kInf, kInf, kNaN, -1e-30f};
  std::mt19937 gen(3);
  auto pick = [&](const std::vector<float>& pool) { return pool[gen() % pool.size()]; };
  for (float query_norm : {0.0f, kTiny, 1.0f, 7.25f, 1e30f, kMax, kInf, kNaN}) {
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{4}, std::size_t{9},
                          std::size_t{203}}) {
      std::vector<float> norms(n), lower(n);
      for (std::size_t j = 0; j < n; ++j) {
        norms[j] = pick(norms_pool);
        lower[j] = pick(lower_pool);
      }
      std::vector<float> got = lower;
      cosine_bounds(got.data(), norms.data(), n, query_norm);
      for (std::size_t j = 0; j < n; ++j) {
        const float den = query_norm * norms[j];
        const float want = den > 0.0f && den <= kMax ? 1.0f - (-lower[j]) / den : kNaN;
        ASSERT_TRUE(same_bits(got[j], want) || (std::isnan(got[j]) && std::isnan(want)))
            << "lane " << j << " of " << n << ": lower " << lower[j] << ", norm " << norms[j] << ", query norm "
            << query_norm << ": " << got[j] << " against " << want;
      }
    }
  }
}

}  // namespace
}  // namespace velmoradb
