// The block loop of the x86 scans of 4-bit bound codes (code_scan.h): the
// runs' sums added with saturation and compared with the block's limit.
// Included by code_scan_avx2.cpp and code_scan_avx512.cpp inside their
// target regions (both have AVX2), each with its own run_sums.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "engine/codes/code_scan.h"

namespace velmoradb {
namespace {

// RunSums(codes, table, count, lo, hi): the exact sums of one run of
// components for vectors 0..15 (lo) and 16..31 (hi), in vector order.
template <typename RunSums>
inline void scan_code_blocks(const std::uint8_t* codes, std::size_t nblocks, std::size_t dim,
                             const std::uint8_t* table, const std::uint16_t* limits, std::uint32_t* masks,
                             RunSums run_sums) {
  const std::size_t padded = padded_code_components(dim);
  for (std::size_t b = 0; b < nblocks; ++b) {
    const std::uint8_t* block = codes + b * padded * 16;
    __m256i total_lo = _mm256_setzero_si256(), total_hi = _mm256_setzero_si256();
    for (std::size_t run = 0; run < padded; run += kCodeSumRun) {
      __m256i lo, hi;
      run_sums(block + run * 16, table + run * 16, std::min(kCodeSumRun, padded - run), lo, hi);
      total_lo = _mm256_adds_epu16(total_lo, lo);
      total_hi = _mm256_adds_epu16(total_hi, hi);
    }
    // sum <= limit exactly where max(sum, limit) == limit.
    const __m256i limit = _mm256_set1_epi16(static_cast<short>(limits[b]));
    const __m256i keep_lo = _mm256_cmpeq_epi16(_mm256_max_epu16(total_lo, limit), limit);
    const __m256i keep_hi = _mm256_cmpeq_epi16(_mm256_max_epu16(total_hi, limit), limit);
    // Bytes [lo 0..7, hi 0..7 | lo 8..15, hi 8..15], reordered to vector order.
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi16(keep_lo, keep_hi), 0xd8);
    masks[b] = static_cast<std::uint32_t>(_mm256_movemask_epi8(packed));
  }
}

}  // namespace
}  // namespace velmoradb
