// The standard CRC-32 (ISO-HDLC / IEEE 802.3): reflected polynomial
// 0xEDB88320, initial register and final XOR 0xFFFFFFFF; "123456789" gives
// 0xCBF43926. Stateless and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmoradb {

// The checksum of n bytes.
std::uint32_t crc32(const std::uint8_t* data, std::size_t n);

// Continues a checksum: crc32_extend(crc32(a), b) == crc32(a followed by b).
std::uint32_t crc32_extend(std::uint32_t crc, const std::uint8_t* data, std::size_t n);

namespace crc32_detail {
// The portable path, sixteen bytes per step through sixteen tables. Exposed
// so the tests can hold the carry-less path against it.
std::uint32_t extend_table(std::uint32_t crc, const std::uint8_t* data, std::size_t n);
// Whether this CPU runs the carry-less multiplication path.
bool has_clmul();
}  // namespace crc32_detail

}  // namespace velmoradb
