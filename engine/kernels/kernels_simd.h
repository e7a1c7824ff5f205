// The SIMD kernels, written once over a register type and compiled once per
// instruction set.
//
// Included only by kernels_avx2.cpp and kernels_avx512.cpp, inside an
// anonymous namespace and after their target pragma, so every function here
// is compiled for that one instruction set and has internal linkage: nothing
// compiled for AVX-512 can be picked by the linker for a caller on a CPU
// without it. For the same reason this file includes nothing and uses
// nothing of the standard library.
//
// The instruction set comes in as a trait type V, which only names the
// instructions; what they compute is written here, once. V supplies:
//   R, a register of V::L floats; M, a flag per lane; C, a count per lane;
//   kUnits, the registers that span the kBlockWidth lanes of a block;
//   load, store, set1, zero;
//   add, sub, mul, div, sqrt: each one IEEE-754 single operation, rounded to
//     nearest-even;
//   mul_add(a, b, c) = a * b + c and mul_sub(a, b, c) = a * b - c, each in
//     one rounding;
//   flip_sign: the sign bit flipped;
//   equal, greater: ordered, quiet comparisons giving M; select(m, a, b): a
//     where m is set, else b;
//   count_zero; count_differs(count, set, q_set): count + 1 where set differs
//     from q_set; count_to_float.
// No product is ever fused into a sum of a distance (sub_on_multiplier is a
// plain subtraction that merely runs on the multiply unit). The one
// exception, fused_euclidean_tile, computes no distance: only sums that
// bound one (euclidean_sum_bound.h).
//
// A block of kBlockWidth vectors is V::kUnits units of V::L lanes; unit u of
// a block starts at float u * V::L and steps by kBlockWidth floats from one
// component to the next. Lane j of a unit runs exactly the scalar sequence
// of metric.cpp on its vector:
//   partial = t[g]; partial += t[g+1] ... t[g+15]; total += partial   (per block of 16 terms)
//   total += t[i]                                                     (tail terms)
// so the distances are the scalar reference's bits.

// b * 1.0 - q in one rounding, which is b - q exactly (b * 1.0 is b: no
// rounding, no overflow, zeros and infinities keep their sign), on the
// multiply unit instead of the adder. The 1.0 passes through an empty asm so
// the compiler cannot fold the instruction back into a subtraction.
template <class V>
inline typename V::R sub_on_multiplier(typename V::R b, typename V::R q) {
  typename V::R one = V::set1(1.0f);
  __asm__("" : "+v"(one));
  return V::mul_sub(b, one, q);
}

// The cosine distance from the dot product p and the product of the norms:
// 1.0 where den == 0 (+0.0 or -0.0; NaN is not equal), else 1 - p / den.
template <class V>
inline typename V::R cosine_distance(typename V::R p, typename V::R den) {
  const typename V::R one = V::set1(1.0f);
  return V::select(V::equal(den, V::zero()), one, V::sub(one, V::div(p, den)));
}

// The correctly rounded square root of one float.
inline float scalar_sqrt(float x) { return _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(x))); }

// Term policies of the blocked sums. `q` holds one query component in every
// lane, `b` one component of V::L stored vectors.
// `on_multiplier` (a constant once the tile's loops are unrolled) picks the
// unit that subtracts; it never changes a bit of the result.
struct EuclideanTerm {
  template <class V>
  static typename V::R term(typename V::R q, typename V::R b, bool on_multiplier) {
    // Stored minus query: the negation of the reference's query minus
    // stored, exactly (rounding to nearest is symmetric), so the square has
    // the same bits; with the query second its broadcast can be folded into
    // the subtraction's memory operand, saving an instruction per term.
    // A term costs a subtraction, a multiplication and an addition; the
    // batch tiles are bound by the adder, which takes two of them while
    // the multiplier idles half the time. So every other (query, unit) pair
    // of a tile subtracts on the multiplier with sub_on_multiplier, whose
    // single rounding is that of b - q, the same bits as V::sub. The square
    // stays a separate multiplication.
    typename V::R d = on_multiplier ? sub_on_multiplier<V>(b, q) : V::sub(b, q);
    return V::mul(d, d);
  }
  template <class V>
  static typename V::R finish(typename V::R total, float) { return V::sqrt(total); }
};

