// Float texts eight at a time with AVX-512: the shortest-digit search of
// shortest_f32.cpp, the digit text and the positional layout of json_float.cpp,
// each step done for eight floats side by side in 64-bit lanes. The log writes
// one text per vector component, and one at a time the work is a long chain
// of dependent steps that leaves most of the processor idle.
//
// Lanes that need anything but the common case (zero, NaN or infinity, a
// subnormal, the smallest significand of a binade, scientific notation, or a
// whole number such as "100.0") send their whole group of eight to format_f32.
// tests/cpp/storage/json_float_list_test.cpp and tools/check_shortest_f32.cpp
// compare every byte with format_f32.
//
// Compiled for AVX-512 by a target pragma rather than a compiler flag, so one
// build runs on every x86-64 CPU; the routine is offered only when the CPU
// reports the instructions at run time.
#include <array>
#include <cstdint>
#include <cstring>

#include "engine/support/cpu_features.h"
#include "engine/support/target_region.h"
#include "storage/json/json_float.h"
#include "storage/json/shortest_f32.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

VELMORADB_AVX512_TARGET_BEGIN("avx512f,avx512dq,avx512cd")

namespace velmoradb::json {
namespace {

using V = __m512i;  // eight 64-bit lanes
using M = __mmask8;

// Per biased exponent: the power of ten, and k (offset by 64) with the
// shift 64 - h in the upper half.
struct ScaleTables {
  alignas(64) std::array<std::uint64_t, 256> g{};
  alignas(64) std::array<std::uint64_t, 256> k_and_shift{};
};

const ScaleTables& scale_tables() {
  static const ScaleTables tables = [] {
    ScaleTables t;
    for (int e = 1; e < 255; ++e) {
      const F32Scale s = f32_scale(e);
      t.g[e] = s.g;
      t.k_and_shift[e] = static_cast<std::uint64_t>(s.k + 64) |
                         (static_cast<std::uint64_t>(64 - s.h) << 32);
    }
    return t;
  }();
  return tables;
}

V set1(std::uint64_t x) { return _mm512_set1_epi64(static_cast<long long>(x)); }

// floor(g * cb / 2^shift) rounded to odd, from two 32 x 32-bit products:
// g * cb = hi * 2^32 + lo, and shift <= 32.
V scaled(V g_hi, V g_lo, V cb, V shift) {
  const V hi = _mm512_mul_epu32(g_hi, cb);
  const V lo = _mm512_mul_epu32(g_lo, cb);
  const V x = _mm512_add_epi64(_mm512_sllv_epi64(hi, _mm512_sub_epi64(set1(32), shift)),
                               _mm512_srlv_epi64(lo, shift));
  const V floor = _mm512_srli_epi64(x, 31);
  const M inexact = _mm512_test_epi64_mask(x, set1(0xffffffffu));
  return _mm512_mask_or_epi64(floor, inexact, floor, set1(1));
}

V div_by_10(V x) { return _mm512_srli_epi64(_mm512_mul_epu32(x, set1(0xcccccccdu)), 35); }

// Eight texts, each up to 16 bytes in (lo, hi), with their lengths and signs;
// false when a lane is not the common case.
struct Texts {
  alignas(64) std::uint64_t lo[8];
  alignas(64) std::uint64_t hi[8];
  alignas(64) std::uint64_t length[8];
  alignas(64) std::uint64_t sign[8];
};

bool texts_of_eight(const float* values, Texts& out) {
  const ScaleTables& tables = scale_tables();
  const V bits = _mm512_cvtepu32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(values)));
  const V magnitude = _mm512_and_epi64(bits, set1(0x7fffffffu));
  const V exponent = _mm512_srli_epi64(magnitude, 23);
  const V fraction = _mm512_and_epi64(magnitude, set1(0x7fffffu));
  const M unusual = _mm512_cmpeq_epi64_mask(exponent, set1(0)) |
                    _mm512_cmpeq_epi64_mask(exponent, set1(255)) |
                    _mm512_cmpeq_epi64_mask(fraction, set1(0));
  if (unusual != 0) return false;

  // The search: v = c * 2^q lies in [cbl, cbr] / 4 * 2^q; all three scaled
  // by 10^-k with two fraction bits.
  const V c = _mm512_or_epi64(fraction, set1(0x800000u));
  const V g = _mm512_i64gather_epi64(exponent, tables.g.data(), 8);
  const V k_and_shift = _mm512_i64gather_epi64(exponent, tables.k_and_shift.data(), 8);
  const V k = _mm512_sub_epi64(_mm512_and_epi64(k_and_shift, set1(0xffffffffu)), set1(64));
  const V shift = _mm512_srli_epi64(k_and_shift, 32);
  const V g_hi = _mm512_srli_epi64(g, 32);
  const V g_lo = _mm512_and_epi64(g, set1(0xffffffffu));
  const V odd = _mm512_and_epi64(c, set1(1));  // an odd c excludes the ends
  const V cb = _mm512_slli_epi64(c, 2);
  const V vb = scaled(g_hi, g_lo, cb, shift);
  const V vbl = scaled(g_hi, g_lo, _mm512_sub_epi64(cb, set1(2)), shift);
  const V vbr = scaled(g_hi, g_lo, _mm512_add_epi64(cb, set1(2)), shift);
  const V lower_end = _mm512_add_epi64(vbl, odd);  // x inside when lower_end <= 4x
  const V upper_end = _mm512_sub_epi64(vbr, odd);  // and 4x <= upper_end

