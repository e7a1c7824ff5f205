// The avx512 path. Not written yet: reports "not available".
#include "engine/kernels.h"

namespace velmoradb {

const KernelSet* avx512_kernels() { return nullptr; }

}  // namespace velmoradb
