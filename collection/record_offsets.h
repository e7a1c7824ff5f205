// RecordOffsets: where in data.vdb the live record of each id begins.
//
// An IdSlotMap with one offset per slot, so an entry costs 16 to 24 bytes
// and no allocation of its own: a node-based map costs three times that and
// one allocation per id, which a load of a million records pays a million
// times over (and again when the collection is closed).
//
// Not thread-safe: the collection's offsets lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/support/huge_pages.h"
#include "engine/index/id_map.h"

namespace velmoradb {

class RecordOffsets {
 public:
  using OffsetArray = std::vector<std::uint64_t, HugePageAllocator<std::uint64_t>>;

  RecordOffsets() = default;
  // Takes over a map of ids to slots and the offset of each of its slots
  // (offsets.size() == slots.size()): a load that kept the offsets along
  // with the index's slots copies the index's map instead of looking every
  // id up a second time.
  RecordOffsets(IdSlotMap slots, OffsetArray offsets);

  bool empty() const { return offsets_.empty(); }
  std::size_t size() const { return offsets_.size(); }

  std::optional<std::uint64_t> find(std::uint64_t id) const;
  // Sets the offset of `id`; returns the offset it replaces, if any.
  std::optional<std::uint64_t> put(std::uint64_t id, std::uint64_t offset);
  // Forgets `id`; nothing when absent.
  void erase(std::uint64_t id);
  void reserve(std::size_t entries);
  // See IdSlotMap::prefetch.
  void prefetch(std::uint64_t id) const { slots_.prefetch(id); }
  // Moves every slot's record: offsets[i] becomes the offset of slot i
  // (offsets.size() == size()).
  void replace_offsets(OffsetArray offsets);
  // Slot i holds the id slot_map().id_at(i) at offsets()[i].
  const IdSlotMap& slot_map() const { return slots_; }
  const OffsetArray& offsets() const { return offsets_; }

 private:
  IdSlotMap slots_;
  OffsetArray offsets_;  // slot -> offset
};

}  // namespace velmoradb