struct DotTerm {
  template <class V>
  static typename V::R term(typename V::R q, typename V::R b, bool) { return V::mul(q, b); }
  // The sign bit flipped: +0.0 becomes -0.0, NaN stays NaN.
  template <class V>
  static typename V::R finish(typename V::R total, float) { return V::flip_sign(total); }
};

// The blocked sums of Q queries against U units, each unit's base pointer in
// `unit`. Writes total[q][u].
template <class V, class Term, int Q, int U>
inline void blocked_sums(const float* const* queries, const float* const* unit, std::size_t dim,
                         typename V::R (&total)[Q][U]) {
  using R = typename V::R;
  for (int q = 0; q < Q; ++q)
    for (int u = 0; u < U; ++u) total[q][u] = V::zero();
  std::size_t i = 0;
  for (; i + kSumBlock <= dim; i += kSumBlock) {
    R part[Q][U];
    R b[U];
    for (int u = 0; u < U; ++u) b[u] = V::load(unit[u] + i * kBlockWidth);
    for (int q = 0; q < Q; ++q) {
      R qv = V::set1(queries[q][i]);
      for (int u = 0; u < U; ++u) part[q][u] = Term::template term<V>(qv, b[u], ((q + u) & 1) != 0);
    }
    for (std::size_t j = i + 1; j < i + kSumBlock; ++j) {
      for (int u = 0; u < U; ++u) b[u] = V::load(unit[u] + j * kBlockWidth);
      for (int q = 0; q < Q; ++q) {
        R qv = V::set1(queries[q][j]);
        for (int u = 0; u < U; ++u)
          part[q][u] = V::add(part[q][u], Term::template term<V>(qv, b[u], ((q + u) & 1) != 0));
      }
    }
    for (int q = 0; q < Q; ++q)
      for (int u = 0; u < U; ++u) total[q][u] = V::add(total[q][u], part[q][u]);
  }
  for (; i < dim; ++i) {
    R b[U];
    for (int u = 0; u < U; ++u) b[u] = V::load(unit[u] + i * kBlockWidth);
    for (int q = 0; q < Q; ++q) {
      R qv = V::set1(queries[q][i]);
      for (int u = 0; u < U; ++u)
        total[q][u] = V::add(total[q][u], Term::template term<V>(qv, b[u], ((q + u) & 1) != 0));
    }
  }
}

// Base pointers of the units of NB consecutive blocks. At dimension 0
// nothing is read, and `blocks` may be null: no offset is applied to it.
template <class V, int NB>
inline void unit_pointers(const float* blocks, std::size_t dim, const float* (&unit)[NB * V::kUnits]) {
  for (int u = 0; u < NB * V::kUnits; ++u)
    unit[u] = dim == 0 ? blocks
                       : blocks + static_cast<std::size_t>(u / V::kUnits) * dim * kBlockWidth +
                             static_cast<std::size_t>(u % V::kUnits) * V::L;
}

// Q queries against NB blocks; out[q] receives NB * kBlockWidth distances.
// `norms` is unused here (the cosine tile needs it).
template <class V, class Term, int Q, int NB>
inline void sum_tile(const float* const* queries, const float*, const float* blocks,
                     std::size_t dim, float* const* out) {
  constexpr int U = NB * V::kUnits;
  const float* unit[U];
  unit_pointers<V, NB>(blocks, dim, unit);
  typename V::R total[Q][U];
  blocked_sums<V, Term, Q, U>(queries, unit, dim, total);
  for (int q = 0; q < Q; ++q)
    for (int u = 0; u < U; ++u) V::store(out[q] + u * V::L, Term::template finish<V>(total[q][u], 0.0f));
}

