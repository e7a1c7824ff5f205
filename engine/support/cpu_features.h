// CpuFeatures: the x86 instruction-set extensions that some code path of the
// system needs, asked of the CPU once.
//
// Every path compiled for more than the baseline (by a target pragma or
// attribute, so that one build runs on every x86-64 CPU) is offered only
// where cpu_features() reports what it was compiled for. A feature counts
// as present only when the CPU has it and, for AVX and AVX-512, the
// operating system saves the registers it uses: what the compiler's
// __builtin_cpu_supports reports. On other architectures every field is
// false.
#pragma once

namespace velmoradb {

struct CpuFeatures {
  bool sse4_1 = false;      // with pclmul: the carry-less CRC-32
  bool pclmul = false;
  bool avx2 = false;        // the AVX2 code scan; with fma, the AVX2 kernels
  bool fma = false;
  bool avx512f = false;     // the AVX-512 kernels
  bool avx512bw = false;    // with avx512f: the AVX-512 code scan
  bool avx512dq = false;    // with avx512f and avx512cd: the float list texts
  bool avx512cd = false;
  bool avx512vbmi = false;  // with the AVX-512 code scan's: its full scan
  bool avx512vnni = false;  // with avx512f and avx512bw: the int8 bounds
};

// This CPU's features, detected on the first call (safe from any thread,
// and before or during static initialisation).
const CpuFeatures& cpu_features();

}  // namespace velmoradb
