#include "engine/support/cpu_features.h"

namespace velmoradb {

namespace {

CpuFeatures detect() {
  CpuFeatures f;
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
  // The CPU model is set up by a static constructor, which may not have run
  // yet when another static initialiser asks.
  __builtin_cpu_init();
  f.sse4_1 = __builtin_cpu_supports("sse4.1");
  f.pclmul = __builtin_cpu_supports("pclmul");
  f.avx2 = __builtin_cpu_supports("avx2");
  f.fma = __builtin_cpu_supports("fma");
  f.avx512f = __builtin_cpu_supports("avx512f");
  f.avx512bw = __builtin_cpu_supports("avx512bw");
  f.avx512dq = __builtin_cpu_supports("avx512dq");
  f.avx512cd = __builtin_cpu_supports("avx512cd");
  f.avx512vbmi = __builtin_cpu_supports("avx512vbmi");
  f.avx512vnni = __builtin_cpu_supports("avx512vnni");
#endif
  return f;
}

}  // namespace

const CpuFeatures& cpu_features() {
  static const CpuFeatures features = detect();
  return features;
}

}  // namespace velmoradb
