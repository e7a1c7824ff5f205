// Little-endian integers and floats in byte buffers, the byte order of every
// binary field of the stored files, whatever the host's order.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace velmoradb::le {

inline void store32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void store64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint32_t load32(const std::uint8_t* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
inline std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// n floats as their raw IEEE-754 bits, 4 bytes each.
inline void store_floats(std::uint8_t* p, const float* v, std::size_t n) {
  if constexpr (std::endian::native == std::endian::little) {
    if (n > 0) std::memcpy(p, v, n * 4);
  } else {
    for (std::size_t i = 0; i < n; ++i) store32(p + 4 * i, std::bit_cast<std::uint32_t>(v[i]));
  }
}
inline void load_floats(float* v, const std::uint8_t* p, std::size_t n) {
  if constexpr (std::endian::native == std::endian::little) {
    if (n > 0) std::memcpy(v, p, n * 4);
  } else {
    for (std::size_t i = 0; i < n; ++i) v[i] = std::bit_cast<float>(load32(p + 4 * i));
  }
}

}  // namespace velmoradb::le