  const V s = _mm512_srli_epi64(vb, 2);
  const V t = _mm512_add_epi64(s, set1(1));
  const V sp = div_by_10(s);
  const V sp40 = _mm512_mullo_epi64(sp, set1(40));
  const M lower10_in = _mm512_cmple_epu64_mask(lower_end, sp40);
  const M upper10_in = _mm512_cmple_epu64_mask(_mm512_add_epi64(sp40, set1(40)), upper_end);
  const M use10 = _mm512_cmpge_epu64_mask(s, set1(10)) & (lower10_in ^ upper10_in);
  const V ten = _mm512_mask_add_epi64(sp, static_cast<M>(~lower10_in), sp, set1(1));
  const M lower_in = _mm512_cmple_epu64_mask(lower_end, _mm512_slli_epi64(s, 2));
  const M upper_in = _mm512_cmple_epu64_mask(_mm512_slli_epi64(t, 2), upper_end);
  const V middle = _mm512_slli_epi64(_mm512_add_epi64(s, t), 1);
  const M s_even = _mm512_testn_epi64_mask(s, set1(1));
  const M nearer_lower = _mm512_cmplt_epu64_mask(vb, middle) |
                         (_mm512_cmpeq_epi64_mask(vb, middle) & s_even);
  const M one_inside = lower_in ^ upper_in;
  const M pick_lower = (one_inside & lower_in) | (static_cast<M>(~one_inside) & nearer_lower);
  const V one = _mm512_mask_mov_epi64(t, pick_lower, s);
  V significand = _mm512_mask_mov_epi64(one, use10, ten);
  V exp10 = _mm512_mask_add_epi64(k, use10, k, set1(1));
  for (;;) {  // trailing zeros: rare past the step of ten above
    const V tenth = div_by_10(significand);
    const M zero = _mm512_cmpeq_epi64_mask(_mm512_mullo_epi64(tenth, set1(10)), significand);
    if (zero == 0) break;
    significand = _mm512_mask_mov_epi64(significand, zero, tenth);
    exp10 = _mm512_mask_add_epi64(exp10, zero, exp10, set1(1));
  }

  // The digits: the first, then eight side by side within each lane (groups
  // of four, pairs, single digits), as in json_float.cpp.
  const V first = _mm512_srli_epi64(_mm512_mul_epu32(significand, set1(720575941u)), 56);
  const V low = _mm512_sub_epi64(significand, _mm512_mul_epu32(first, set1(100000000u)));
  const V upper4 = _mm512_srli_epi64(_mm512_mul_epu32(low, set1(3518437209u)), 45);
  const V lower4 = _mm512_sub_epi64(low, _mm512_mul_epu32(upper4, set1(10000u)));
  V x = _mm512_or_epi64(upper4, _mm512_slli_epi64(lower4, 32));
  const V hundreds = _mm512_and_epi64(_mm512_srli_epi64(_mm512_mullo_epi64(x, set1(5243)), 19),
                                      set1(0x0000007f0000007fULL));
  x = _mm512_or_epi64(hundreds,
                      _mm512_slli_epi64(_mm512_sub_epi64(x, _mm512_mullo_epi64(hundreds, set1(100))), 16));
  const V tens = _mm512_and_epi64(_mm512_srli_epi64(_mm512_mullo_epi64(x, set1(103)), 10),
                                  set1(0x000f000f000f000fULL));
  x = _mm512_or_epi64(tens, _mm512_slli_epi64(_mm512_sub_epi64(x, _mm512_mullo_epi64(tens, set1(10))), 8));
  const V ascii = _mm512_or_epi64(x, set1(0x3030303030303030ULL));
  const V nine_lo = _mm512_or_epi64(_mm512_add_epi64(first, set1('0')), _mm512_slli_epi64(ascii, 8));
  const V nine_hi = _mm512_srli_epi64(ascii, 56);
  // Digit count: floor(bit width * log10(2)), or one more.
  const V width = _mm512_sub_epi64(set1(64), _mm512_lzcnt_epi64(significand));
  const V guess = _mm512_srli_epi64(_mm512_mullo_epi64(width, set1(1233)), 12);
  const V pow10 = _mm512_permutex2var_epi64(
      _mm512_setr_epi64(1, 10, 100, 1000, 10000, 100000, 1000000, 10000000),
      guess, _mm512_setr_epi64(100000000, 1000000000, 0, 0, 0, 0, 0, 0));
  const V count = _mm512_mask_add_epi64(guess, _mm512_cmpge_epu64_mask(significand, pow10), guess,
                                        set1(1));
  // Drop the leading zeros: shift right by 8 * (9 - count) bytes' worth.
  const V drop = _mm512_slli_epi64(_mm512_sub_epi64(set1(9), count), 3);
  const V digits_lo = _mm512_or_epi64(_mm512_srlv_epi64(nine_lo, drop),
                                      _mm512_sllv_epi64(nine_hi, _mm512_sub_epi64(set1(64), drop)));
  const V digits_hi = _mm512_srlv_epi64(nine_hi, drop);

