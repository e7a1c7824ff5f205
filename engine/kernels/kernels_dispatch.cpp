// Chooses the kernel path at run time from what the CPU offers, so that one
// build runs everywhere.
#include "engine/kernels/kernel_paths.h"
#include "engine/kernels/kernels.h"

namespace velmoradb {

std::size_t available_kernels(const KernelSet** out, std::size_t capacity) {
  std::size_t n = 0;
  if (n < capacity) out[n++] = &scalar_kernels();
  if (const KernelSet* k = avx2_kernels(); k && n < capacity) out[n++] = k;
  if (const KernelSet* k = avx512_kernels(); k && n < capacity) out[n++] = k;
  if (const KernelSet* k = avx512vnni_kernels(); k && n < capacity) out[n++] = k;
  return n;
}

const KernelSet& best_kernels() {
  static const KernelSet* best = [] {
    const KernelSet* sets[4];
    std::size_t n = available_kernels(sets, 4);
    return sets[n - 1];
  }();
  return *best;
}

}  // namespace velmoradb
