#include "collection/record_offsets.h"

#include <cassert>
#include <utility>

namespace velmoradb {

RecordOffsets::RecordOffsets(IdSlotMap slots, OffsetArray offsets)
    : slots_(std::move(slots)), offsets_(std::move(offsets)) {}

void RecordOffsets::replace_offsets(OffsetArray offsets) {
  assert(offsets.size() == offsets_.size());
  offsets_ = std::move(offsets);
}

std::optional<std::uint64_t> RecordOffsets::find(std::uint64_t id) const {
  std::uint32_t slot = slots_.find(id);
  if (slot == IdSlotMap::kNone) return std::nullopt;
  return offsets_[slot];
}

std::optional<std::uint64_t> RecordOffsets::put(std::uint64_t id, std::uint64_t offset) {
  IdSlotMap::Placed placed = slots_.find_or_append(id);
  if (placed.appended) {
    offsets_.push_back(offset);
    return std::nullopt;
  }
  return std::exchange(offsets_[placed.slot], offset);
}

void RecordOffsets::erase(std::uint64_t id) {
  std::uint32_t slot = slots_.find(id);
  if (slot == IdSlotMap::kNone) return;
  // The map moves the last slot's id into the freed slot; its offset follows.
  std::uint32_t moved = slots_.remove_slot(slot);
  if (moved != IdSlotMap::kNone) offsets_[slot] = offsets_[moved];
  offsets_.pop_back();
}

void RecordOffsets::reserve(std::size_t entries) {
  slots_.reserve(entries);
  offsets_.reserve(entries);
}

}  // namespace velmoradb
