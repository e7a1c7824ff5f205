// The records stored as JSON text: log entries and the collection metadata.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/index/payload.h"

namespace velmoradb {

enum class WalEntryKind : std::uint8_t {
  Insert = 1,
  Update = 2,
  Delete = 3,
  Checkpoint = 4,
};

// Fields in declaration order: the order of the JSON members and of the
// positional array form.
struct WalEntry {
  WalEntryKind kind = WalEntryKind::Insert;
  std::uint64_t id = 0;
  std::vector<float> vector;
  Payload payload;

  bool operator==(const WalEntry&) const = default;
};

struct CollectionMeta {
  std::uint64_t dimension = 0;  // a size on this platform
  std::string metric;           // any text is accepted on reading
  std::uint64_t vector_count = 0;
  std::uint64_t next_id = 0;

  bool operator==(const CollectionMeta&) const = default;
};

}  // namespace velmoradb
