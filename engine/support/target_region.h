// Code compiled for more than the baseline instruction set, by a target
// pragma rather than a compiler flag, so that one build runs on every
// x86-64 CPU. Every function defined between
//   VELMORADB_TARGET_BEGIN("avx2,fma")   (or VELMORADB_AVX512_TARGET_BEGIN)
//   VELMORADB_TARGET_END()
// is compiled for those extensions, and may run only where cpu_features()
// (cpu_features.h) reports them: the function that asks is defined after
// the region, and headers are included before it. GCC and Clang only.
//
// VELMORADB_AVX512_TARGET_BEGIN also turns GCC's warnings of uninitialised
// variables off within the region: GCC 12's own AVX-512 headers start
// results from a self-initialised "undefined" register, which
// -Wuninitialized reports at every use.
#pragma once

#define VELMORADB_PRAGMA(text) _Pragma(#text)

#if defined(__clang__)
#define VELMORADB_TARGET_BEGIN(extensions) \
  VELMORADB_PRAGMA(clang attribute push(__attribute__((target(extensions))), apply_to = function))
#define VELMORADB_AVX512_TARGET_BEGIN(extensions) VELMORADB_TARGET_BEGIN(extensions)
#define VELMORADB_TARGET_END() VELMORADB_PRAGMA(clang attribute pop)
#elif defined(__GNUC__)
#define VELMORADB_TARGET_BEGIN(extensions) \
  VELMORADB_PRAGMA(GCC push_options)       \
  VELMORADB_PRAGMA(GCC target(extensions)) \
  VELMORADB_PRAGMA(GCC diagnostic push)
#define VELMORADB_AVX512_TARGET_BEGIN(extensions)                 \
  VELMORADB_TARGET_BEGIN(extensions)                              \
  VELMORADB_PRAGMA(GCC diagnostic ignored "-Wuninitialized")      \
  VELMORADB_PRAGMA(GCC diagnostic ignored "-Wmaybe-uninitialized")
#define VELMORADB_TARGET_END() \
  VELMORADB_PRAGMA(GCC diagnostic pop) \
  VELMORADB_PRAGMA(GCC pop_options)
#endif
