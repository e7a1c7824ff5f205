// The pruned search over bound codes returns the plain scan's answer: the
// same distances bit for bit and ids that truly have them, on adversarial
// data, every metric and every kernel path, with filters, batches and
// changes to the stored vectors.
#include "engine/codes/bound_codes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/codes/code_scan.h"
#include "engine/kernels/kernels.h"
#include "engine/index/top_k.h"
#include "engine/index/vector_index.h"
#include "engine/pruning_test_data.h"

namespace velmoradb {
namespace {

using namespace pruning_test;


class BoundCodeSearch : public ::testing::TestWithParam<Case> {};

// Against VectorIndex::search on every kernel path, over dimensions with
// and without a tail, counts across several scan chunks, and k from 1 to
// past the count.
TEST_P(BoundCodeSearch, MatchesThePlainScanOnEveryKernelPath) {
  const auto [shape, metric] = GetParam();
  const KernelSet* sets[8];
  const std::size_t npaths = available_kernels(sets, 8);
  const CodeScanPath* scans[8];
  const std::size_t nscans = available_code_scans(scans, 8);
  std::mt19937 gen(static_cast<unsigned>(shape) * 31 + static_cast<unsigned>(metric));
  // Dimensions with and without a tail of the 16-component steps, and one
  // past a run of exact 16-bit sums.
  for (std::size_t dim : {1, 5, 16, 37, 300}) {
    const std::size_t count = dim == 300 ? 200 : 600;
    Vec rows = make_rows(shape, count, dim, gen);
    Vec queries = make_queries(shape, rows, count, dim, gen);
    const std::size_t nq = queries.size() / dim;
    BoundCodes codes(metric, dim);
    codes.build(rows.data(), count);
    VectorIndex index(metric, dim);
    for (std::size_t s = 0; s < count; ++s) ASSERT_TRUE(index.insert(s, rows.data() + s * dim, dim));
    ExactDistances exact = exact_distances_of_rows(metric, queries.data(), rows.data(), dim);
    for (std::size_t k : {std::size_t{1}, std::size_t{10}, count / 2, count + 5}) {
      std::vector<std::vector<Candidate>> want(nq);
      for (std::size_t q = 0; q < nq; ++q) {
        for (std::size_t p = 0; p < npaths; ++p) {
          index.set_kernels(*sets[p]);
          std::vector<Candidate> plain;
          for (const SearchResult& r : index.search(queries.data() + q * dim, dim, k))
            plain.push_back({r.distance, static_cast<std::uint32_t>(r.id)});
          if (p == 0) want[q] = plain;
          ASSERT_TRUE(same_answer(metric, queries.data() + q * dim, rows, dim, want[q], plain)) << sets[p]->name;
        }
      }
      for (std::size_t c = 0; c < nscans; ++c) {
        codes.set_scan_path(*scans[c]);
        std::vector<std::vector<Candidate>> batch = codes.search_batch(queries.data(), nq, k, exact);
        for (std::size_t q = 0; q < nq; ++q) {
          const float* query = queries.data() + q * dim;
          std::vector<Candidate> got = codes.search(query, k, [&](std::size_t, const std::uint32_t* s, std::size_t n, float* out) {
            exact(q, s, n, out);
          });
          ASSERT_TRUE(same_answer(metric, query, rows, dim, want[q], got))
              << scans[c]->name << " dim " << dim << " k " << k << " query " << q;
          ASSERT_TRUE(same_answer(metric, query, rows, dim, want[q], batch[q]))
              << "batch, " << scans[c]->name << " dim " << dim << " k " << k << " query " << q;
        }
      }
    }
  }
}

// Filters: a random third of the slots, fewer slots than k, none.
TEST_P(BoundCodeSearch, FilteredSearchMatchesTheFilteredPlainScan) {
  const auto [shape, metric] = GetParam();
  std::mt19937 gen(7 + static_cast<unsigned>(shape));
  const std::size_t dim = 20, count = 700;
  Vec rows = make_rows(shape, count, dim, gen);
  Vec queries = make_queries(shape, rows, count, dim, gen);
  const std::size_t nq = queries.size() / dim;
  BoundCodes codes(metric, dim);
  codes.build(rows.data(), count);
  ExactDistances exact = exact_distances_of_rows(metric, queries.data(), rows.data(), dim);
  SlotBitmap third(count), few(count), none(count);
  for (std::size_t s = 0; s < count; ++s)
    if (gen() % 3 == 0) third.set(s);
  few.set(3);
  few.set(count - 1);
  for (const SlotBitmap* filter : {&third, &few, &none}) {
    for (std::size_t k : {1, 10}) {
      auto batch = codes.search_batch(queries.data(), nq, k, exact, filter);
      for (std::size_t q = 0; q < nq; ++q) {
        const float* query = queries.data() + q * dim;
        ASSERT_TRUE(same_answer(metric, query, rows, dim, plain_scan(metric, query, rows, dim, k, filter), batch[q], filter))
            << "k " << k << " query " << q << " filter of " << filter->count();
      }
    }
  }
}

// Appends past the cells, replacements and removals (with the index's slot
// moves) keep the answers those of the plain scan over the current rows.
TEST_P(BoundCodeSearch, StaysExactThroughAppendReplaceAndRemove) {
  const auto [shape, metric] = GetParam();
  std::mt19937 gen(99 + static_cast<unsigned>(shape));
  const std::size_t dim = 17;
  Vec rows = make_rows(shape, 400, dim, gen);
  BoundCodes codes(metric, dim);
  codes.build(rows.data(), 300);
  Vec held(rows.begin(), rows.begin() + 300 * dim);
  // Appends, some far outside the cells built from the first rows.
  for (std::size_t r = 300; r < 400; ++r) {
    Vec row(rows.begin() + r * dim, rows.begin() + (r + 1) * dim);
    if (r % 10 == 0) row[r % dim] = row[r % dim] * 1e3f + 1e3f;
    codes.append(row.data());
    held.insert(held.end(), row.begin(), row.end());
  }
  // Replacements with other rows (including their outliers).
  for (std::uint32_t s = 5; s < 400; s += 37) {
    std::uint32_t from = (s * 7 + 3) % 400;
    Vec row(held.begin() + from * dim, held.begin() + (from + 1) * dim);
    ASSERT_TRUE(codes.replace(s, row.data()));
    std::copy(row.begin(), row.end(), held.begin() + s * dim);
  }
  // Removals: the last slot moves into the freed one.
  for (std::uint32_t s : {0u, 17u, 250u, 380u, 10u}) {
    ASSERT_TRUE(codes.remove(s));
    std::size_t last = held.size() / dim - 1;
    std::copy(held.begin() + last * dim, held.begin() + (last + 1) * dim, held.begin() + s * dim);
    held.resize(last * dim);
  }
  // The last slot itself.
  ASSERT_TRUE(codes.remove(static_cast<std::uint32_t>(codes.size() - 1)));
  held.resize(held.size() - dim);
  ASSERT_EQ(codes.size(), held.size() / dim);
  EXPECT_FALSE(codes.remove(static_cast<std::uint32_t>(codes.size())));
  EXPECT_FALSE(codes.replace(static_cast<std::uint32_t>(codes.size()), held.data()));

  Vec queries = make_queries(shape, held, held.size() / dim, dim, gen);
  const std::size_t nq = queries.size() / dim;
  ExactDistances exact = exact_distances_of_rows(metric, queries.data(), held.data(), dim);
  for (std::size_t k : {1, 10, 500}) {
    auto batch = codes.search_batch(queries.data(), nq, k, exact);
    for (std::size_t q = 0; q < nq; ++q) {
      const float* query = queries.data() + q * dim;
      ASSERT_TRUE(same_answer(metric, query, held, dim, plain_scan(metric, query, held, dim, k), batch[q]))
          << "k " << k << " query " << q;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryShapeAndMetric, BoundCodeSearch,
                         ::testing::ValuesIn(cases_for({DistanceMetric::Euclidean, DistanceMetric::Cosine,
                                                        DistanceMetric::DotProduct, DistanceMetric::Hamming})),
                         case_name);

// Codes built over nothing: what is appended widens the outer cells, the
// answers stay right, and the growth asks for a rebuild.
TEST(BoundCodes, EmptyBuildThenAppendsAsksForARebuild) {
  std::mt19937 gen(5);
  const std::size_t dim = 8;
  Vec rows = make_rows(Shape::Gaussian, 200, dim, gen);
  BoundCodes codes(DistanceMetric::Euclidean, dim);
  codes.build(nullptr, 0);
  for (std::size_t r = 0; r < 200; ++r) codes.append(rows.data() + r * dim);
  EXPECT_EQ(codes.exact_only_count(), 0u);
  EXPECT_TRUE(codes.needs_rebuild());
  ExactDistances exact = exact_distances_of_rows(DistanceMetric::Euclidean, rows.data(), rows.data(), dim);
  auto got = codes.search(rows.data(), 5, exact);
  EXPECT_TRUE(same_answer(DistanceMetric::Euclidean, rows.data(), rows, dim,
                          plain_scan(DistanceMetric::Euclidean, rows.data(), rows, dim, 5), got));
  codes.build(rows.data(), 200);
  EXPECT_EQ(codes.exact_only_count(), 0u);
  EXPECT_FALSE(codes.needs_rebuild());
  EXPECT_EQ(codes.search(rows.data(), 0, exact).size(), 0u);
}

// The point of the codes: on ordinary data most vectors are never computed.
TEST(BoundCodes, PrunesMostVectorsOfGaussianData) {
  std::mt19937 gen(3);
  const std::size_t dim = 32, count = 4000;
  Vec rows = make_rows(Shape::Gaussian, count, dim, gen);
  Vec queries = make_rows(Shape::Gaussian, 4, dim, gen);
  for (DistanceMetric metric : {DistanceMetric::Euclidean, DistanceMetric::Cosine, DistanceMetric::DotProduct}) {
    BoundCodes codes(metric, dim);
    codes.build(rows.data(), count);
    BoundSearchStats stats;
    codes.search_batch(queries.data(), 4, 10, exact_distances_of_rows(metric, queries.data(), rows.data(), dim),
                       nullptr, &stats);
    EXPECT_EQ(stats.candidates, 4 * count);
    EXPECT_LT(stats.exact, stats.candidates / 4) << metric_name(metric);
  }
}

// The bound itself, where it is tightest: every component on a cell of a
// single value, so the real-valued bound is the real distance and only the
// rounding allowance keeps it below the computed one. For each vector, the
// computed distance taken as the k-th must not rule the vector out.
enum class Palette { Gaussian, Ulps, RoundUp, Magnitudes, Subnormal, NearOverflow };

std::vector<float> palette_values(Palette p, std::size_t i, std::mt19937& gen) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> v;
  for (int j = 0; j < 100; ++j) {
    switch (p) {
      case Palette::Gaussian: v.push_back(normal(gen)); break;
      case Palette::Ulps: {
        float x = i % 2 ? 16777216.0f : 1.0f;
        for (int s = 0; s < j % 50; ++s) x = std::nextafter(x, j < 50 ? 0.0f : 1e30f);
        v.push_back(x);
        break;
      }
      // A large first component and small ones that each round the sum up
      // (2^24 + 3 rounds to 2^24 + 4).
      case Palette::RoundUp: v.push_back(i == 0 ? 16777216.0f + 2.0f * static_cast<float>(j) : static_cast<float>(j % 7)); break;
      case Palette::Magnitudes: v.push_back(normal(gen) * std::pow(10.0f, static_cast<float>(j % 41 - 20))); break;
      case Palette::Subnormal: v.push_back(static_cast<float>(j - 50) * (j % 2 ? 1e-45f : 1e-23f)); break;
      case Palette::NearOverflow: v.push_back(normal(gen) * 1e18f); break;
    }
  }
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return v;
}

TEST(BoundCodes, BoundStaysBelowTheComputedDistanceOnSingleValueCells) {
  std::mt19937 gen(21);
  constexpr std::size_t kEnds = kCodeCells + 1;
  for (int p = 0; p <= static_cast<int>(Palette::NearOverflow); ++p) {
    for (std::size_t dim : {3, 16, 33, 130}) {
      // Ends v0 v0 v1 v1 ...: cell 2j holds v_j alone.
      std::vector<std::vector<float>> values(dim);
      Vec ends(dim * kEnds);
      for (std::size_t i = 0; i < dim; ++i) {
        values[i] = palette_values(static_cast<Palette>(p), i, gen);
        for (std::size_t c = 0; c < kEnds; ++c) ends[i * kEnds + c] = values[i][std::min(c / 2, values[i].size() - 1)];
      }
      const std::size_t count = 300;
      Vec rows(count * dim);
      std::vector<std::uint8_t> codes(count * dim);
      for (std::size_t r = 0; r < count; ++r)
        for (std::size_t i = 0; i < dim; ++i) {
          // Values 0 .. kCodeCells / 2 - 1 have cells of their own.
          const std::size_t usable = std::min(values[i].size(), kCodeCells / 2);
          std::size_t j = gen() % usable;
          if (r < 20) j = usable - 1 - (r % 3) % usable;  // near-duplicates at the extreme
          rows[r * dim + i] = values[i][j];
          codes[r * dim + i] = static_cast<std::uint8_t>(2 * j);
        }
      for (DistanceMetric metric : {DistanceMetric::Euclidean, DistanceMetric::DotProduct, DistanceMetric::Cosine}) {
        QueryBounds qb;
        for (std::size_t q = 0; q < 6; ++q) {
          const float* query = rows.data() + (q * 37 % count) * dim;
          Vec shifted(query, query + dim);
          if (q % 2) shifted[q % dim] = values[q % dim][gen() % values[q % dim].size()];
          prepare_query_bounds(metric, shifted.data(), ends.data(), dim, qb);
          if (!qb.prunable) continue;
          const float norm = std::sqrt(dot_product(shifted.data(), shifted.data(), dim));
          for (std::size_t r = 0; r < count; ++r) {
            const float* x = rows.data() + r * dim;
            std::uint64_t sum = 0;
            for (std::size_t i = 0; i < dim; ++i) sum += qb.table[i * kCodeCells + codes[r * dim + i]];
            const float d = distance(metric, shifted.data(), x, dim);
            if (metric == DistanceMetric::Cosine) {
              const float den = norm * std::sqrt(dot_product(x, x, dim));
              if (den > 0.0f && !std::isinf(den)) {
                ASSERT_TRUE(cosine_may_reach(qb, sum, den, d)) << "palette " << p << " dim " << dim << " row " << r;
              }
            } else {
              ASSERT_LE(static_cast<std::int64_t>(sum), code_sum_limit(qb, d))
                  << metric_name(metric) << " palette " << p << " dim " << dim << " row " << r << " distance " << d;
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace velmoradb

namespace velmoradb {
namespace {

// Gaussian noise in 512 dimensions: the coarse bounds keep most vectors. A
// path with a fast full scan separates them with whole codes, soon without
// the coarse scan; the others give up after an eighth of the blocks. One
// vector stored 40,000 times: every distance ties with the k-th, no bound
// rules any out, and every path gives up.
TEST(BoundCodes, GivesUpOnDataTheBoundsCannotSeparateAndStaysExact) {
  std::mt19937 gen(11);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  const std::size_t dim = 512, count = 40000;
  Vec gaussian(count * dim), same(count * dim);
  for (float& x : gaussian) x = noise(gen);
  for (std::size_t i = 0; i < same.size(); ++i) same[i] = gaussian[i % dim];
  Vec query(dim);
  for (float& x : query) x = noise(gen);
  const CodeScanPath* paths[8];
  const std::size_t npaths = available_code_scans(paths, 8);
  for (DistanceMetric metric : {DistanceMetric::Euclidean, DistanceMetric::Cosine}) {
    for (const Vec* rows : {&gaussian, &same}) {
      BoundCodes codes(metric, dim);
      codes.build(rows->data(), count);
      for (std::size_t p = 0; p < npaths; ++p) {
        codes.set_scan_path(*paths[p]);
        BoundSearchStats stats;
        auto got = codes.search(query.data(), 10, exact_distances_of_rows(metric, query.data(), rows->data(), dim),
                                nullptr, &stats);
        const std::string what = std::string(paths[p]->name) + " metric " + std::to_string(static_cast<int>(metric)) +
                                 (rows == &same ? " one vector" : " gaussian");
        if (rows == &gaussian && paths[p]->full_scan_from <= kCodeBlock) {
          // (Cosine bounds a block by the range of its norms: looser.)
          if (metric == DistanceMetric::Euclidean) {
            EXPECT_LT(stats.exact, stats.candidates / 8) << what;
          }
          EXPECT_GT(stats.full_only, 0u) << what;
        } else {
          EXPECT_GT(stats.exact, stats.candidates / 8) << what;  // left after the give-up
        }
        EXPECT_TRUE(same_answer(metric, query.data(), *rows, dim, plain_scan(metric, query.data(), *rows, dim, 10), got))
            << what;
      }
    }
  }
}

}  // namespace
}  // namespace velmoradb
