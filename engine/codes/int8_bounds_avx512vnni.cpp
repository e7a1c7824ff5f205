// The kernels of the int8 bound (int8_bounds.h) with AVX-512 VNNI: the
// quantization of a run of the index's blocks, and the lower bounds of
// many queries against them. Offered as the kernel set "avx512vnni": the
// AVX-512 set with these two added, only when the CPU reports AVX-512F,
// AVX-512BW and AVX-512 VNNI at run time.
#include "engine/codes/int8_bounds.h"
#include "engine/kernels/kernel_paths.h"
#include "engine/kernels/kernels.h"
#include "engine/support/cpu_features.h"
#include "engine/support/target_region.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

#include <algorithm>

VELMORADB_AVX512_TARGET_BEGIN("avx512f,avx512bw,avx512vnni,avx2")

namespace velmoradb {
namespace {

static_assert(kBlockWidth == 16, "a block's lanes are one 512-bit register of floats");

// Lane by lane (16 vectors of a block): codes, figures and offsets.
void quantize_avx512vnni(const float* blocks, std::size_t nblocks, std::size_t dim, Int8Chunk& out) {
  const std::size_t padded = int8_padded(dim);
  const std::size_t groups = padded / 4;
  out.codes.resize(nblocks * groups * 64);
  out.offsets.resize(nblocks * kBlockWidth);
  out.scale.resize(nblocks * kBlockWidth);
  out.norm2_lo.resize(nblocks * kBlockWidth);
  out.code_norm_hi.resize(nblocks * kBlockWidth);
  out.residual_hi.resize(nblocks * kBlockWidth);
  for (std::size_t b = 0; b < nblocks; ++b) {
    const float* block = blocks + b * dim * kBlockWidth;
    // The largest magnitude per lane; NaN anywhere makes a lane unbounded.
    __m512 max_abs = _mm512_setzero_ps();
    __mmask16 nan = 0;
    for (std::size_t i = 0; i < dim; ++i) {
      const __m512 x = _mm512_loadu_ps(block + i * kBlockWidth);
      nan |= _mm512_cmp_ps_mask(x, x, _CMP_UNORD_Q);
      max_abs = _mm512_max_ps(max_abs, _mm512_abs_ps(x));
    }
    const __m512 scale = _mm512_div_ps(max_abs, _mm512_set1_ps(127.0f));
    __m512 inverse = _mm512_maskz_div_ps(_mm512_cmp_ps_mask(max_abs, _mm512_setzero_ps(), _CMP_GT_OQ),
                                         _mm512_set1_ps(127.0f), max_abs);
    // An infinite inverse (a subnormal largest magnitude) codes every
    // component as 0: the residual is then the vector itself, still true.
    inverse = _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(inverse, _mm512_set1_ps(3.4e38f), _CMP_LE_OQ), inverse);
    __m512 sum_x2 = _mm512_setzero_ps(), sum_e2 = _mm512_setzero_ps();
    __m512i sum_c2 = _mm512_setzero_si512(), sum_c = _mm512_setzero_si512();
    std::int8_t* codes = out.codes.data() + b * groups * 64;
    for (std::size_t g = 0; g < groups; ++g) {
      __m128i rows[4];
      for (std::size_t r = 0; r < 4; ++r) {
        const std::size_t i = g * 4 + r;
        if (i >= dim) {
          rows[r] = _mm_setzero_si128();
          continue;
        }
        const __m512 x = _mm512_loadu_ps(block + i * kBlockWidth);
        __m512 c = _mm512_roundscale_ps(_mm512_mul_ps(x, inverse), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        c = _mm512_min_ps(_mm512_max_ps(c, _mm512_set1_ps(-127.0f)), _mm512_set1_ps(127.0f));
        // A NaN lane (x NaN) gives a NaN code; it is zeroed, its bound NaN.
        c = _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(c, c, _CMP_ORD_Q), c);
        const __m512 e = _mm512_fnmadd_ps(scale, c, x);  // x - scale * c, one rounding
        sum_x2 = _mm512_fmadd_ps(x, x, sum_x2);
        sum_e2 = _mm512_fmadd_ps(e, e, sum_e2);
        const __m512i ci = _mm512_cvtps_epi32(c);  // exact: c is an integer
        sum_c2 = _mm512_add_epi32(sum_c2, _mm512_mullo_epi32(ci, ci));
        sum_c = _mm512_add_epi32(sum_c, ci);
        rows[r] = _mm512_cvtsepi32_epi8(ci);
      }
      // Rows: component r of lanes 0..15. Interleaved to lane-major groups
      // of 4 bytes.
      const __m128i a = _mm_unpacklo_epi8(rows[0], rows[1]), b1 = _mm_unpackhi_epi8(rows[0], rows[1]);
      const __m128i c2 = _mm_unpacklo_epi8(rows[2], rows[3]), d = _mm_unpackhi_epi8(rows[2], rows[3]);
      std::int8_t* at = codes + g * 64;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm_unpacklo_epi16(a, c2));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 16), _mm_unpackhi_epi16(a, c2));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 32), _mm_unpacklo_epi16(b1, d));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 48), _mm_unpackhi_epi16(b1, d));
    }
    alignas(64) float lane_scale[kBlockWidth], lane_x2[kBlockWidth], lane_e2[kBlockWidth];
    alignas(64) std::int32_t lane_c2[kBlockWidth], lane_c[kBlockWidth];
    _mm512_store_ps(lane_scale, scale);
    _mm512_store_ps(lane_x2, sum_x2);
    _mm512_store_ps(lane_e2, sum_e2);
    _mm512_store_si512(lane_c2, sum_c2);
    _mm512_store_si512(lane_c, sum_c);
    for (std::size_t j = 0; j < kBlockWidth; ++j) {
      Int8Figures f = int8_figures(lane_scale[j], lane_x2[j], lane_c2[j], lane_e2[j]);
      if ((nan >> j) & 1u) f.norm2_lo = __builtin_nanf("");
      const std::size_t lane = b * kBlockWidth + j;
      out.offsets[lane] = 128 * lane_c[j];
      out.scale[lane] = f.scale;
      out.norm2_lo[lane] = f.norm2_lo;
      out.code_norm_hi[lane] = f.code_norm_hi;
      out.residual_hi[lane] = f.residual_hi;
    }
  }
}

