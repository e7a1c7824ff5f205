// Every scan path computes the reference's sums: the same keep masks for
// the same limits, saturation included, the same fine sums, early stop
// included, and the same full-scan masks.
#include "engine/codes/code_scan.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace velmoradb {
namespace {

struct Codes {
  std::vector<std::uint8_t> coarse, fine;
  std::vector<std::uint8_t> table;      // coarse entries
  std::vector<std::uint32_t> fine_table;
  std::vector<std::uint8_t> full_table;  // byte entries of whole codes
};

// `nblocks` blocks of random codes; entries drawn below `entry_cap` + 1,
// or all at the cap (so that long vectors saturate their sums).
Codes random_codes(std::size_t dim, std::size_t nblocks, unsigned entry_cap, bool all_at_cap, std::mt19937& gen) {
  Codes c;
  c.coarse.resize(nblocks * code_block_bytes(dim) + kCodeBufferPadding);
  c.fine.resize(nblocks * code_block_bytes(dim) + kCodeBufferPadding);
  for (auto& b : c.coarse) b = static_cast<std::uint8_t>(gen());
  for (auto& b : c.fine) b = static_cast<std::uint8_t>(gen());
  // Padding components have code 0 and table rows of 0.
  for (std::size_t b = 0; b < nblocks; ++b)
    for (std::size_t m = dim; m < padded_code_components(dim); ++m)
      for (std::size_t j = 0; j < 16; ++j) c.coarse[b * code_block_bytes(dim) + m * 16 + j] = c.fine[b * code_block_bytes(dim) + m * 16 + j] = 0;
  c.table.assign(padded_code_components(dim) * 16, 0);
  for (std::size_t i = 0; i < dim * 16; ++i)
    c.table[i] = static_cast<std::uint8_t>(all_at_cap ? entry_cap : gen() % (entry_cap + 1));
  c.fine_table.resize(dim * 256);
  for (auto& e : c.fine_table) e = gen() % 100000;
  c.full_table.assign(padded_code_components(dim) * 256, 0);
  for (std::size_t i = 0; i < dim * 256; ++i)
    c.full_table[i] = static_cast<std::uint8_t>(all_at_cap ? entry_cap : gen() % (entry_cap + 1));
  return c;
}

class CodeScanPaths : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CodeScanPaths, EveryPathKeepsWhatTheReferenceKeeps) {
  const std::size_t dim = GetParam();
  const CodeScanPath* paths[8];
  const std::size_t n = available_code_scans(paths, 8);
  std::mt19937 gen(static_cast<unsigned>(dim));
  const std::size_t nblocks = 5;
  for (bool at_cap : {false, true}) {
    Codes c = random_codes(dim, nblocks, 255, at_cap, gen);
    // Limits around the typical sum, 0, and the largest.
    for (std::uint16_t limit : {std::uint16_t{0}, static_cast<std::uint16_t>(std::min<std::size_t>(dim * 127, 65535)),
                                static_cast<std::uint16_t>(std::min<std::size_t>(dim * 140, 65534)), std::uint16_t{65535}}) {
      std::vector<std::uint16_t> limits(nblocks, limit);
      limits[1] = static_cast<std::uint16_t>(limit / 2);
      std::vector<std::uint32_t> want(nblocks), got(nblocks);
      paths[0]->scan(c.coarse.data(), nblocks, dim, c.table.data(), limits.data(), want.data());
      for (std::size_t p = 1; p < n; ++p) {
        paths[p]->scan(c.coarse.data(), nblocks, dim, c.table.data(), limits.data(), got.data());
        EXPECT_EQ(got, want) << paths[p]->name << " dim " << dim << " limit " << limit << " at cap " << at_cap;
      }
    }
  }
  // Fine sums, whole and stopped early, for every vector of a block (the
  // block is the second of three, so that reading past it would be seen),
  // over the 32-bit table and over the byte table with its padding.
  Codes c = random_codes(dim, 3, 255, false, gen);
  const std::uint8_t* coarse = c.coarse.data() + code_block_bytes(dim);
  const std::uint8_t* fine = c.fine.data() + code_block_bytes(dim);
  std::vector<std::uint8_t> bytes(c.full_table);
  bytes.resize(bytes.size() + kByteTablePadding, 0xff);
  for (std::size_t j = 0; j < kCodeBlock; ++j) {
    const auto vector = static_cast<unsigned>(j);
    for (std::uint32_t stop : {std::uint32_t{0}, std::uint32_t{50000} * static_cast<std::uint32_t>(dim) / 2, ~std::uint32_t{0}}) {
      const std::uint32_t want = paths[0]->fine_sum(coarse, fine, vector, c.fine_table.data(), dim, stop);
      const std::uint32_t stop8 = stop / 500;
      const std::uint32_t want8 = paths[0]->fine_sum8(coarse, fine, vector, bytes.data(), dim, stop8);
      if (stop == ~std::uint32_t{0}) {
        std::uint32_t sum8 = 0;
        for (std::size_t i = 0; i < dim; ++i) {
          const std::size_t at = i * 16 + j % 16;
          const unsigned code = ((coarse[at] >> (j < 16 ? 0 : 4)) & 15u) << 4 | ((fine[at] >> (j < 16 ? 0 : 4)) & 15u);
          sum8 += c.full_table[i * 256 + code];
        }
        EXPECT_EQ(want8, sum8) << "dim " << dim << " vector " << j;
      }
      for (std::size_t p = 1; p < n; ++p) {
        const std::uint32_t got = paths[p]->fine_sum(coarse, fine, vector, c.fine_table.data(), dim, stop);
        EXPECT_EQ(got <= stop, want <= stop) << paths[p]->name << " dim " << dim << " vector " << j;
        if (want <= stop) {
          EXPECT_EQ(got, want) << paths[p]->name << " dim " << dim << " vector " << j;
        }
        const std::uint32_t got8 = paths[p]->fine_sum8(coarse, fine, vector, bytes.data(), dim, stop8);
        EXPECT_EQ(got8 <= stop8, want8 <= stop8) << paths[p]->name << " dim " << dim << " vector " << j;
        if (want8 <= stop8) {
          EXPECT_EQ(got8, want8) << paths[p]->name << " dim " << dim << " vector " << j;
        }
      }
    }
  }
}

