// The AVX-512 path: one 512-bit register holds one component of all 16
// vectors of a block.
//
// Compiled for AVX-512F by a target pragma rather than a compiler flag, so
// one build runs on every x86-64 CPU: the set is offered only when the CPU
// reports AVX-512F at run time.
#include <cstddef>

#include "engine/kernels/kernels.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f")
// GCC 12's own AVX-512 headers start results from a self-initialised
// "undefined" register, which -Wuninitialized reports at every use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace velmoradb {
namespace {

struct Avx512 {
  using R = __m512;
  using C = __m512i;     // per-lane counts
  using M = __mmask16;   // per-lane "set"
  static constexpr int L = 16;
  static constexpr int kUnits = 1;

  static R load(const float* p) { return _mm512_loadu_ps(p); }
  static void store(float* p, R v) { _mm512_storeu_ps(p, v); }
  static R set1(float x) { return _mm512_set1_ps(x); }
  static R zero() { return _mm512_setzero_ps(); }
  static R add(R a, R b) { return _mm512_add_ps(a, b); }
  static R sub(R a, R b) { return _mm512_sub_ps(a, b); }
  static R mul(R a, R b) { return _mm512_mul_ps(a, b); }
  // a * b + c in one rounding (only the bound's sums use it).
  static R fused_mul_add(R a, R b, R c) { return _mm512_fmadd_ps(a, b, c); }
  // b * 1.0 - q in one rounding, which is b - q exactly (b * 1.0 is b: no
  // rounding, no overflow, zeros and infinities keep their sign), on the
  // multiply unit instead of the adder. The 1.0 passes through an empty asm
  // so the compiler cannot fold the instruction back into a subtraction.
  static R sub_on_fma(R b, R q) {
    R one = _mm512_set1_ps(1.0f);
    __asm__("" : "+v"(one));
    return _mm512_fmsub_ps(b, one, q);
  }
  static R sqrt(R a) { return _mm512_sqrt_ps(a); }  // correctly rounded
  static float sqrt1(float x) { return _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(x))); }
  static R flip_sign(R a) {
    return _mm512_castsi512_ps(
        _mm512_xor_si512(_mm512_castps_si512(a), _mm512_set1_epi32(static_cast<int>(0x80000000u))));
  }
  // 1.0 where den == 0 (+0.0 or -0.0; NaN is not equal), else 1 - p / den.
  static R cosine(R p, R den) {
    __mmask16 zero_den = _mm512_cmp_ps_mask(den, _mm512_setzero_ps(), _CMP_EQ_OQ);
    R one = _mm512_set1_ps(1.0f);
    return _mm512_mask_blend_ps(zero_den, _mm512_sub_ps(one, _mm512_div_ps(p, den)), one);
  }

  static C count_zero() { return _mm512_setzero_si512(); }
  static M is_set(R b) { return _mm512_cmp_ps_mask(b, _mm512_set1_ps(0.5f), _CMP_GT_OQ); }
  static C count_differs(C count, M b_set, bool q_set) {
    M differs = q_set ? static_cast<M>(~b_set) : b_set;
    return _mm512_mask_add_epi32(count, differs, count, _mm512_set1_epi32(1));
  }
  static R count_to_float(C count) { return _mm512_cvtepi32_ps(count); }
};

#include "engine/kernels/kernels_simd.h"

// Called only once the CPU is known to have AVX512F.
const KernelSet& avx512_set() {
  static const KernelSet set = make_kernel_set<Avx512, 8, 1, 8, 1, 12, 1, 1, 12, 1>("avx512");
  return set;
}

}  // namespace
}  // namespace velmoradb

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC diagnostic pop
#pragma GCC pop_options
#endif

namespace velmoradb {

// Compiled for the baseline: it runs on every CPU to ask.
const KernelSet* avx512_kernels() {
  __builtin_cpu_init();  // may run before the constructors that set the CPU model up
  return __builtin_cpu_supports("avx512f") ? &avx512_set() : nullptr;
}

}  // namespace velmoradb

#else  // not x86-64

namespace velmoradb {
const KernelSet* avx512_kernels() { return nullptr; }
}  // namespace velmoradb

#endif