// Q queries against one block: the integer dot products, then the bounds
// of the metric: euclidean, a lower bound of the squared distance; dot, a
// lower bound of the distance (the negated dot product). `gamma` (dot) is
// the relative error allowed to the reference's sum of products.
template <DistanceMetric Metric, int Q>
void bound_tile(const Int8Query* const* queries, const Int8Chunk& chunk, std::size_t block, std::size_t groups,
                float gamma, float* const* out) {
  const std::int8_t* codes = chunk.codes.data() + block * groups * 64;
  __m512i acc[Q];
  for (int q = 0; q < Q; ++q) acc[q] = _mm512_setzero_si512();
  std::size_t g = 0;
  if constexpr (Q == 1) {
    // One query (a single search over stored codes): four chains of
    // additions instead of one, so the instruction's latency is hidden.
    const std::uint8_t* qc = queries[0]->codes.data();
    __m512i more[3] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512()};
    // Each group's 4 query bytes broadcast straight from memory (through a
    // general register, the broadcast costs more than the product).
    auto four = [qc](std::size_t at) {
      std::int32_t v;
      __builtin_memcpy(&v, qc + at * 4, 4);
      return _mm512_set1_epi32(v);
    };
    for (; g + 4 <= groups; g += 4) {
      acc[0] = _mm512_dpbusd_epi32(acc[0], four(g), _mm512_loadu_si512(codes + g * 64));
      more[0] = _mm512_dpbusd_epi32(more[0], four(g + 1), _mm512_loadu_si512(codes + g * 64 + 64));
      more[1] = _mm512_dpbusd_epi32(more[1], four(g + 2), _mm512_loadu_si512(codes + g * 64 + 128));
      more[2] = _mm512_dpbusd_epi32(more[2], four(g + 3), _mm512_loadu_si512(codes + g * 64 + 192));
    }
    // Integer sums: exact in any order.
    acc[0] = _mm512_add_epi32(_mm512_add_epi32(acc[0], more[0]), _mm512_add_epi32(more[1], more[2]));
  }
  for (; g < groups; ++g) {
    const __m512i x = _mm512_loadu_si512(codes + g * 64);
    for (int q = 0; q < Q; ++q) {
      std::int32_t four;
      __builtin_memcpy(&four, queries[q]->codes.data() + g * 4, 4);
      acc[q] = _mm512_dpbusd_epi32(acc[q], _mm512_set1_epi32(four), x);
    }
  }
  const std::size_t lane = block * kBlockWidth;
  const __m512i offsets = _mm512_loadu_si512(chunk.offsets.data() + lane);
  const __m512 sx = _mm512_loadu_ps(chunk.scale.data() + lane);
  const __m512 nx = _mm512_loadu_ps(chunk.norm2_lo.data() + lane);
  const __m512 chi = _mm512_loadu_ps(chunk.code_norm_hi.data() + lane);
  const __m512 rx = _mm512_loadu_ps(chunk.residual_hi.data() + lane);
  const __m512 margin = _mm512_set1_ps(1.0f / 262144.0f);  // 2^-18 (int8_bounds.cpp)
  const __m512 tiny = _mm512_set1_ps(7.9e-31f);            // about 2^-100
  for (int q = 0; q < Q; ++q) {
    const Int8Figures& f = queries[q]->figures;
    const __m512 products = _mm512_cvtepi32_ps(_mm512_sub_epi32(acc[q], offsets));
    const __m512 p = _mm512_mul_ps(products, _mm512_mul_ps(sx, _mm512_set1_ps(f.scale)));
    const __m512 e = _mm512_fmadd_ps(chi, _mm512_set1_ps(f.residual_hi),
                                     _mm512_mul_ps(rx, _mm512_set1_ps(f.code_norm_hi + f.residual_hi)));
    // NaN where the vector or the query has no bound.
    const __m512 norms = _mm512_add_ps(nx, _mm512_set1_ps(f.norm2_lo));
    __m512 lower;
    if constexpr (Metric == DistanceMetric::Euclidean) {
      const __m512 two = _mm512_set1_ps(2.0f);
      const __m512 val = _mm512_fnmadd_ps(two, _mm512_add_ps(p, e), norms);
      const __m512 m = _mm512_fmadd_ps(two, _mm512_add_ps(_mm512_abs_ps(p), e), norms);
      lower = _mm512_sub_ps(_mm512_fnmadd_ps(m, margin, val), tiny);
    } else {
      // The reference's sum is at most p + e + gamma |x| |q| (+ underflow),
      // with |x| <= chi + rx and |q| <= its own; the distance at least its negation.
      const __m512 spread = _mm512_mul_ps(_mm512_mul_ps(_mm512_add_ps(chi, rx), _mm512_set1_ps(f.code_norm_hi + f.residual_hi)),
                                          _mm512_set1_ps(gamma));
      const __m512 upper = _mm512_add_ps(_mm512_add_ps(p, e), spread);
      const __m512 m = _mm512_add_ps(_mm512_add_ps(_mm512_abs_ps(p), e), spread);
      lower = _mm512_sub_ps(_mm512_fnmadd_ps(m, margin, _mm512_sub_ps(_mm512_setzero_ps(), upper)), tiny);
      lower = _mm512_mask_blend_ps(_mm512_cmp_ps_mask(norms, norms, _CMP_UNORD_Q), lower, norms);
    }
    _mm512_storeu_ps(out[q], lower);
  }
}

