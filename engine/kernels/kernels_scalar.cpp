// The scalar path: the reference order of metric.h, read through the block layout.
#include <cmath>
#include <memory>

#include "engine/kernels/kernels.h"

namespace velmoradb {

namespace {

// Lane j of a block, gathered into a contiguous vector so the reference
// functions of metric.h can run on it unchanged.
template <float (*Distance)(const float*, const float*, std::size_t)>
void block_scalar(const float* query, const float* blocks, std::size_t nblocks,
                  std::size_t dim, float* out) {
  float lane_buf[512];
  std::unique_ptr<float[]> heap_lane;
  float* lane = lane_buf;
  if (dim > 512) {
    heap_lane = std::make_unique<float[]>(dim);
    lane = heap_lane.get();
  }
  for (std::size_t b = 0; b < nblocks; ++b) {
    const float* block = blocks + b * dim * kBlockWidth;
    for (std::size_t j = 0; j < kBlockWidth; ++j) {
      for (std::size_t i = 0; i < dim; ++i) lane[i] = block[i * kBlockWidth + j];
      out[b * kBlockWidth + j] = Distance(query, lane, dim);
    }
  }
}

template <BlockKernel Block>
void batch_scalar(const float* queries, std::size_t nq, const float* blocks,
                  std::size_t nblocks, std::size_t dim, float* out, std::size_t out_stride) {
  for (std::size_t q = 0; q < nq; ++q) Block(queries + q * dim, blocks, nblocks, dim, out + q * out_stride);
}

constexpr BlockKernel kEuclidean = block_scalar<euclidean_distance>;
constexpr BlockKernel kCosine = block_scalar<cosine_distance>;
constexpr BlockKernel kDot = block_scalar<dot_distance>;
constexpr BlockKernel kHamming = block_scalar<hamming_distance>;

}  // namespace

const KernelSet& scalar_kernels() {
  static const KernelSet set = {
      "scalar",
      {kEuclidean, kCosine, kDot, kHamming},
      {batch_scalar<kEuclidean>, batch_scalar<kCosine>, batch_scalar<kDot>, batch_scalar<kHamming>},
  };
  return set;
}

}  // namespace velmoradb