// The full scan of listed blocks (in any order, repeated, an odd count):
// every path computes the reference's sums, saturation included; and below
// saturation the reference's sum is each vector's fine sum over the same
// entries.
TEST_P(CodeScanPaths, EveryFullScanSumsAsTheReference) {
  const std::size_t dim = GetParam();
  const CodeScanPath* paths[8];
  const std::size_t n = available_code_scans(paths, 8);
  std::mt19937 gen(static_cast<unsigned>(dim) + 7);
  const std::size_t nblocks = 4;
  for (const std::vector<std::uint32_t>& blocks : {std::vector<std::uint32_t>{2, 0, 3, 3, 1}, std::vector<std::uint32_t>{1, 2}}) {
    for (bool at_cap : {false, true}) {
      Codes c = random_codes(dim, nblocks, 255, at_cap, gen);
      std::vector<std::uint16_t> want(blocks.size() * kCodeBlock), got(want.size());
      paths[0]->full_scan(c.coarse.data(), c.fine.data(), blocks.data(), blocks.size(), dim, c.full_table.data(),
                          want.data());
      for (std::size_t p = 1; p < n; ++p) {
        std::fill(got.begin(), got.end(), 0);
        paths[p]->full_scan(c.coarse.data(), c.fine.data(), blocks.data(), blocks.size(), dim, c.full_table.data(),
                            got.data());
        EXPECT_EQ(got, want) << paths[p]->name << " dim " << dim << " at cap " << at_cap;
      }
      const std::vector<std::uint32_t> wide(c.full_table.begin(), c.full_table.end());
      for (std::size_t x = 0; x < blocks.size(); ++x) {
        for (std::size_t j = 0; j < kCodeBlock; ++j) {
          const std::size_t block = blocks[x] * code_block_bytes(dim);
          const std::uint32_t sum = paths[0]->fine_sum(c.coarse.data() + block, c.fine.data() + block,
                                                       static_cast<unsigned>(j), wide.data(), dim, ~std::uint32_t{0});
          if (dim * 255 <= kCodeSumRun * 255) {
            EXPECT_EQ(want[x * kCodeBlock + j], sum) << "dim " << dim << " block " << blocks[x] << " vector " << j;
          } else {
            EXPECT_LE(want[x * kCodeBlock + j], sum) << "dim " << dim << " block " << blocks[x] << " vector " << j;
          }
        }
      }
    }
  }
}

// The codes of a row: every path finds the reference's cells, at the ends
// themselves, between them, on runs of equal ends and at the outer ends.
TEST_P(CodeScanPaths, EveryPathEncodesAsTheReference) {
  const std::size_t dim = GetParam();
  const CodeScanPath* paths[8];
  const std::size_t n = available_code_scans(paths, 8);
  std::mt19937 gen(static_cast<unsigned>(dim) + 99);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> ends(dim * 257);
  for (std::size_t i = 0; i < dim; ++i) {
    float* e = ends.data() + i * 257;
    for (std::size_t c = 0; c < 257; ++c) e[c] = i % 3 == 0 ? static_cast<float>(c / 40) : normal(gen);
    std::sort(e, e + 257);
  }
  std::vector<float> row(dim);
  std::vector<std::uint8_t> want(dim), got(dim);
  for (int r = 0; r < 200; ++r) {
    for (std::size_t i = 0; i < dim; ++i) {
      const float* e = ends.data() + i * 257;
      const std::size_t c = gen() % 257;
      row[i] = r % 2 == 0 ? e[c] : std::clamp(e[c] + 0.01f * normal(gen), e[0], e[256]);
    }
    paths[0]->encode(row.data(), ends.data(), dim, want.data());
    for (std::size_t p = 1; p < n; ++p) {
      paths[p]->encode(row.data(), ends.data(), dim, got.data());
      ASSERT_EQ(got, want) << paths[p]->name << " dim " << dim << " row " << r;
    }
  }
}

// Dimensions: a single padded group, tails of 16 and of 32, one run of
// exact sums and several (saturating at 65535 when every entry is 255).
INSTANTIATE_TEST_SUITE_P(Dimensions, CodeScanPaths, ::testing::Values(1, 4, 17, 37, 128, 256, 300, 768, 1536));

}  // namespace
}  // namespace velmoradb
