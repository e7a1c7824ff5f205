// The AVX-512 path: one 512-bit register holds one component of all 16
// vectors of a block.
//
// Compiled for AVX-512F by a target pragma rather than a compiler flag, so
// one build runs on every x86-64 CPU: the set is offered only when the CPU
// reports AVX-512F at run time.
#include <cstddef>

#include "engine/kernels/kernel_paths.h"
#include "engine/kernels/kernels.h"
#include "engine/support/cpu_features.h"
#include "engine/support/target_region.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

VELMORADB_AVX512_TARGET_BEGIN("avx512f")

namespace velmoradb {
namespace {

// The instructions of kernels_simd.h's trait, on 512-bit registers.
struct Avx512 {
  using R = __m512;
  using C = __m512i;     // per-lane counts
  using M = __mmask16;   // per-lane flags
  static constexpr int L = 16;
  static constexpr int kUnits = 1;

  static R load(const float* p) { return _mm512_loadu_ps(p); }
  static void store(float* p, R v) { _mm512_storeu_ps(p, v); }
  static R set1(float x) { return _mm512_set1_ps(x); }
  static R zero() { return _mm512_setzero_ps(); }
  static R add(R a, R b) { return _mm512_add_ps(a, b); }
  static R sub(R a, R b) { return _mm512_sub_ps(a, b); }
  static R mul(R a, R b) { return _mm512_mul_ps(a, b); }
  static R div(R a, R b) { return _mm512_div_ps(a, b); }
  static R sqrt(R a) { return _mm512_sqrt_ps(a); }
  static R mul_add(R a, R b, R c) { return _mm512_fmadd_ps(a, b, c); }
  static R mul_sub(R a, R b, R c) { return _mm512_fmsub_ps(a, b, c); }
  // AVX-512F has no floating-point xor: the sign bit is flipped as an integer.
  static R flip_sign(R a) {
    return _mm512_castsi512_ps(
        _mm512_xor_si512(_mm512_castps_si512(a), _mm512_set1_epi32(static_cast<int>(0x80000000u))));
  }
  static M equal(R a, R b) { return _mm512_cmp_ps_mask(a, b, _CMP_EQ_OQ); }
  static M greater(R a, R b) { return _mm512_cmp_ps_mask(a, b, _CMP_GT_OQ); }
  static R select(M m, R a, R b) { return _mm512_mask_blend_ps(m, b, a); }

  static C count_zero() { return _mm512_setzero_si512(); }
  static C count_differs(C count, M set, bool q_set) {
    M differs = q_set ? static_cast<M>(~set) : set;
    return _mm512_mask_add_epi32(count, differs, count, _mm512_set1_epi32(1));
  }
  static R count_to_float(C count) { return _mm512_cvtepi32_ps(count); }
};

#include "engine/kernels/kernels_simd.h"

// Called only once the CPU is known to have AVX512F.
const KernelSet& avx512_set() {
  static const KernelSet set = make_kernel_set<Avx512, KernelTileSizes{.euclidean = {8, 1},
                                                                       .dot_and_hamming = {8, 1},
                                                                       .cosine = {12, 1},
                                                                       .fused_euclidean = {12, 1},
                                                                       .single_query_blocks = 1}>("avx512");
  return set;
}

}  // namespace
}  // namespace velmoradb

VELMORADB_TARGET_END()

namespace velmoradb {

// Compiled for the baseline: it runs on every CPU to ask.
const KernelSet* avx512_kernels() {
  return cpu_features().avx512f ? &avx512_set() : nullptr;
}

}  // namespace velmoradb

#else  // not x86-64

namespace velmoradb {
const KernelSet* avx512_kernels() { return nullptr; }
}  // namespace velmoradb

#endif
