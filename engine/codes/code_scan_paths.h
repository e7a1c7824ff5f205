// The paths of code_scan.h one by one, and the reference kernels that the
// faster paths reuse: for the code_scan_*.cpp files, which choose among and
// assemble them. Each path is null where it is not compiled or the CPU does
// not support it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/codes/code_scan.h"

namespace velmoradb {

const CodeScanPath* avx2_code_scan();
const CodeScanPath* avx512_code_scan();
const CodeScanPath* avx512vbmi_code_scan();

// The reference kernels (code_scan_scalar.cpp), of the types code_scan.h
// describes.
std::uint32_t fine_sum_scalar(const std::uint8_t* coarse_block, const std::uint8_t* fine_block, unsigned vector,
                              const std::uint32_t* table, std::size_t dim, std::uint32_t stop_above);
std::uint32_t fine_sum8_scalar(const std::uint8_t* coarse_block, const std::uint8_t* fine_block, unsigned vector,
                               const std::uint8_t* table, std::size_t dim, std::uint32_t stop_above);
void full_scan_scalar(const std::uint8_t* coarse, const std::uint8_t* fine, const std::uint32_t* blocks,
                      std::size_t count, std::size_t dim, const std::uint8_t* table, std::uint16_t* sums);
void encode_scalar(const float* row, const float* ends, std::size_t dim, std::uint8_t* codes);

}  // namespace velmoradb