// The fused euclidean sums of Q queries against NB blocks, for the bound of
// euclidean_sum_bound.h: d = b - q as the reference subtracts, then
// total = fma(d, d, total), one rounding per term, components in order.
// out[q] receives NB * kBlockWidth sums (no square root). Not the
// reference's bits, and not meant to be: only a bound is taken from them.
template <class V, int Q, int NB>
inline void fused_euclidean_tile(const float* const* queries, const float*, const float* blocks,
                                 std::size_t dim, float* const* out) {
  using R = typename V::R;
  constexpr int U = NB * V::kUnits;
  const float* unit[U];
  unit_pointers<V, NB>(blocks, dim, unit);
  R total[Q][U];
  for (int q = 0; q < Q; ++q)
    for (int u = 0; u < U; ++u) total[q][u] = V::zero();
  for (std::size_t i = 0; i < dim; ++i) {
    R b[U];
    for (int u = 0; u < U; ++u) b[u] = V::load(unit[u] + i * kBlockWidth);
    for (int q = 0; q < Q; ++q) {
      R qv = V::set1(queries[q][i]);
      for (int u = 0; u < U; ++u) {
        R d = V::sub(b[u], qv);
        total[q][u] = V::mul_add(d, d, total[q][u]);
      }
    }
  }
  for (int q = 0; q < Q; ++q)
    for (int u = 0; u < U; ++u) V::store(out[q] + u * V::L, total[q][u]);
}

// Cosine: p = dot(q, b) per query, dot(b, b) once per unit and shared by the
// queries of the tile, both summed in one pass so the two chains of
// additions overlap; then den = |q| * |b|, 1.0 where den == 0, else
// 1 - p / den. `norms[q]` is the query's norm, sqrt(dot(q, q)).
template <class V, int Q, int U>
inline void cosine_sums(const float* const* queries, const float* const* unit, std::size_t dim,
                        typename V::R (&p)[Q][U], typename V::R (&bb)[U]) {
  using R = typename V::R;
  for (int u = 0; u < U; ++u) {
    bb[u] = V::zero();
    for (int q = 0; q < Q; ++q) p[q][u] = V::zero();
  }
  // One term of component i; `first` starts the block's partial sums.
  auto step = [&](std::size_t i, R (&pp)[Q][U], R (&pb)[U], bool first) {
    R b[U];
    for (int u = 0; u < U; ++u) {
      b[u] = V::load(unit[u] + i * kBlockWidth);
      R sq = V::mul(b[u], b[u]);
      pb[u] = first ? sq : V::add(pb[u], sq);
    }
    for (int q = 0; q < Q; ++q) {
      R qv = V::set1(queries[q][i]);
      for (int u = 0; u < U; ++u) {
        R t = V::mul(qv, b[u]);
        pp[q][u] = first ? t : V::add(pp[q][u], t);
      }
    }
  };
  std::size_t i = 0;
  for (; i + kSumBlock <= dim; i += kSumBlock) {
    R part[Q][U];
    R part_bb[U];
    step(i, part, part_bb, true);
    for (std::size_t j = i + 1; j < i + kSumBlock; ++j) step(j, part, part_bb, false);
    for (int u = 0; u < U; ++u) {
      bb[u] = V::add(bb[u], part_bb[u]);
      for (int q = 0; q < Q; ++q) p[q][u] = V::add(p[q][u], part[q][u]);
    }
  }
  for (; i < dim; ++i) step(i, p, bb, false);  // tail terms go to the totals directly
}

template <class V, int Q, int NB>
inline void cosine_tile(const float* const* queries, const float* norms, const float* blocks,
                        std::size_t dim, float* const* out) {
  constexpr int U = NB * V::kUnits;
  const float* unit[U];
  unit_pointers<V, NB>(blocks, dim, unit);
  typename V::R p[Q][U];
  typename V::R bb[U];
  cosine_sums<V, Q, U>(queries, unit, dim, p, bb);
  for (int u = 0; u < U; ++u) {
    typename V::R nb = V::sqrt(bb[u]);
    for (int q = 0; q < Q; ++q) {
      typename V::R den = V::mul(V::set1(norms[q]), nb);
      V::store(out[q] + u * V::L, cosine_distance<V>(p[q][u], den));
    }
  }
}

