#include "engine/index/id_map.h"

#include <cassert>
#include <random>

namespace velmoradb {

namespace {

std::uint64_t mix(std::uint64_t x) {  // splitmix64 finaliser
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

std::uint64_t random_seed() {
  static thread_local std::mt19937_64 gen{std::random_device{}()};
  return gen();
}

}  // namespace

IdSlotMap::IdSlotMap() : seed_(random_seed()) { rehash(16); }

std::uint64_t IdSlotMap::hash(std::uint64_t id) const { return mix(id ^ seed_); }

std::size_t IdSlotMap::position(std::uint64_t id) const {
  std::size_t p = home(id);
  while (table_[p] != kEmpty && ids_[table_[p]] != id) p = (p + 1) & mask_;
  return p;
}

std::uint32_t IdSlotMap::find(std::uint64_t id) const { return table_[position(id)]; }

std::uint32_t IdSlotMap::append(std::uint64_t id) {
  std::uint32_t slot = append_if_absent(id);
  assert(slot != kNone);  // the id was absent
  return slot;
}

std::uint32_t IdSlotMap::append_if_absent(std::uint64_t id) {
  Placed placed = find_or_append(id);
  return placed.appended ? placed.slot : kNone;
}

IdSlotMap::Placed IdSlotMap::find_or_append(std::uint64_t id) {
  // Keep the load at most 1/2 so probes stay short.
  if ((ids_.size() + 1) * 2 > table_.size()) rehash(table_.size() * 2);
  std::size_t p = position(id);
  if (table_[p] != kEmpty) return {table_[p], false};
  auto slot = static_cast<std::uint32_t>(ids_.size());
  ids_.push_back(id);
  table_[p] = slot;
  return {slot, true};
}

std::uint32_t IdSlotMap::remove_slot(std::uint32_t slot) {
  erase_at(position(ids_[slot]));
  auto last = static_cast<std::uint32_t>(ids_.size() - 1);
  if (slot == last) {
    ids_.pop_back();
    return kNone;
  }
  std::uint64_t moved = ids_[last];
  table_[position(moved)] = slot;
  ids_[slot] = moved;
  ids_.pop_back();
  return last;
}

void IdSlotMap::erase_at(std::size_t hole) {
  assert(table_[hole] != kEmpty);
  table_[hole] = kEmpty;
  // Backward shift: pull later members of the probe run into the hole when
  // their home lies at or before it, so lookups never stop early.
  for (std::size_t p = (hole + 1) & mask_; table_[p] != kEmpty; p = (p + 1) & mask_) {
    std::size_t h = home(ids_[table_[p]]);
    if (((p - h) & mask_) >= ((p - hole) & mask_)) {
      table_[hole] = table_[p];
      table_[p] = kEmpty;
      hole = p;
    }
  }
}

void IdSlotMap::reserve(std::size_t entries) {
  ids_.reserve(entries);
  std::size_t cap = table_.size();
  while (entries * 2 > cap) cap *= 2;
  if (cap != table_.size()) rehash(cap);
}

void IdSlotMap::rehash(std::size_t capacity) {
  table_.assign(capacity, kEmpty);
  mask_ = capacity - 1;
  for (std::uint32_t slot = 0; slot < ids_.size(); ++slot) {
    std::size_t p = home(ids_[slot]);
    while (table_[p] != kEmpty) p = (p + 1) & mask_;
    table_[p] = slot;
  }
}

}  // namespace velmoradb
