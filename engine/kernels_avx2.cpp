// The avx2 path. Not written yet: reports "not available".
#include "engine/kernels.h"

namespace velmoradb {

const KernelSet* avx2_kernels() { return nullptr; }

}  // namespace velmoradb
