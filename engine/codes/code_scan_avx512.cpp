// The AVX-512 scan of 4-bit bound codes: a 512-bit register holds four
// components of a block's 32 vectors (AVX-512BW for the byte shuffle).
//
// Compiled by a target pragma, offered only when the CPU reports AVX-512F
// and AVX-512BW at run time.
#include "engine/codes/code_scan.h"
#include "engine/codes/code_scan_paths.h"
#include "engine/support/cpu_features.h"
#include "engine/support/target_region.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

#include <algorithm>

VELMORADB_AVX512_TARGET_BEGIN("avx512f,avx512bw,avx2")

#include "engine/codes/code_scan_blocks.h"

namespace velmoradb {
namespace {

// Bytes the scan asks the cache for ahead of its reads. The hardware's own
// prefetch left the scan waiting on memory at about half the rate of a
// plain read of the same bytes; 2 KiB ahead came closest to that rate.
constexpr std::size_t kPrefetchAhead = 2048;

// The four 128-bit lanes of x added as 16-bit words (exact: the caller's
// sums fit 16 bits).
inline __m128i lane_sum(__m512i x) {
  const __m128i a = _mm_add_epi16(_mm512_castsi512_si128(x), _mm512_extracti32x4_epi32(x, 1));
  const __m128i b = _mm_add_epi16(_mm512_extracti32x4_epi32(x, 2), _mm512_extracti32x4_epi32(x, 3));
  return _mm_add_epi16(a, b);
}

// As the AVX2 path's run_sums, four components per step: each lane adds at
// most kCodeSumRun / 4 entries, the four lanes at most 2^16 - 1.
inline void run_sums(const std::uint8_t* codes, const std::uint8_t* table, std::size_t count, __m256i& lo,
                     __m256i& hi) {
  const __m512i nibble = _mm512_set1_epi8(0x0f);
  __m512i acc_lo_all = _mm512_setzero_si512(), acc_lo_odd = _mm512_setzero_si512();
  __m512i acc_hi_all = _mm512_setzero_si512(), acc_hi_odd = _mm512_setzero_si512();
  for (std::size_t m = 0; m < count; m += 4) {
    _mm_prefetch(reinterpret_cast<const char*>(codes + m * 16 + kPrefetchAhead), _MM_HINT_T0);
    const __m512i c = _mm512_loadu_si512(codes + m * 16);
    const __m512i t = _mm512_loadu_si512(table + m * 16);
    const __m512i e_lo = _mm512_shuffle_epi8(t, _mm512_and_si512(c, nibble));
    const __m512i e_hi = _mm512_shuffle_epi8(t, _mm512_and_si512(_mm512_srli_epi16(c, 4), nibble));
    acc_lo_all = _mm512_add_epi16(acc_lo_all, e_lo);
    acc_lo_odd = _mm512_add_epi16(acc_lo_odd, _mm512_srli_epi16(e_lo, 8));
    acc_hi_all = _mm512_add_epi16(acc_hi_all, e_hi);
    acc_hi_odd = _mm512_add_epi16(acc_hi_odd, _mm512_srli_epi16(e_hi, 8));
  }
  const __m512i lo_even = _mm512_sub_epi16(acc_lo_all, _mm512_slli_epi16(acc_lo_odd, 8));
  const __m512i hi_even = _mm512_sub_epi16(acc_hi_all, _mm512_slli_epi16(acc_hi_odd, 8));
  // Per lane: vectors 0..7 (unpacklo) and 8..15 (unpackhi) in order.
  const __m128i lo_a = lane_sum(_mm512_unpacklo_epi16(lo_even, acc_lo_odd));
  const __m128i lo_b = lane_sum(_mm512_unpackhi_epi16(lo_even, acc_lo_odd));
  const __m128i hi_a = lane_sum(_mm512_unpacklo_epi16(hi_even, acc_hi_odd));
  const __m128i hi_b = lane_sum(_mm512_unpackhi_epi16(hi_even, acc_hi_odd));
  lo = _mm256_inserti128_si256(_mm256_castsi128_si256(lo_a), lo_b, 1);
  hi = _mm256_inserti128_si256(_mm256_castsi128_si256(hi_a), hi_b, 1);
}

void scan_avx512(const std::uint8_t* codes, std::size_t nblocks, std::size_t dim, const std::uint8_t* table,
                 const std::uint16_t* limits, std::uint32_t* masks) {
  scan_code_blocks(codes, nblocks, dim, table, limits, masks, run_sums);
}

// The fine sum, 16 components at a time. A 512-bit load of a block holds
// four components (16 bytes each); a byte shuffle per load moves the
// vector's byte of lane l's component to byte 4k + l of that lane (zero
// elsewhere), so the four loads' shuffles ORed together, and then the four
// lanes, give the vector's halves of the 16 components in order. One gather
// then takes their table entries (byte entries: a dword gathered at the
// entry's byte, of which the low byte counts). The block loads stay within
// the block (its components are padded to a multiple of four).
template <typename Entry>
std::uint32_t fine_sum_of(const std::uint8_t* coarse_block, const std::uint8_t* fine_block, unsigned vector,
                          const Entry* table, std::size_t dim, std::uint32_t stop_above) {
  const unsigned column = vector % 16;
  const __m128i half_shift = _mm_cvtsi32_si128(vector < 16 ? 0 : 4);
  // pick[k]: in lane l, byte 4k + l takes the column's byte; every other
  // byte is zeroed (index bit 7 set).
  const __m512i take = _mm512_set1_epi8(static_cast<char>(column)), zero = _mm512_set1_epi8(static_cast<char>(0x80));
  constexpr auto byte_of_lane = [](int k) {
    std::uint64_t bits = 0;
    for (int l = 0; l < 4; ++l) bits |= std::uint64_t{1} << (l * 16 + 4 * k + l);
    return bits;
  };
  const __m512i pick[4] = {_mm512_mask_blend_epi8(byte_of_lane(0), zero, take),
                           _mm512_mask_blend_epi8(byte_of_lane(1), zero, take),
                           _mm512_mask_blend_epi8(byte_of_lane(2), zero, take),
                           _mm512_mask_blend_epi8(byte_of_lane(3), zero, take)};
  auto halves = [&](const std::uint8_t* rows) {
    __m512i x = _mm512_shuffle_epi8(_mm512_loadu_si512(rows), pick[0]);
    x = _mm512_or_si512(x, _mm512_shuffle_epi8(_mm512_loadu_si512(rows + 64), pick[1]));
    x = _mm512_or_si512(x, _mm512_shuffle_epi8(_mm512_loadu_si512(rows + 128), pick[2]));
    x = _mm512_or_si512(x, _mm512_shuffle_epi8(_mm512_loadu_si512(rows + 192), pick[3]));
    const __m256i pair = _mm256_or_si256(_mm512_castsi512_si256(x), _mm512_extracti64x4_epi64(x, 1));
    const __m128i both = _mm_or_si128(_mm256_castsi256_si128(pair), _mm256_extracti128_si256(pair, 1));
    return _mm_and_si128(_mm_srl_epi16(both, half_shift), _mm_set1_epi8(15));
  };
  const __m512i row = _mm512_slli_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15), 8);
  __m512i acc = _mm512_setzero_si512();
  std::size_t i = 0;
  for (; i + 16 <= dim; i += 16) {
    // A coarse half below 16 shifted left by 4 stays within its byte.
    const __m128i codes = _mm_or_si128(_mm_slli_epi16(halves(coarse_block + i * 16), 4), halves(fine_block + i * 16));
    const __m512i index = _mm512_add_epi32(row, _mm512_cvtepu8_epi32(codes));
    if constexpr (sizeof(Entry) == 4) {
      acc = _mm512_add_epi32(acc, _mm512_i32gather_epi32(index, table + i * 256, 4));
    } else {
      const __m512i words = _mm512_i32gather_epi32(index, table + i * 256, 1);
      acc = _mm512_add_epi32(acc, _mm512_and_si512(words, _mm512_set1_epi32(0xff)));
    }
    // A partial sum above the limit stays above it (entries are >= 0); a
    // test every 128 components leaves the loop's gathers free to overlap.
    if (i % 128 == 112 && static_cast<std::uint32_t>(_mm512_reduce_add_epi32(acc)) > stop_above)
      return static_cast<std::uint32_t>(_mm512_reduce_add_epi32(acc));
  }
  std::uint32_t sum = static_cast<std::uint32_t>(_mm512_reduce_add_epi32(acc));
  const unsigned shift = vector < 16 ? 0 : 4;
  for (; i < dim; ++i) {
    const unsigned hi = (coarse_block[i * 16 + column] >> shift) & 15u;
    const unsigned lo = (fine_block[i * 16 + column] >> shift) & 15u;
    sum += table[i * 256 + (hi << 4 | lo)];
  }
  return sum;
}

