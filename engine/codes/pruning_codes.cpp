#include "engine/codes/pruning_codes.h"

#include "engine/codes/bound_codes.h"
#include "engine/codes/int8_codes.h"

namespace velmoradb {

std::unique_ptr<PruningCodes> make_pruning_codes(DistanceMetric metric, std::size_t dimension,
                                                 const KernelSet& kernels) {
  if (Int8Codes::suits(metric, dimension, kernels)) return std::make_unique<Int8Codes>(metric, dimension, kernels);
  return std::make_unique<BoundCodes>(metric, dimension);
}

}  // namespace velmoradb
