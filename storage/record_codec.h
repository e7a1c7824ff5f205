// data.vdb's record, the one place that knows its layout: every reader and
// writer of the file decodes and sizes records here.
//
// The file is a plain sequence of records from offset 0, nothing between
// them. Record: deleted marker (1), id (8, LE), dim (4, LE), vector (4 x dim
// raw LE floats), payload_len (4, LE), payload (compact JSON of the Payload).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "storage/endian.h"

namespace velmoradb::record_codec {

inline constexpr std::size_t kMarkerSize = 1;
inline constexpr std::size_t kIdSize = 8;
inline constexpr std::size_t kDimSize = 4;
inline constexpr std::size_t kElementSize = 4;
inline constexpr std::size_t kPayloadLenSize = 4;

inline constexpr std::size_t kIdOffset = kMarkerSize;
inline constexpr std::size_t kDimOffset = kIdOffset + kIdSize;
inline constexpr std::size_t kVectorOffset = kDimOffset + kDimSize;
// The header: marker, id and dim, what precedes the vector.
inline constexpr std::size_t kHeaderSize = kVectorOffset;
// Marker, id, dim and payload_len: a record is this plus 4 x dim plus payload_len.
inline constexpr std::size_t kFixedSize = kVectorOffset + kPayloadLenSize;
static_assert(kFixedSize == 17);

// A record is deleted only when its marker is exactly kDeleted.
inline constexpr std::uint8_t kLive = 0;
inline constexpr std::uint8_t kDeleted = 1;

// The stored text of an empty payload, what every insert without one
// writes: readers recognise it without decoding.
inline constexpr std::string_view kEmptyPayload = R"({"data":{}})";

// Bytes of a record of `dim` components whose payload text is
// `payload_len` bytes long.
constexpr std::uint64_t record_size(std::uint64_t dim, std::uint64_t payload_len) {
  return kFixedSize + kElementSize * dim + payload_len;
}
// The smallest record of `dim` components (an empty payload text), and one
// with the payload every insert without one writes.
constexpr std::uint64_t min_record_size(std::uint64_t dim) { return record_size(dim, 0); }
constexpr std::uint64_t empty_record_size(std::uint64_t dim) { return record_size(dim, kEmptyPayload.size()); }

struct Header {
  bool deleted = false;
  std::uint64_t id = 0;
  std::uint32_t dim = 0;
};

// The header at `p` (kHeaderSize bytes).
inline Header decode_header(const std::uint8_t* p) {
  return {p[0] == kDeleted, le::load64(p + kIdOffset), le::load32(p + kDimOffset)};
}
// The payload_len of a record whose first kFixedSize + 4 x dim bytes are at `p`.
inline std::uint32_t decode_payload_len(const std::uint8_t* p, std::uint32_t dim) {
  return le::load32(p + kVectorOffset + std::size_t{kElementSize} * dim);
}

// Where the record's sizes put its end against the `remaining` bytes of the
// file from its start: a size that runs past them means the record is cut
// short by the end of the file (or a size field is damaged).
inline bool vector_fits(std::uint32_t dim, std::uint64_t remaining) {
  return remaining >= kFixedSize && std::uint64_t{kElementSize} * dim <= remaining - kFixedSize;
}
inline bool payload_fits(std::uint32_t dim, std::uint32_t payload_len, std::uint64_t remaining) {
  return vector_fits(dim, remaining) && payload_len <= remaining - min_record_size(dim);
}

}  // namespace velmoradb::record_codec