template <DistanceMetric Metric, int Q>
void tile_of(int n, const Int8Query* const* queries, const Int8Chunk& chunk, std::size_t block, std::size_t groups,
             float gamma, float* const* out) {
  if constexpr (Q > 1) {
    if (n < Q) return tile_of<Metric, Q - 1>(n, queries, chunk, block, groups, gamma, out);
  }
  bound_tile<Metric, Q>(queries, chunk, block, groups, gamma, out);
}

constexpr int kTileQueries = 12;

template <DistanceMetric Metric>
void lower_bounds_avx512vnni(const Int8Query* const* queries, std::size_t nq, const Int8Chunk& chunk,
                             std::size_t first_block, std::size_t nblocks, std::size_t dim, float* out,
                             std::size_t out_stride) {
  const std::size_t groups = int8_padded(dim) / 4;
  const float gamma = int8_dot_gamma(dim);
  for (std::size_t b = 0; b < nblocks; ++b) {
    for (std::size_t q0 = 0; q0 < nq; q0 += kTileQueries) {
      const int n = static_cast<int>(std::min<std::size_t>(kTileQueries, nq - q0));
      float* os[kTileQueries];
      for (int q = 0; q < n; ++q) os[q] = out + (q0 + q) * out_stride + b * kBlockWidth;
      tile_of<Metric, kTileQueries>(n, queries + q0, chunk, first_block + b, groups, gamma, os);
    }
  }
}

}  // namespace
}  // namespace velmoradb

VELMORADB_TARGET_END()

namespace velmoradb {

const KernelSet* avx512vnni_kernels() {
  const KernelSet* base = avx512_kernels();
  const CpuFeatures& cpu = cpu_features();
  if (base == nullptr || !cpu.avx512bw || !cpu.avx512vnni) return nullptr;
  static const KernelSet set = [base] {
    KernelSet s = *base;
    s.name = "avx512vnni";
    s.int8_quantize = quantize_avx512vnni;
    s.int8_lower_bounds = lower_bounds_avx512vnni<DistanceMetric::Euclidean>;
    s.int8_dot_lower_bounds = lower_bounds_avx512vnni<DistanceMetric::DotProduct>;
    return s;
  }();
  return &set;
}

}  // namespace velmoradb

#else

namespace velmoradb {
const KernelSet* avx512vnni_kernels() { return nullptr; }
}  // namespace velmoradb

#endif
