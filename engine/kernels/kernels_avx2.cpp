// The AVX2 path: a block of 16 vectors is two units of eight lanes, each
// 256-bit register holding one component of eight vectors.
//
// Compiled for AVX2 and FMA by a target pragma rather than a compiler flag,
// so one build runs on every x86-64 CPU: the set is offered only when the
// CPU reports both at run time (FMA only to subtract on the multiply unit,
// see sub_on_multiplier in kernels_simd.h, and for the bound's fused sums).
#include <cstddef>

#include "engine/kernels/kernel_paths.h"
#include "engine/kernels/kernels.h"
#include "engine/support/cpu_features.h"
#include "engine/support/target_region.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

VELMORADB_TARGET_BEGIN("avx2,fma")

namespace velmoradb {
namespace {

// The instructions of kernels_simd.h's trait, on 256-bit registers.
struct Avx2 {
  using R = __m256;
  using C = __m256i;  // per-lane counts
  using M = __m256;   // per-lane flags: all ones or all zeros
  static constexpr int L = 8;
  static constexpr int kUnits = 2;

  static R load(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, R v) { _mm256_storeu_ps(p, v); }
  static R set1(float x) { return _mm256_set1_ps(x); }
  static R zero() { return _mm256_setzero_ps(); }
  static R add(R a, R b) { return _mm256_add_ps(a, b); }
  static R sub(R a, R b) { return _mm256_sub_ps(a, b); }
  static R mul(R a, R b) { return _mm256_mul_ps(a, b); }
  static R div(R a, R b) { return _mm256_div_ps(a, b); }
  static R sqrt(R a) { return _mm256_sqrt_ps(a); }
  static R mul_add(R a, R b, R c) { return _mm256_fmadd_ps(a, b, c); }
  static R mul_sub(R a, R b, R c) { return _mm256_fmsub_ps(a, b, c); }
  static R flip_sign(R a) { return _mm256_xor_ps(a, _mm256_set1_ps(-0.0f)); }
  static M equal(R a, R b) { return _mm256_cmp_ps(a, b, _CMP_EQ_OQ); }
  static M greater(R a, R b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
  static R select(M m, R a, R b) { return _mm256_blendv_ps(b, a, m); }

  static C count_zero() { return _mm256_setzero_si256(); }
  static C count_differs(C count, M set, bool q_set) {
    R flip = _mm256_castsi256_ps(_mm256_set1_epi32(q_set ? -1 : 0));
    // A lane that differs holds all ones, -1 as an integer.
    return _mm256_sub_epi32(count, _mm256_castps_si256(_mm256_xor_ps(set, flip)));
  }
  static R count_to_float(C count) { return _mm256_cvtepi32_ps(count); }
};

#include "engine/kernels/kernels_simd.h"

// Called only once the CPU is known to have AVX2 and FMA.
const KernelSet& avx2_set() {
  static const KernelSet set = make_kernel_set<Avx2, KernelTileSizes{.euclidean = {4, 1},
                                                                     .dot_and_hamming = {4, 1},
                                                                     .cosine = {4, 1},
                                                                     .fused_euclidean = {4, 1},
                                                                     .single_query_blocks = 1}>("avx2");
  return set;
}

}  // namespace
}  // namespace velmoradb

VELMORADB_TARGET_END()

namespace velmoradb {

// Compiled for the baseline: it runs on every CPU to ask.
const KernelSet* avx2_kernels() {
  const CpuFeatures& cpu = cpu_features();
  return cpu.avx2 && cpu.fma ? &avx2_set() : nullptr;
}

}  // namespace velmoradb

#else  // not x86-64

namespace velmoradb {
const KernelSet* avx2_kernels() { return nullptr; }
}  // namespace velmoradb

#endif
