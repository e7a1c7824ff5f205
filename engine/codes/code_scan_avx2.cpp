// The AVX2 scan of 4-bit bound codes: a 256-bit register holds two
// components of a block's 32 vectors, and one byte shuffle per half looks up
// their 16 table entries.
//
// Compiled for AVX2 by a target pragma, offered only when the CPU reports
// it at run time.
#include "engine/codes/code_scan.h"
#include "engine/codes/code_scan_paths.h"
#include "engine/support/cpu_features.h"
#include "engine/support/target_region.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

#include <algorithm>

VELMORADB_TARGET_BEGIN("avx2")

#include "engine/codes/code_scan_blocks.h"

namespace velmoradb {
namespace {

// See code_scan_avx512.cpp.
constexpr std::size_t kPrefetchAhead = 2048;

// Sums of one run of components (an even count of at most kCodeSumRun) for
// the 32 vectors of a block: lo gets vectors 0..15, hi vectors 16..31, as
// 16-bit lanes in vector order. Exact: each lane of a register adds at most
// kCodeSumRun / 2 entries (< 2^15), the two lanes at most 2^16 - 1.
inline void run_sums(const std::uint8_t* codes, const std::uint8_t* table, std::size_t count, __m256i& lo,
                     __m256i& hi) {
  const __m256i nibble = _mm256_set1_epi8(0x0f);
  // Words of acc_lo_all: even-vector entry + 256 * odd-vector entry,
  // modulo 2^16; acc_lo_odd: the odd-vector entries alone.
  __m256i acc_lo_all = _mm256_setzero_si256(), acc_lo_odd = _mm256_setzero_si256();
  __m256i acc_hi_all = _mm256_setzero_si256(), acc_hi_odd = _mm256_setzero_si256();
  for (std::size_t m = 0; m < count; m += 2) {
    if (m % 4 == 0) _mm_prefetch(reinterpret_cast<const char*>(codes + m * 16 + kPrefetchAhead), _MM_HINT_T0);
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes + m * 16));
    const __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table + m * 16));
    const __m256i e_lo = _mm256_shuffle_epi8(t, _mm256_and_si256(c, nibble));
    const __m256i e_hi = _mm256_shuffle_epi8(t, _mm256_and_si256(_mm256_srli_epi16(c, 4), nibble));
    acc_lo_all = _mm256_add_epi16(acc_lo_all, e_lo);
    acc_lo_odd = _mm256_add_epi16(acc_lo_odd, _mm256_srli_epi16(e_lo, 8));
    acc_hi_all = _mm256_add_epi16(acc_hi_all, e_hi);
    acc_hi_odd = _mm256_add_epi16(acc_hi_odd, _mm256_srli_epi16(e_hi, 8));
  }
  // Even-vector sums: the total less 256 times the odd ones, exact since
  // the true sums fit 16 bits.
  const __m256i lo_even = _mm256_sub_epi16(acc_lo_all, _mm256_slli_epi16(acc_lo_odd, 8));
  const __m256i hi_even = _mm256_sub_epi16(acc_hi_all, _mm256_slli_epi16(acc_hi_odd, 8));
  // Per 128-bit lane, vectors 0..7 and 8..15 in order; then the two lanes
  // (the even and the odd components) added.
  const __m256i lo_a = _mm256_unpacklo_epi16(lo_even, acc_lo_odd);
  const __m256i lo_b = _mm256_unpackhi_epi16(lo_even, acc_lo_odd);
  lo = _mm256_add_epi16(_mm256_permute2x128_si256(lo_a, lo_b, 0x20), _mm256_permute2x128_si256(lo_a, lo_b, 0x31));
  const __m256i hi_a = _mm256_unpacklo_epi16(hi_even, acc_hi_odd);
  const __m256i hi_b = _mm256_unpackhi_epi16(hi_even, acc_hi_odd);
  hi = _mm256_add_epi16(_mm256_permute2x128_si256(hi_a, hi_b, 0x20), _mm256_permute2x128_si256(hi_a, hi_b, 0x31));
}

void scan_avx2(const std::uint8_t* codes, std::size_t nblocks, std::size_t dim, const std::uint8_t* table,
               const std::uint16_t* limits, std::uint32_t* masks) {
  scan_code_blocks(codes, nblocks, dim, table, limits, masks, run_sums);
}

}  // namespace
}  // namespace velmoradb

VELMORADB_TARGET_END()

namespace velmoradb {

const CodeScanPath* avx2_code_scan() {
  static const CodeScanPath path{"avx2", scan_avx2, fine_sum_scalar, fine_sum8_scalar, full_scan_scalar, kCodeBlock + 1, encode_scalar};
  return cpu_features().avx2 ? &path : nullptr;
}

}  // namespace velmoradb

#else

namespace velmoradb {
const CodeScanPath* avx2_code_scan() { return nullptr; }
}  // namespace velmoradb

#endif
