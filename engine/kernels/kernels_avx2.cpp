// The AVX2 path: a block of 16 vectors is two units of eight lanes, each
// 256-bit register holding one component of eight vectors.
//
// Compiled for AVX2 and FMA by a target pragma rather than a compiler flag,
// so one build runs on every x86-64 CPU: the set is offered only when the
// CPU reports both at run time (FMA only to subtract on the multiply unit,
// see Avx2::sub_on_fma).
#include <cstddef>

#include "engine/kernels/kernels.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif

namespace velmoradb {
namespace {

struct Avx2 {
  using R = __m256;
  using C = __m256i;  // per-lane counts
  using M = __m256;   // per-lane "set": all ones or all zeros
  static constexpr int L = 8;
  static constexpr int kUnits = 2;

  static R load(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, R v) { _mm256_storeu_ps(p, v); }
  static R set1(float x) { return _mm256_set1_ps(x); }
  static R zero() { return _mm256_setzero_ps(); }
  static R add(R a, R b) { return _mm256_add_ps(a, b); }
  static R sub(R a, R b) { return _mm256_sub_ps(a, b); }
  static R mul(R a, R b) { return _mm256_mul_ps(a, b); }
  // a * b + c in one rounding (only the bound's sums use it).
  static R fused_mul_add(R a, R b, R c) { return _mm256_fmadd_ps(a, b, c); }
  // b * 1.0 - q in one rounding, which is b - q exactly (b * 1.0 is b: no
  // rounding, no overflow, zeros and infinities keep their sign), on the
  // multiply unit instead of the adder. The 1.0 passes through an empty asm
  // so the compiler cannot fold the instruction back into a subtraction.
  static R sub_on_fma(R b, R q) {
    R one = _mm256_set1_ps(1.0f);
    __asm__("" : "+x"(one));
    return _mm256_fmsub_ps(b, one, q);
  }
  static R sqrt(R a) { return _mm256_sqrt_ps(a); }  // correctly rounded
  static float sqrt1(float x) { return _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(x))); }
  static R flip_sign(R a) { return _mm256_xor_ps(a, _mm256_set1_ps(-0.0f)); }
  // 1.0 where den == 0 (+0.0 or -0.0; NaN is not equal), else 1 - p / den.
  static R cosine(R p, R den) {
    R zero_den = _mm256_cmp_ps(den, _mm256_setzero_ps(), _CMP_EQ_OQ);
    R one = _mm256_set1_ps(1.0f);
    return _mm256_blendv_ps(_mm256_sub_ps(one, _mm256_div_ps(p, den)), one, zero_den);
  }

  static C count_zero() { return _mm256_setzero_si256(); }
  static M is_set(R b) { return _mm256_cmp_ps(b, _mm256_set1_ps(0.5f), _CMP_GT_OQ); }
  static C count_differs(C count, M b_set, bool q_set) {
    R flip = _mm256_castsi256_ps(_mm256_set1_epi32(q_set ? -1 : 0));
    // A lane that differs holds all ones, -1 as an integer.
    return _mm256_sub_epi32(count, _mm256_castps_si256(_mm256_xor_ps(b_set, flip)));
  }
  static R count_to_float(C count) { return _mm256_cvtepi32_ps(count); }
};

#include "engine/kernels/kernels_simd.h"

// Called only once the CPU is known to have AVX2 and FMA.
const KernelSet& avx2_set() {
  static const KernelSet set = make_kernel_set<Avx2, 4, 1, 4, 1, 4, 1, 1, 4, 1>("avx2");
  return set;
}

}  // namespace
}  // namespace velmoradb

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace velmoradb {

// Compiled for the baseline: it runs on every CPU to ask.
const KernelSet* avx2_kernels() {
  __builtin_cpu_init();  // may run before the constructors that set the CPU model up
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? &avx2_set() : nullptr;
}

}  // namespace velmoradb

#else  // not x86-64

namespace velmoradb {
const KernelSet* avx2_kernels() { return nullptr; }
}  // namespace velmoradb

#endif
