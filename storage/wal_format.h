// wal.log: a plain sequence of frames from offset 0, nothing between them.
// Frame: checksum (4, LE: CRC-32 of the data field), length (4, LE: bytes
// of data), data (the entry's compact JSON text).
#pragma once

#include <cstddef>

namespace velmoradb::wal_format {

inline constexpr std::size_t kChecksumSize = 4;
inline constexpr std::size_t kLengthSize = 4;
inline constexpr std::size_t kHeaderSize = kChecksumSize + kLengthSize;

}  // namespace velmoradb::wal_format
