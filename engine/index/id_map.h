// IdSlotMap: which id each slot of the index holds, and the slot of each id.
//
// Slots are dense: 0 .. size()-1. The map keeps the slot-to-id array and an
// open-addressing table of 4-byte slot numbers. A table entry holds nothing
// but the slot: a probe reads the id of every entry it passes from the
// array. So the map costs 8 bytes per slot plus 8 to 16 bytes of table
// instead of the 40 or more of a node-based map, and an index stays within
// its raw vector bytes plus 32 per vector. Linear probing with backward-shift
// deletion (no tombstones), hashed with a per-map random seed. At most
// 2^32 - 1 entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/support/huge_pages.h"

namespace velmoradb {

// Slot -> id. Large ones are on huge pages like the table: a load of a
// million ids fills 8 MiB of it, and faulting that in 4 KiB at a time costs
// more than the probes.
using IdArray = std::vector<std::uint64_t, HugePageAllocator<std::uint64_t>>;

class IdSlotMap {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  IdSlotMap();

  std::size_t size() const { return ids_.size(); }
  std::uint64_t id_at(std::uint32_t slot) const { return ids_[slot]; }
  const IdArray& ids() const { return ids_; }

  // The slot of `id`, or kNone.
  std::uint32_t find(std::uint64_t id) const;
  // Gives the absent `id` the next slot, size() before the call, and returns it.
  std::uint32_t append(std::uint64_t id);
  // As append when `id` is absent; kNone, changing nothing, when present.
  // One probe instead of find's and append's two.
  std::uint32_t append_if_absent(std::uint64_t id);
  // The slot of `id`, appending it first when absent; `appended` tells
  // which. One probe, for maps whose callers replace what an id holds.
  struct Placed {
    std::uint32_t slot;
    bool appended;
  };
  Placed find_or_append(std::uint64_t id);
  // Asks the CPU to fetch the table entry where `id` would be looked up: a
  // batch of inserts prefetches a few ids ahead, since at a million entries
  // every probe is a cache miss.
  void prefetch(std::uint64_t id) const { __builtin_prefetch(table_.data() + home(id)); }
  // Frees `slot`: the id of the last slot moves into it (unless it was the
  // last) and the last slot disappears. Returns the slot that moved, or kNone.
  std::uint32_t remove_slot(std::uint32_t slot);
  void reserve(std::size_t entries);

 private:
  static constexpr std::uint32_t kEmpty = kNone;  // a table entry holding no slot

  std::uint64_t hash(std::uint64_t id) const;
  std::size_t home(std::uint64_t id) const { return hash(id) & mask_; }
  std::size_t position(std::uint64_t id) const;  // where id sits, or where it would go
  void erase_at(std::size_t pos);
  void rehash(std::size_t capacity);

  IdArray ids_;  // slot -> id
  // Slot numbers; read at random, so on huge pages.
  std::vector<std::uint32_t, HugePageAllocator<std::uint32_t>> table_;
  std::size_t mask_ = 0;
  std::uint64_t seed_;
};

}  // namespace velmoradb