// Hamming: count the positions set on exactly one side (set: > 0.5, so
// NaN is not set). The order of counting does not matter.
template <class V, int Q, int NB>
inline void hamming_tile(const float* const* queries, const float*, const float* blocks,
                         std::size_t dim, float* const* out) {
  constexpr int U = NB * V::kUnits;
  const float* unit[U];
  unit_pointers<V, NB>(blocks, dim, unit);
  typename V::C count[Q][U];
  for (int q = 0; q < Q; ++q)
    for (int u = 0; u < U; ++u) count[q][u] = V::count_zero();
  for (std::size_t i = 0; i < dim; ++i) {
    for (int u = 0; u < U; ++u) {
      typename V::M set = V::greater(V::load(unit[u] + i * kBlockWidth), V::set1(0.5f));
      for (int q = 0; q < Q; ++q) count[q][u] = V::count_differs(count[q][u], set, queries[q][i] > 0.5f);
    }
  }
  for (int q = 0; q < Q; ++q)
    for (int u = 0; u < U; ++u) V::store(out[q] + u * V::L, V::count_to_float(count[q][u]));
}

// Runs the tile of n (1 .. Q) queries: tiles are compiled for fixed sizes.
template <template <class, int, int> class Tile, class V, int Q, int NB>
inline void tile_of(int n, const float* const* queries, const float* norms, const float* blocks,
                    std::size_t dim, float* const* out) {
  if constexpr (Q > 1) {
    if (n < Q) return tile_of<Tile, V, Q - 1, NB>(n, queries, norms, blocks, dim, out);
  }
  Tile<V, Q, NB>::run(queries, norms, blocks, dim, out);
}

// Adapters giving each tile the same shape: Tile<V, Q, NB>::run(...).
template <class Term>
struct SumTile {
  template <class V, int Q, int NB>
  struct Of {
    static void run(const float* const* qs, const float* norms, const float* blocks,
                    std::size_t dim, float* const* out) {
      sum_tile<V, Term, Q, NB>(qs, norms, blocks, dim, out);
    }
  };
};
template <class V, int Q, int NB>
struct CosineTile {
  static void run(const float* const* qs, const float* norms, const float* blocks,
                  std::size_t dim, float* const* out) {
    cosine_tile<V, Q, NB>(qs, norms, blocks, dim, out);
  }
};
template <class V, int Q, int NB>
struct FusedEuclideanTile {
  static void run(const float* const* qs, const float* norms, const float* blocks,
                  std::size_t dim, float* const* out) {
    fused_euclidean_tile<V, Q, NB>(qs, norms, blocks, dim, out);
  }
};
template <class V, int Q, int NB>
struct HammingTile {
  static void run(const float* const* qs, const float* norms, const float* blocks,
                  std::size_t dim, float* const* out) {
    hamming_tile<V, Q, NB>(qs, norms, blocks, dim, out);
  }
};

// Queries in a group whose norms are held on the stack. Every group makes
// one pass over the stored vectors from memory, so a larger group means
// fewer passes; 256 queries (128 KiB at dimension 128) still sit in L2.
constexpr std::size_t kNormGroup = 256;

