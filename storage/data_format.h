// data.vdb: a plain sequence of records from offset 0, nothing between them.
// Record: deleted marker (1), id (8, LE), dim (4, LE), vector (4 x dim raw
// LE floats), payload_len (4, LE), payload (compact JSON of the Payload).
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmoradb::data_format {

inline constexpr std::size_t kMarkerSize = 1;
inline constexpr std::size_t kIdSize = 8;
inline constexpr std::size_t kDimSize = 4;
inline constexpr std::size_t kElementSize = 4;
inline constexpr std::size_t kPayloadLenSize = 4;

inline constexpr std::size_t kIdOffset = kMarkerSize;
inline constexpr std::size_t kDimOffset = kIdOffset + kIdSize;
inline constexpr std::size_t kVectorOffset = kDimOffset + kDimSize;
// Marker, id, dim and payload_len: a record is this plus 4 x dim plus payload_len.
inline constexpr std::size_t kFixedSize = kVectorOffset + kPayloadLenSize;
static_assert(kFixedSize == 17);

// A record is deleted only when its marker is exactly kDeleted.
inline constexpr std::uint8_t kLive = 0;
inline constexpr std::uint8_t kDeleted = 1;

}  // namespace velmoradb::data_format
