// The AVX-512 VBMI scan of whole 8-bit codes: a byte permute of two
// registers looks up 128 entries at once, so two of them and a blend by the
// code's top bit take one component's 256-entry table row for 64 vectors
// (two blocks side by side).
//
// Compiled by a target pragma, offered only when the CPU reports AVX-512F,
// AVX-512BW and AVX-512 VBMI at run time. The other kernels of the path are
// the AVX-512 path's.
#include "engine/codes/code_scan.h"
#include "engine/codes/code_scan_paths.h"
#include "engine/support/cpu_features.h"
#include "engine/support/target_region.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

#include <algorithm>

VELMORADB_AVX512_TARGET_BEGIN("avx512f,avx512bw,avx512vbmi,avx2")

namespace velmoradb {
namespace {

// Bytes read ahead of the scan in each stream (see code_scan_avx512.cpp).
constexpr std::size_t kPrefetchAhead = 2048;

inline void prefetch(const std::uint8_t* p) { _mm_prefetch(reinterpret_cast<const char*>(p + kPrefetchAhead), _MM_HINT_T0); }

// Sums 0..15 of lane `lane` of (first, second) to `to`, in order: the
// first register holds the sums of bytes 0..7 of each lane, the second of
// bytes 8..15.
template <int lane>
inline void store_lane(std::uint16_t* to, __m512i first, __m512i second) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm512_extracti32x4_epi32(first, lane));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 8), _mm512_extracti32x4_epi32(second, lane));
}

// Blocks a and b (b may be a again) of both buffers: the 32 sums of each to
// sums_a and sums_b. Bytes of a code register: vectors 0..15 of a, 0..15 of
// b, 16..31 of a, 16..31 of b.
void block_pair_sums(const std::uint8_t* coarse_a, const std::uint8_t* coarse_b, const std::uint8_t* fine_a,
                     const std::uint8_t* fine_b, std::size_t padded, const std::uint8_t* table,
                     std::uint16_t* sums_a, std::uint16_t* sums_b) {
  const __m256i nibble = _mm256_set1_epi8(0x0f);
  // Per 16-bit word: the sums of its even byte's vector and its odd one's.
  __m512i total_even = _mm512_setzero_si512(), total_odd = _mm512_setzero_si512();
  for (std::size_t run = 0; run < padded; run += kCodeSumRun) {
    // Words of acc_all: even entry + 256 * odd entry, modulo 2^16; acc_odd:
    // the odd entries alone. At most kCodeSumRun entries <= 255 each, so
    // the even sums are exact in 16 bits.
    __m512i acc_all = _mm512_setzero_si512(), acc_odd = _mm512_setzero_si512();
    for (std::size_t m = run; m < std::min(padded, run + kCodeSumRun); ++m) {
      if (m % 4 == 0) {
        prefetch(coarse_a + m * 16);
        prefetch(coarse_b + m * 16);
        prefetch(fine_a + m * 16);
        prefetch(fine_b + m * 16);
      }
      const __m256i c = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(coarse_b + m * 16),
                                            reinterpret_cast<const __m128i*>(coarse_a + m * 16));
      const __m256i f = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(fine_b + m * 16),
                                            reinterpret_cast<const __m128i*>(fine_a + m * 16));
      // Low halves: vectors 0..15; high halves: vectors 16..31. A value
      // below 16 shifted left by 4 stays in its byte.
      const __m256i codes_lo =
          _mm256_or_si256(_mm256_slli_epi16(_mm256_and_si256(c, nibble), 4), _mm256_and_si256(f, nibble));
      const __m256i codes_hi =
          _mm256_or_si256(_mm256_andnot_si256(nibble, c), _mm256_and_si256(_mm256_srli_epi16(f, 4), nibble));
      const __m512i codes = _mm512_inserti64x4(_mm512_castsi256_si512(codes_lo), codes_hi, 1);
      const std::uint8_t* row = table + m * 256;
      const __m512i low_half = _mm512_permutex2var_epi8(_mm512_loadu_si512(row), codes, _mm512_loadu_si512(row + 64));
      const __m512i high_half =
          _mm512_permutex2var_epi8(_mm512_loadu_si512(row + 128), codes, _mm512_loadu_si512(row + 192));
      const __m512i entries = _mm512_mask_blend_epi8(_mm512_movepi8_mask(codes), low_half, high_half);
      acc_all = _mm512_add_epi16(acc_all, entries);
      acc_odd = _mm512_add_epi16(acc_odd, _mm512_srli_epi16(entries, 8));
    }
    const __m512i even = _mm512_sub_epi16(acc_all, _mm512_slli_epi16(acc_odd, 8));
    total_even = _mm512_adds_epu16(total_even, even);
    total_odd = _mm512_adds_epu16(total_odd, acc_odd);
  }
  // Per 128-bit lane, the even and odd words interleaved are the sums of
  // its 16 bytes' vectors in order: lane 0 holds vectors 0..15 of a, lane 1
  // 0..15 of b, lane 2 16..31 of a, lane 3 16..31 of b.
  const __m512i first = _mm512_unpacklo_epi16(total_even, total_odd);   // bytes 0..7 of each lane
  const __m512i second = _mm512_unpackhi_epi16(total_even, total_odd);  // bytes 8..15
  store_lane<0>(sums_a, first, second);
  store_lane<2>(sums_a + 16, first, second);
  store_lane<1>(sums_b, first, second);
  store_lane<3>(sums_b + 16, first, second);
}

void full_scan_avx512vbmi(const std::uint8_t* coarse, const std::uint8_t* fine, const std::uint32_t* blocks,
                          std::size_t count, std::size_t dim, const std::uint8_t* table, std::uint16_t* sums) {
  const std::size_t padded = padded_code_components(dim);
  const std::size_t bytes = padded * 16;
  std::uint16_t spare[kCodeBlock];
  for (std::size_t x = 0; x < count; x += 2) {
    const bool pair = x + 1 < count;
    const std::size_t a = std::size_t{blocks[x]} * bytes, b = std::size_t{blocks[pair ? x + 1 : x]} * bytes;
    block_pair_sums(coarse + a, coarse + b, fine + a, fine + b, padded, table, sums + x * kCodeBlock,
                    pair ? sums + (x + 1) * kCodeBlock : spare);
  }
}

}  // namespace
}  // namespace velmoradb

VELMORADB_TARGET_END()

namespace velmoradb {

// A full scan reads and sums a whole block (32 vectors); a fine sum one
// vector with three gathers per 16 components. By the costs measured at
// 768 dimensions (about 1 us per fine sum, 2 to 3 us per block scanned in
// full) the full scan pays from about 3 survivors in a block; 4 leaves a
// margin.
constexpr std::size_t kFullScanFrom = 4;

const CodeScanPath* avx512vbmi_code_scan() {
  const CodeScanPath* base = avx512_code_scan();
  if (base == nullptr || !cpu_features().avx512vbmi) return nullptr;
  static const CodeScanPath path{"avx512vbmi", base->scan, base->fine_sum, base->fine_sum8, full_scan_avx512vbmi, kFullScanFrom, base->encode};
  return &path;
}

}  // namespace velmoradb

#else

namespace velmoradb {
const CodeScanPath* avx512vbmi_code_scan() { return nullptr; }
}  // namespace velmoradb

#endif
