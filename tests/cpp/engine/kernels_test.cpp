// Every kernel path the CPU can run gives the scalar reference's bits, for
// single queries and for batches, over many dimensions and counts.
#include "engine/kernels/kernels.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velmoradb {
namespace {

using Vec = std::vector<float>;

constexpr float kSentinel = -12345.5f;

::testing::AssertionResult SameBits(float expected, float actual) {
  std::uint32_t e, a;
  std::memcpy(&e, &expected, 4);
  std::memcpy(&a, &actual, 4);
  // Any NaN matches any NaN: which NaN an operation passes on depends on
  // the order of its operands.
  if ((std::isnan(expected) && std::isnan(actual)) || e == a) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected " << expected << " (0x" << std::hex << e << "), got "
                                       << actual << " (0x" << a << ")";
}

// `count` vectors of `dim` floats, one after the other, laid out in blocks;
// the lanes past `count` hold zeros, as in the index.
Vec to_blocks(const Vec& vectors, std::size_t count, std::size_t dim) {
  std::size_t nblocks = blocks_for(count);
  Vec blocks(nblocks * dim * kBlockWidth, 0.0f);
  for (std::size_t v = 0; v < count; ++v)
    for (std::size_t i = 0; i < dim; ++i) blocks[(v / kBlockWidth) * dim * kBlockWidth + i * kBlockWidth + v % kBlockWidth] = vectors[v * dim + i];
  return blocks;
}

// Random values of mixed magnitudes with, when `special`, a sprinkling of
// zeros, signed zeros, NaN, infinities, subnormals, 0.5 and the float above.
Vec random_vectors(std::size_t floats, std::mt19937& gen, bool special) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::uniform_int_distribution<int> pick(0, 99);
  const float specials[] = {0.0f, -0.0f, std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                            1e-40f, 0.5f, std::nextafter(0.5f, 1.0f), 3e19f, 1e-30f};
  Vec v(floats);
  float scale = std::pow(10.0f, static_cast<float>(pick(gen) % 7) - 3.0f);
  for (float& x : v) {
    int r = pick(gen);
    x = special && r < 10 ? specials[r] : normal(gen) * scale;
  }
  return v;
}

struct PathCase {
  const KernelSet* set;
  DistanceMetric metric;
};

std::vector<PathCase> all_paths() {
  const KernelSet* sets[8];
  std::size_t n = available_kernels(sets, 8);
  std::vector<PathCase> cases;
  for (std::size_t s = 0; s < n; ++s)
    for (std::size_t m = 0; m < kMetricCount; ++m) cases.push_back({sets[s], static_cast<DistanceMetric>(m)});
  return cases;
}

std::string path_name(const ::testing::TestParamInfo<PathCase>& info) {
  return std::string(info.param.set->name) + "_" + std::string(metric_name(info.param.metric));
}

class KernelPath : public ::testing::TestWithParam<PathCase> {
 protected:
  // Runs the block kernel over `count` vectors and checks every valid lane.
  void check_block(std::size_t dim, std::size_t count, bool special, std::mt19937& gen) {
    Vec vectors = random_vectors(count * dim, gen, special);
    Vec query = random_vectors(dim, gen, special);
    Vec blocks = to_blocks(vectors, count, dim);
    std::size_t nblocks = blocks_for(count);
    Vec out(nblocks * kBlockWidth + 3, kSentinel);
    GetParam().set->block[static_cast<std::size_t>(GetParam().metric)](query.data(), blocks.data(),
                                                                       nblocks, dim, out.data());
    for (std::size_t v = 0; v < count; ++v)
      ASSERT_TRUE(SameBits(distance(GetParam().metric, query.data(), vectors.data() + v * dim, dim), out[v]))
          << "dim " << dim << " count " << count << " vector " << v;
    for (std::size_t j = nblocks * kBlockWidth; j < out.size(); ++j) ASSERT_EQ(out[j], kSentinel) << "wrote past the end";
  }