// The batch kernel: for each group of queries, each step of NB blocks is
// kept in L1 while every tile of up to Q queries of the group passes over it.
//   queries: nq * dim floats; out row q at out + q * out_stride.
template <template <class, int, int> class Tile, class V, int Q, int NB, bool kNeedsNorms>
void batch_kernel(const float* queries, std::size_t nq, const float* blocks, std::size_t nblocks,
                  std::size_t dim, float* out, std::size_t out_stride) {
  const std::size_t block_floats = dim * kBlockWidth;
  for (std::size_t g = 0; g < nq; g += kNormGroup) {
    std::size_t group = nq - g < kNormGroup ? nq - g : kNormGroup;
    float norms[kNormGroup];
    if constexpr (kNeedsNorms) {
      // The query norm once per call, through the scalar reference.
      for (std::size_t q = 0; q < group; ++q)
        norms[q] = scalar_sqrt(dot_product(queries + (g + q) * dim, queries + (g + q) * dim, dim));
    }
    for (std::size_t b = 0; b < nblocks; b += NB) {
      const float* bp = blocks + b * block_floats;
      bool whole = b + NB <= nblocks;
      for (std::size_t q0 = 0; q0 < group; q0 += Q) {
        int n = static_cast<int>(group - q0 < static_cast<std::size_t>(Q) ? group - q0 : Q);
        const float* qs[Q];
        float* os[Q];
        for (int q = 0; q < n; ++q) {
          qs[q] = queries + (g + q0 + q) * dim;
          os[q] = out + (g + q0 + q) * out_stride + b * kBlockWidth;
        }
        if (whole) {
          tile_of<Tile, V, Q, NB>(n, qs, norms + q0, bp, dim, os);
        } else {
          // The last blocks, one at a time.
          for (std::size_t r = b; r < nblocks; ++r) {
            for (int q = 0; q < n; ++q) os[q] = out + (g + q0 + q) * out_stride + r * kBlockWidth;
            tile_of<Tile, V, Q, 1>(n, qs, norms + q0, blocks + r * block_floats, dim, os);
          }
        }
      }
    }
  }
}

// The single-query kernel: NB blocks at a time, so NB * kUnits sums are in
// flight and the scan runs at the speed of memory.
template <template <class, int, int> class Tile, class V, int NB, bool kNeedsNorms>
void block_kernel(const float* query, const float* blocks, std::size_t nblocks, std::size_t dim,
                  float* out) {
  float norm = 0.0f;
  if constexpr (kNeedsNorms) norm = scalar_sqrt(dot_product(query, query, dim));
  const std::size_t block_floats = dim * kBlockWidth;
  std::size_t b = 0;
  for (; b + NB <= nblocks; b += NB) {
    float* o = out + b * kBlockWidth;
    Tile<V, 1, NB>::run(&query, &norm, blocks + b * block_floats, dim, &o);
  }
  for (; b < nblocks; ++b) {
    float* o = out + b * kBlockWidth;
    Tile<V, 1, 1>::run(&query, &norm, blocks + b * block_floats, dim, &o);
  }
}

// The size of a batch tile: `queries` queries against `blocks` blocks.
struct TileSize {
  int queries;
  int blocks;
};

// The tile sizes of one instruction set's kernels: the batch tiles per
// metric (dot products and Hamming share one size; cosine keeps two sums
// per unit), and the blocks the single-query kernels take at a time.
struct KernelTileSizes {
  TileSize euclidean;
  TileSize dot_and_hamming;
  TileSize cosine;
  TileSize fused_euclidean;
  int single_query_blocks;
};

// The kernel set of one instruction set.
template <class V, KernelTileSizes S>
KernelSet make_kernel_set(const char* name) {
  using E = SumTile<EuclideanTerm>;
  using D = SumTile<DotTerm>;
  constexpr int NB1 = S.single_query_blocks;
  return KernelSet{
      name,
      {block_kernel<E::template Of, V, NB1, false>, block_kernel<CosineTile, V, NB1, true>,
       block_kernel<D::template Of, V, NB1, false>, block_kernel<HammingTile, V, NB1, false>},
      {batch_kernel<E::template Of, V, S.euclidean.queries, S.euclidean.blocks, false>,
       batch_kernel<CosineTile, V, S.cosine.queries, S.cosine.blocks, true>,
       batch_kernel<D::template Of, V, S.dot_and_hamming.queries, S.dot_and_hamming.blocks, false>,
       batch_kernel<HammingTile, V, S.dot_and_hamming.queries, S.dot_and_hamming.blocks, false>},
      batch_kernel<FusedEuclideanTile, V, S.fused_euclidean.queries, S.fused_euclidean.blocks, false>,
  };
}
