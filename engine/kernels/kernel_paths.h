// The instruction-set kernel sets of kernels.h one by one, for the choice
// among them (kernels_dispatch.cpp) and for the sets built on another. Each
// is null where it is not compiled or the CPU does not support it.
#pragma once

#include "engine/kernels/kernels.h"

namespace velmoradb {

const KernelSet* avx2_kernels();
const KernelSet* avx512_kernels();
// The AVX-512 set with the int8 bounds (int8_bounds_avx512vnni.cpp).
const KernelSet* avx512vnni_kernels();

}  // namespace velmoradb
