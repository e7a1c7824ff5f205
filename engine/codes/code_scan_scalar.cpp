// The reference scan of 4-bit bound codes, and the choice of path.
#include <algorithm>

#include "engine/codes/code_scan.h"
#include "engine/codes/code_scan_paths.h"

namespace velmoradb {

namespace {

// The sum of entry(m) over the padded components, exact over each run of
// kCodeSumRun and saturating at kCodeSumMax between runs (code_scan.h).
template <typename Entry>
std::uint16_t run_saturated_sum(std::size_t padded, Entry entry) {
  std::uint32_t total = 0;
  for (std::size_t run = 0; run < padded; run += kCodeSumRun) {
    std::uint32_t sum = 0;
    for (std::size_t m = run; m < std::min(padded, run + kCodeSumRun); ++m) sum += entry(m);
    total = std::min<std::uint32_t>(total + sum, kCodeSumMax);
  }
  return static_cast<std::uint16_t>(total);
}

void scan_scalar(const std::uint8_t* codes, std::size_t nblocks, std::size_t dim, const std::uint8_t* table,
                 const std::uint16_t* limits, std::uint32_t* masks) {
  const std::size_t padded = padded_code_components(dim);
  for (std::size_t b = 0; b < nblocks; ++b) {
    const std::uint8_t* block = codes + b * padded * 16;
    std::uint32_t mask = 0;
    for (std::size_t j = 0; j < kCodeBlock; ++j) {
      const unsigned shift = j < 16 ? 0 : 4;
      const std::uint16_t total =
          run_saturated_sum(padded, [&](std::size_t m) { return table[m * 16 + ((block[m * 16 + j % 16] >> shift) & 15u)]; });
      if (total <= limits[b]) mask |= std::uint32_t{1} << j;
    }
    masks[b] = mask;
  }
}

}  // namespace

template <typename Entry>
std::uint32_t fine_sum_of(const std::uint8_t* coarse_block, const std::uint8_t* fine_block, unsigned vector,
                          const Entry* table, std::size_t dim, std::uint32_t stop_above) {
  const std::uint8_t* coarse = coarse_block + vector % 16;
  const std::uint8_t* fine = fine_block + vector % 16;
  const unsigned shift = vector < 16 ? 0 : 4;
  std::uint32_t sum = 0;
  std::size_t i = 0;
  auto entry = [&](std::size_t c) {
    const unsigned hi = (coarse[c * 16] >> shift) & 15u;
    const unsigned lo = (fine[c * 16] >> shift) & 15u;
    return table[c * 256 + (hi << 4 | lo)];
  };
  // Every entry is >= 0: a partial sum above the limit stays above it.
  for (; i + 32 <= dim; i += 32) {
    for (std::size_t c = i; c < i + 32; ++c) sum += entry(c);
    if (sum > stop_above) return sum;
  }
  for (; i < dim; ++i) sum += entry(i);
  return sum;
}

std::uint32_t fine_sum_scalar(const std::uint8_t* coarse_block, const std::uint8_t* fine_block, unsigned vector,
                              const std::uint32_t* table, std::size_t dim, std::uint32_t stop_above) {
  return fine_sum_of(coarse_block, fine_block, vector, table, dim, stop_above);
}

std::uint32_t fine_sum8_scalar(const std::uint8_t* coarse_block, const std::uint8_t* fine_block, unsigned vector,
                               const std::uint8_t* table, std::size_t dim, std::uint32_t stop_above) {
  return fine_sum_of(coarse_block, fine_block, vector, table, dim, stop_above);
}

void full_scan_scalar(const std::uint8_t* coarse, const std::uint8_t* fine, const std::uint32_t* blocks,
                      std::size_t count, std::size_t dim, const std::uint8_t* table, std::uint16_t* sums) {
  const std::size_t padded = padded_code_components(dim);
  for (std::size_t x = 0; x < count; ++x) {
    for (std::size_t j = 0; j < kCodeBlock; ++j) {
      const std::size_t column = std::size_t{blocks[x]} * padded * 16 + j % 16;
      const unsigned shift = j < 16 ? 0 : 4;
      sums[x * kCodeBlock + j] = run_saturated_sum(padded, [&](std::size_t m) {
        const unsigned hi = (coarse[column + m * 16] >> shift) & 15u;
        const unsigned lo = (fine[column + m * 16] >> shift) & 15u;
        return table[m * 256 + (hi << 4 | lo)];
      });
    }
  }
}

void encode_scalar(const float* row, const float* ends, std::size_t dim, std::uint8_t* codes) {
  for (std::size_t i = 0; i < dim; ++i) {
    const float x = row[i];
    const float* e = ends + i * 257;
    unsigned coarse = 0;
    for (std::size_t c = 1; c < 16; ++c) coarse += x >= e[c * 16] ? 1u : 0u;
    unsigned fine = 0;
    for (std::size_t f = 1; f < 16; ++f) fine += x >= e[coarse * 16 + f] ? 1u : 0u;
    codes[i] = static_cast<std::uint8_t>(coarse * 16 + fine);
  }
}

const CodeScanPath& scalar_code_scan() {
  static const CodeScanPath path{"scalar", scan_scalar, fine_sum_scalar, fine_sum8_scalar, full_scan_scalar, kCodeBlock + 1, encode_scalar};
  return path;
}

std::size_t available_code_scans(const CodeScanPath** out, std::size_t capacity) {
  std::size_t n = 0;
  if (n < capacity) out[n++] = &scalar_code_scan();
  if (const CodeScanPath* p = avx2_code_scan(); p && n < capacity) out[n++] = p;
  if (const CodeScanPath* p = avx512_code_scan(); p && n < capacity) out[n++] = p;
  if (const CodeScanPath* p = avx512vbmi_code_scan(); p && n < capacity) out[n++] = p;
  return n;
}

const CodeScanPath& best_code_scan() {
  static const CodeScanPath* best = [] {
    const CodeScanPath* paths[4];
    std::size_t n = available_code_scans(paths, 4);
    return paths[n - 1];
  }();
  return *best;
}

}  // namespace velmoradb