  // E, the exponent of the first digit; only -6 <= E and count > E + 1
  // (some digit after the point) stay here.
  const V e = _mm512_sub_epi64(_mm512_add_epi64(exp10, count), set1(1));
  const M too_small = _mm512_cmplt_epi64_mask(e, set1(-6));
  const M no_fraction = _mm512_cmple_epi64_mask(count, _mm512_add_epi64(e, set1(1)));
  if ((too_small | no_fraction) != 0) return false;  // E <= 12 follows from count <= 9
  const M negative = _mm512_cmplt_epi64_mask(e, set1(0));

  // "0.00123": "0." and -E-1 zeros, then the digits.
  const V prefix = _mm512_sub_epi64(set1(1), e);
  const V prefix_bits = _mm512_slli_epi64(prefix, 3);
  const V zeros = _mm512_and_epi64(set1(0x3030303030302e30ULL),
                                   _mm512_sub_epi64(_mm512_sllv_epi64(set1(1), prefix_bits), set1(1)));
  const V fraction_lo = _mm512_or_epi64(zeros, _mm512_sllv_epi64(digits_lo, prefix_bits));
  const V fraction_hi = _mm512_or_epi64(
      _mm512_sllv_epi64(digits_hi, prefix_bits),
      _mm512_srlv_epi64(digits_lo, _mm512_sub_epi64(set1(64), prefix_bits)));
  // "12.375": the point after digit E + 1 (at most the eighth).
  const V point_bits = _mm512_slli_epi64(_mm512_add_epi64(e, set1(1)), 3);
  const V head_mask = _mm512_sub_epi64(_mm512_sllv_epi64(set1(1), point_bits), set1(1));
  const V tail_lo = _mm512_andnot_epi64(head_mask, digits_lo);
  const V mixed_lo = _mm512_or_epi64(
      _mm512_or_epi64(_mm512_and_epi64(digits_lo, head_mask), _mm512_slli_epi64(tail_lo, 8)),
      _mm512_sllv_epi64(set1('.'), point_bits));
  const V mixed_hi = _mm512_or_epi64(
      _mm512_or_epi64(_mm512_slli_epi64(digits_hi, 8), _mm512_srli_epi64(tail_lo, 56)),
      _mm512_sllv_epi64(set1('.'), _mm512_sub_epi64(point_bits, set1(64))));

  _mm512_store_si512(out.lo, _mm512_mask_mov_epi64(mixed_lo, negative, fraction_lo));
  _mm512_store_si512(out.hi, _mm512_mask_mov_epi64(mixed_hi, negative, fraction_hi));
  _mm512_store_si512(out.length,
                     _mm512_mask_mov_epi64(_mm512_add_epi64(count, set1(1)), negative,
                                           _mm512_add_epi64(prefix, count)));
  _mm512_store_si512(out.sign, _mm512_srli_epi64(bits, 31));
  return true;
}

char* write_f32_list_avx512(char* buf, const float* values, std::size_t n) {
  char* p = buf;
  std::size_t i = 0;
  Texts texts;
  for (; i + 8 <= n; i += 8) {
    if (!texts_of_eight(values + i, texts)) {
      for (std::size_t j = 0; j < 8; ++j) {
        p += format_f32(p, values[i + j]);
        *p++ = ',';
      }
      continue;
    }
    for (std::size_t j = 0; j < 8; ++j) {
      *p = '-';
      p += texts.sign[j];
      std::memcpy(p, &texts.lo[j], 8);
      std::memcpy(p + 8, &texts.hi[j], 8);
      p += texts.length[j];
      *p++ = ',';
    }
  }
  for (; i < n; ++i) {
    p += format_f32(p, values[i]);
    *p++ = ',';
  }
  return n == 0 ? p : p - 1;  // no comma after the last
}

}  // namespace
}  // namespace velmoradb::json

VELMORADB_TARGET_END()

namespace velmoradb::json {

// Compiled for the baseline: it runs on every CPU to ask.
F32ListWriter f32_list_writer_avx512() {
  const CpuFeatures& cpu = cpu_features();
  return cpu.avx512f && cpu.avx512dq && cpu.avx512cd ? &write_f32_list_avx512 : nullptr;
}

}  // namespace velmoradb::json

#else  // not x86-64 with GCC or Clang

namespace velmoradb::json {
F32ListWriter f32_list_writer_avx512() { return nullptr; }
}  // namespace velmoradb::json

#endif
