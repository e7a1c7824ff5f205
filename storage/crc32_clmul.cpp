// CRC-32 by carry-less multiplication (x86 PCLMULQDQ + SSE4.1), the folding
// method of Intel's "Fast CRC Computation for Generic Polynomials Using
// PCLMULQDQ": four 128-bit lanes are folded 64 bytes at a time, then into
// one lane, then reduced to 32 bits by Barrett reduction. The constants are
// x^k mod P(x) for the bit-reflected polynomial, and the result equals the
// table path bit for bit (the tests hold the two against each other).
#include "storage/crc32.h"

#include "engine/support/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VELMORADB_CRC_CLMUL 1
#endif

namespace velmoradb {

#if VELMORADB_CRC_CLMUL
namespace {

#define CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

CLMUL_TARGET inline __m128i load(const std::uint8_t* q) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}

// Multiplies the two halves of x by the two constants in k and adds the
// next 128 bits: x moved k's distance further along the message.
CLMUL_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
  __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

// Folds len bytes (len >= 64, a multiple of 16) into the raw register `c`
// (already inverted). Compiled for PCLMULQDQ only; called only after the
// run-time check.
CLMUL_TARGET std::uint32_t fold_clmul(std::uint32_t c, const std::uint8_t* p, std::size_t len) {
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);  // fold by 512 bits
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);  // fold by 128 bits
  const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);                // 64 -> 32 bits
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);  // P' and mu
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);


  __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(c)));
  __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
  p += 64;
  len -= 64;
  for (; len >= 64; p += 64, len -= 64) {
    x1 = fold(x1, k1k2, load(p));
    x2 = fold(x2, k1k2, load(p + 16));
    x3 = fold(x3, k1k2, load(p + 32));
    x4 = fold(x4, k1k2, load(p + 48));
  }
  x1 = fold(x1, k3k4, x2);
  x1 = fold(x1, k3k4, x3);
  x1 = fold(x1, k3k4, x4);
  for (; len >= 16; p += 16, len -= 16) x1 = fold(x1, k3k4, load(p));

  // 128 -> 64 bits.
  __m128i t = _mm_clmulepi64_si128(x1, k3k4, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), t);
  // 64 -> 32 bits.
  t = _mm_srli_si128(x1, 4);
  x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00);
  x1 = _mm_xor_si128(x1, t);
  // Barrett reduction.
  t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
  x1 = _mm_xor_si128(x1, t);
  return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

}  // namespace
#endif

namespace crc32_detail {

bool has_clmul() {
#if VELMORADB_CRC_CLMUL
  const CpuFeatures& cpu = cpu_features();
  return cpu.pclmul && cpu.sse4_1;
#else
  return false;
#endif
}

}  // namespace crc32_detail

std::uint32_t crc32_extend(std::uint32_t crc, const std::uint8_t* data, std::size_t n) {
#if VELMORADB_CRC_CLMUL
  if (n >= 64 && crc32_detail::has_clmul()) {
    std::size_t bulk = n & ~std::size_t{15};
    crc = ~fold_clmul(~crc, data, bulk);
    data += bulk;
    n -= bulk;
  }
#endif
  return crc32_detail::extend_table(crc, data, n);
}

}  // namespace velmoradb