std::uint32_t fine_sum_avx512(const std::uint8_t* coarse_block, const std::uint8_t* fine_block, unsigned vector,
                              const std::uint32_t* table, std::size_t dim, std::uint32_t stop_above) {
  return fine_sum_of(coarse_block, fine_block, vector, table, dim, stop_above);
}

std::uint32_t fine_sum8_avx512(const std::uint8_t* coarse_block, const std::uint8_t* fine_block, unsigned vector,
                               const std::uint8_t* table, std::size_t dim, std::uint32_t stop_above) {
  return fine_sum_of(coarse_block, fine_block, vector, table, dim, stop_above);
}

// The codes by binary search, 16 components at a time: four gathers find
// the coarse cell (the ends are sorted, so the largest j with E[16j] <= x is
// the count of those at or below x), four more the fine cell.
void encode_avx512(const float* row, const float* ends, std::size_t dim, std::uint8_t* codes) {
  const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m512i stride = _mm512_mullo_epi32(lane, _mm512_set1_epi32(257));
  std::size_t i = 0;
  for (; i + 16 <= dim; i += 16) {
    const __m512 x = _mm512_loadu_ps(row + i);
    const float* e = ends + i * 257;
    __m512i coarse = _mm512_setzero_si512();
    for (int step = 8; step >= 1; step /= 2) {
      const __m512i next = _mm512_add_epi32(coarse, _mm512_set1_epi32(step));
      const __m512 end = _mm512_i32gather_ps(_mm512_add_epi32(stride, _mm512_slli_epi32(next, 4)), e, 4);
      coarse = _mm512_mask_mov_epi32(coarse, _mm512_cmp_ps_mask(end, x, _CMP_LE_OQ), next);
    }
    const __m512i base = _mm512_add_epi32(stride, _mm512_slli_epi32(coarse, 4));
    __m512i fine = _mm512_setzero_si512();
    for (int step = 8; step >= 1; step /= 2) {
      const __m512i next = _mm512_add_epi32(fine, _mm512_set1_epi32(step));
      const __m512 end = _mm512_i32gather_ps(_mm512_add_epi32(base, next), e, 4);
      fine = _mm512_mask_mov_epi32(fine, _mm512_cmp_ps_mask(end, x, _CMP_LE_OQ), next);
    }
    const __m512i code = _mm512_add_epi32(_mm512_slli_epi32(coarse, 4), fine);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(codes + i), _mm512_cvtepi32_epi8(code));
  }
  if (i < dim) encode_scalar(row + i, ends + i * 257, dim - i, codes + i);
}

}  // namespace
}  // namespace velmoradb

VELMORADB_TARGET_END()

namespace velmoradb {

const CodeScanPath* avx512_code_scan() {
  static const CodeScanPath path{"avx512", scan_avx512, fine_sum_avx512, fine_sum8_avx512, full_scan_scalar, kCodeBlock + 1, encode_avx512};
  const CpuFeatures& cpu = cpu_features();
  return cpu.avx512f && cpu.avx512bw ? &path : nullptr;
}

}  // namespace velmoradb

#else

namespace velmoradb {
const CodeScanPath* avx512_code_scan() { return nullptr; }
}  // namespace velmoradb

#endif