  // Runs the batch kernel with rows `stride` apart and checks every row.
  void check_batch(std::size_t dim, std::size_t count, std::size_t nq, bool special, std::mt19937& gen) {
    Vec vectors = random_vectors(count * dim, gen, special);
    Vec queries = random_vectors(nq * dim, gen, special);
    Vec blocks = to_blocks(vectors, count, dim);
    std::size_t nblocks = blocks_for(count);
    std::size_t stride = nblocks * kBlockWidth + 5;
    Vec out(nq * stride, kSentinel);
    GetParam().set->batch[static_cast<std::size_t>(GetParam().metric)](queries.data(), nq, blocks.data(),
                                                                       nblocks, dim, out.data(), stride);
    for (std::size_t q = 0; q < nq; ++q) {
      const float* row = out.data() + q * stride;
      for (std::size_t v = 0; v < count; ++v)
        ASSERT_TRUE(SameBits(distance(GetParam().metric, queries.data() + q * dim, vectors.data() + v * dim, dim),
                             row[v]))
            << "dim " << dim << " count " << count << " query " << q << " of " << nq << " vector " << v;
      for (std::size_t j = nblocks * kBlockWidth; j < stride; ++j) ASSERT_EQ(row[j], kSentinel) << "wrote between rows";
    }
  }
};

const std::size_t kDims[] = {0, 1, 2, 3, 7, 8, 15, 16, 17, 31, 32, 33, 48, 63, 64, 65, 100, 128, 129, 255, 256, 300};
const std::size_t kCounts[] = {1, 5, 15, 16, 17, 33, 47, 64, 70};

TEST_P(KernelPath, BlockKernelMatchesScalarReference) {
  std::mt19937 gen(11);
  for (std::size_t dim : kDims)
    for (std::size_t count : kCounts) {
      check_block(dim, count, false, gen);
      check_block(dim, count, true, gen);
      if (HasFatalFailure()) return;
    }
  for (std::size_t dim : {768, 1000}) {
    check_block(dim, 37, false, gen);
    check_block(dim, 37, true, gen);
  }
}

TEST_P(KernelPath, BatchKernelMatchesScalarReference) {
  std::mt19937 gen(12);
  // Query counts across the tile sizes and the group of 256 queries.
  const std::size_t kQueries[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 13, 64, 70, 256, 263};
  for (std::size_t dim : {0, 1, 15, 16, 17, 33, 128, 130})
    for (std::size_t count : {1, 17, 40, 64})
      for (std::size_t nq : kQueries) {
        check_batch(dim, count, nq, nq % 2 == 0, gen);
        if (HasFatalFailure()) return;
      }
  check_batch(768, 33, 9, true, gen);
  check_batch(1000, 20, 5, false, gen);
}

TEST_P(KernelPath, ZeroVectorsAndRowsOfZerosFollowTheRules) {
  // Lanes filled with zeros (as the index pads its last block) and all-zero
  // queries give the reference values: cosine exactly 1.0, dot -0.0.
  for (std::size_t dim : {1, 16, 40}) {
    Vec zeros(dim, 0.0f), ones(dim, 1.0f);
    Vec blocks = to_blocks(ones, 1, dim);
    Vec out(kBlockWidth);
    GetParam().set->block[static_cast<std::size_t>(GetParam().metric)](zeros.data(), blocks.data(), 1, dim,
                                                                       out.data());
    EXPECT_TRUE(SameBits(distance(GetParam().metric, zeros.data(), ones.data(), dim), out[0]));
    for (std::size_t j = 1; j < kBlockWidth; ++j)
      EXPECT_TRUE(SameBits(distance(GetParam().metric, zeros.data(), zeros.data(), dim), out[j]));
  }
}

INSTANTIATE_TEST_SUITE_P(EveryPath, KernelPath, ::testing::ValuesIn(all_paths()), path_name);

TEST(KernelDispatch, ScalarComesFirstAndTheBestIsLast) {
  const KernelSet* sets[8];
  std::size_t n = available_kernels(sets, 8);
  ASSERT_GE(n, 1u);
  EXPECT_EQ(sets[0], &scalar_kernels());
  EXPECT_EQ(&best_kernels(), sets[n - 1]);
  EXPECT_EQ(available_kernels(sets, 1), 1u);
  for (std::size_t s = 0; s < n; ++s)
    for (std::size_t m = 0; m < kMetricCount; ++m) {
      EXPECT_NE(sets[s]->block[m], nullptr);
      EXPECT_NE(sets[s]->batch[m], nullptr);
    }
}

}  // namespace
}  // namespace velmoradb
