// CRC-32 by slicing: table k maps a byte to its contribution k bytes further
// on, so sixteen input bytes fold into the register with sixteen lookups.
// Where the CPU has carry-less multiplication (PCLMULQDQ with SSE4.1), long
// inputs fold 64 bytes per step instead (crc32_clmul.cpp).
#include "storage/crc32.h"

#include <array>
#include <cstring>

namespace velmoradb {

namespace {

using Tables = std::array<std::array<std::uint32_t, 256>, 16>;

constexpr Tables make_tables() {
  Tables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[0][i] = c;
  }
  for (std::size_t k = 1; k < 16; ++k) {
    for (std::size_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
  return t;
}

constexpr Tables kTables = make_tables();
static_assert(kTables[0][1] == 0x77073096u && kTables[0][2] == 0xEE0E612Cu &&
              kTables[0][3] == 0x990951BAu);

std::uint32_t load_le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

}  // namespace

namespace crc32_detail {

std::uint32_t extend_table(std::uint32_t crc, const std::uint8_t* data, std::size_t n) {
  std::uint32_t c = ~crc;
  const auto& t = kTables;
  while (n >= 16) {
    std::uint32_t w0 = load_le32(data) ^ c;
    std::uint32_t w1 = load_le32(data + 4);
    std::uint32_t w2 = load_le32(data + 8);
    std::uint32_t w3 = load_le32(data + 12);
    c = t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF] ^ t[13][(w0 >> 16) & 0xFF] ^ t[12][w0 >> 24] ^
        t[11][w1 & 0xFF] ^ t[10][(w1 >> 8) & 0xFF] ^ t[9][(w1 >> 16) & 0xFF] ^ t[8][w1 >> 24] ^
        t[7][w2 & 0xFF] ^ t[6][(w2 >> 8) & 0xFF] ^ t[5][(w2 >> 16) & 0xFF] ^ t[4][w2 >> 24] ^
        t[3][w3 & 0xFF] ^ t[2][(w3 >> 8) & 0xFF] ^ t[1][(w3 >> 16) & 0xFF] ^ t[0][w3 >> 24];
    data += 16;
    n -= 16;
  }
  while (n-- > 0) c = (c >> 8) ^ t[0][(c ^ *data++) & 0xFF];
  return ~c;
}

}  // namespace crc32_detail

std::uint32_t crc32(const std::uint8_t* data, std::size_t n) { return crc32_extend(0, data, n); }

}  // namespace velmoradb
