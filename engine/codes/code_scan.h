// The scans of bound codes: per vector, the sum of one table entry per
// component, for 32 vectors at a time; over the 4-bit coarse codes (scan),
// over the whole 8-bit codes of one vector (fine_sum) or of listed blocks
// (full_scan).
//
// Layout. Components are padded to a multiple of kCodeComponentGroup (the
// padding codes are 0 and their table rows are 0). Vectors are stored in
// blocks of kCodeBlock = 32. In a block, component m takes 16 bytes at
// [m * 16, m * 16 + 16): byte j holds the code of vector j in its low four
// bits and that of vector j + 16 in its high four bits. The table holds 16
// one-byte entries per component, component m's at [m * 16, m * 16 + 16).
// So one 16-byte load of codes and one of the table give a byte shuffle
// the entries of 16 vectors for one component, and wider registers take
// consecutive components.
//
// Sums. Entries are added exactly over each run of kCodeSumRun components
// (at most 256 * 255, which fits 16 bits), and the runs' sums are added
// with saturation at 65535. A saturated sum is below the true one, which
// keeps a lower bound a lower bound. Every path computes these same
// integers, so every path keeps the same vectors.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmoradb {

constexpr std::size_t kCodeBlock = 32;
constexpr std::size_t kCodeComponentGroup = 4;
constexpr std::size_t kCodeSumRun = 256;
constexpr std::uint16_t kCodeSumMax = 65535;

// Components as stored: dim rounded up to kCodeComponentGroup.
constexpr std::size_t padded_code_components(std::size_t dim) {
  return (dim + kCodeComponentGroup - 1) / kCodeComponentGroup * kCodeComponentGroup;
}
// Bytes of one block of codes.
constexpr std::size_t code_block_bytes(std::size_t dim) { return padded_code_components(dim) * 16; }

// For each of `nblocks` consecutive blocks b (code_block_bytes(dim) each,
// from `codes`): bit j of masks[b] is set when vector j's sum over `table`
// (padded_code_components(dim) * 16 entries) is at most limits[b].
using CodeScanKernel = void (*)(const std::uint8_t* codes, std::size_t nblocks, std::size_t dim,
                                const std::uint8_t* table, const std::uint16_t* limits,
                                std::uint32_t* masks);

// The fine halves of the codes are stored in blocks laid out as above, in a
// buffer of their own: the 8-bit code of vector j of a block, component m,
// is its coarse half << 4 | its fine half.
//
// The fine sum of vector `vector` (0 .. kCodeBlock - 1) of a block, given
// that block of each buffer: sum over components i < dim of
// table[i * 256 + (coarse_i << 4 | fine_i)], where coarse_i and fine_i are
// the vector's halves of component i in the two blocks. May stop once a
// partial sum exceeds `stop_above` and return that partial sum; otherwise
// returns the whole sum. Entries must be small enough that the sum cannot
// wrap.
using FineSumKernel = std::uint32_t (*)(const std::uint8_t* coarse_block, const std::uint8_t* fine_block,
                                        unsigned vector, const std::uint32_t* table, std::size_t dim,
                                        std::uint32_t stop_above);

// The same sum over a table of byte entries (padded_code_components(dim) *
// 256 of them, at m * 256 + code as the full scan's), exact (no
// saturation). Up to 3 bytes past the table's last entry may be read.
using FineSum8Kernel = std::uint32_t (*)(const std::uint8_t* coarse_block, const std::uint8_t* fine_block,
                                         unsigned vector, const std::uint8_t* table, std::size_t dim,
                                         std::uint32_t stop_above);
constexpr std::size_t kByteTablePadding = 4;

// The scan of whole 8-bit codes, for blocks where many vectors passed the
// coarse scan: for each x < count, block b = blocks[x] of both buffers,
// sums[x * 32 + j] is vector j's sum of table[m * 256 + code_m]
// (padded_code_components(dim) * 256 byte entries). Sums as the coarse
// scan's: exact over runs of kCodeSumRun components, saturating at 65535
// between runs.
using FullScanKernel = void (*)(const std::uint8_t* coarse, const std::uint8_t* fine, const std::uint32_t* blocks,
                                std::size_t count, std::size_t dim, const std::uint8_t* table, std::uint16_t* sums);
constexpr std::size_t kCodeBufferPadding = 64;

// The 8-bit codes of a row of finite floats: for component i, with its 257
// non-decreasing ends E at ends + i * 257, the coarse cell c is the number
// of E[16], E[32], .. E[240] at or below x, the fine cell f the number of
// E[16c + 1] .. E[16c + 15] at or below x, and the code 16c + f.
using EncodeKernel = void (*)(const float* row, const float* ends, std::size_t dim, std::uint8_t* codes);

struct CodeScanPath {
  const char* name;  // "scalar", "avx2", "avx512", "avx512vbmi"
  CodeScanKernel scan;
  FineSumKernel fine_sum;
  FineSum8Kernel fine_sum8;
  FullScanKernel full_scan;
  // The coarse survivors in a block from which its full scan costs less
  // than their fine sums (above kCodeBlock: never, the path's full scan
  // being no faster than the reference).
  std::size_t full_scan_from;
  EncodeKernel encode;
};

// The portable reference; always available.
const CodeScanPath& scalar_code_scan();
// Every path this CPU can run, scalar first.
std::size_t available_code_scans(const CodeScanPath** out, std::size_t capacity);
// The fastest path this CPU can run, chosen once.
const CodeScanPath& best_code_scan();

}  // namespace velmoradb
