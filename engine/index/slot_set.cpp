#include "engine/index/slot_set.h"

#include <algorithm>

namespace velmoradb {
namespace {

bool test_bit(const std::vector<std::uint64_t>& bits, std::uint16_t low) {
  return (bits[low / 64] >> (low % 64) & 1) != 0;
}

}  // namespace

std::vector<SlotSet::Chunk>::iterator SlotSet::find_chunk(std::uint32_t key) {
  // An insert of the next slot, the common case, lands in the last chunk.
  if (!chunks_.empty() && chunks_.back().key <= key) {
    return chunks_.back().key == key ? chunks_.end() - 1 : chunks_.end();
  }
  return std::lower_bound(chunks_.begin(), chunks_.end(), key,
                          [](const Chunk& c, std::uint32_t k) { return c.key < k; });
}

bool SlotSet::chunk_insert(Chunk& chunk, std::uint16_t low) {
  if (!chunk.bits.empty()) {
    if (test_bit(chunk.bits, low)) return false;
    chunk.bits[low / 64] |= std::uint64_t{1} << (low % 64);
  } else if (chunk.low.empty() || low > chunk.low.back()) {
    chunk.low.push_back(low);  // slots mostly arrive in ascending order
    if (chunk.low.size() > kArrayMax) to_bits(chunk);
  } else {
    auto it = std::lower_bound(chunk.low.begin(), chunk.low.end(), low);
    if (it != chunk.low.end() && *it == low) return false;
    chunk.low.insert(it, low);
    if (chunk.low.size() > kArrayMax) to_bits(chunk);
  }
  ++chunk.count;
  return true;
}

void SlotSet::to_bits(Chunk& chunk) {
  chunk.bits.assign(kChunkWords, 0);
  for (std::uint16_t v : chunk.low) chunk.bits[v / 64] |= std::uint64_t{1} << (v % 64);
  std::vector<std::uint16_t>().swap(chunk.low);
}

bool SlotSet::chunk_erase(Chunk& chunk, std::uint16_t low) {
  if (!chunk.bits.empty()) {
    if (!test_bit(chunk.bits, low)) return false;
    chunk.bits[low / 64] &= ~(std::uint64_t{1} << (low % 64));
    if (--chunk.count <= kArrayMax / 2) {
      chunk.low.reserve(chunk.count);
      for (std::size_t w = 0; w < kChunkWords; ++w) {
        for (std::uint64_t bits = chunk.bits[w]; bits != 0; bits &= bits - 1) {
          chunk.low.push_back(static_cast<std::uint16_t>(w * 64 + std::countr_zero(bits)));
        }
      }
      std::vector<std::uint64_t>().swap(chunk.bits);
    }
    return true;
  }
  auto it = std::lower_bound(chunk.low.begin(), chunk.low.end(), low);
  if (it == chunk.low.end() || *it != low) return false;
  chunk.low.erase(it);
  --chunk.count;
  return true;
}

bool SlotSet::insert(std::uint32_t slot) {
  if (chunks_.empty()) {
    auto it = std::lower_bound(small_.begin(), small_.end(), slot);
    if (it != small_.end() && *it == slot) return false;
    small_.insert(it, slot);
    if (++size_ > kSmallMax) to_chunks();
    return true;
  }
  const std::uint32_t key = slot >> 16;
  auto it = find_chunk(key);
  if (it == chunks_.end() || it->key != key) {
    it = chunks_.insert(it, Chunk{});
    it->key = key;
  }
  if (!chunk_insert(*it, static_cast<std::uint16_t>(slot))) return false;
  ++size_;
  return true;
}

bool SlotSet::erase(std::uint32_t slot) {
  if (chunks_.empty()) {
    auto it = std::lower_bound(small_.begin(), small_.end(), slot);
    if (it == small_.end() || *it != slot) return false;
    small_.erase(it);
    if (--size_ == 0) std::vector<std::uint32_t>().swap(small_);  // a reused set starts small
    return true;
  }
  const std::uint32_t key = slot >> 16;
  auto it = find_chunk(key);
  if (it == chunks_.end() || it->key != key) return false;
  if (!chunk_erase(*it, static_cast<std::uint16_t>(slot))) return false;
  if (it->count == 0) chunks_.erase(it);
  if (--size_ <= kSmallMax / 2) to_small();
  return true;
}

bool SlotSet::contains(std::uint32_t slot) const {
  if (chunks_.empty()) return std::binary_search(small_.begin(), small_.end(), slot);
  const std::uint32_t key = slot >> 16;
  auto it = chunks_.back().key <= key
                ? chunks_.end() - (chunks_.back().key == key ? 1 : 0)
                : std::lower_bound(chunks_.begin(), chunks_.end(), key,
                                   [](const Chunk& c, std::uint32_t k) { return c.key < k; });
  if (it == chunks_.end() || it->key != key) return false;
  const auto low = static_cast<std::uint16_t>(slot);
  if (!it->bits.empty()) return test_bit(it->bits, low);
  return std::binary_search(it->low.begin(), it->low.end(), low);
}

void SlotSet::to_chunks() {
  std::vector<std::uint32_t> slots;
  slots.swap(small_);
  for (std::uint32_t slot : slots) {
    if (chunks_.empty() || chunks_.back().key != slot >> 16) {
      chunks_.emplace_back();
      chunks_.back().key = slot >> 16;
    }
    chunks_.back().low.push_back(static_cast<std::uint16_t>(slot));
    ++chunks_.back().count;
  }
}

void SlotSet::to_small() {
  std::vector<std::uint32_t> slots;
  slots.reserve(size_);
  for_each([&](std::uint32_t slot) { slots.push_back(slot); });
  std::vector<Chunk>().swap(chunks_);
  small_.swap(slots);
}

void SlotSet::add_to(SlotBitmap& out) const {
  for (std::uint32_t slot : small_) out.set(slot);
  for (const Chunk& chunk : chunks_) {
    const std::size_t base = std::size_t{chunk.key} << 16;
    if (!chunk.bits.empty()) {
      out.set_words(base / 64, chunk.bits.data(), kChunkWords);
    } else {
      for (std::uint16_t low : chunk.low) out.set(base | low);
    }
  }
}

std::size_t SlotSet::memory_bytes() const {
  std::size_t bytes = sizeof(*this) + small_.capacity() * sizeof(std::uint32_t) +
                      chunks_.capacity() * sizeof(Chunk);
  for (const Chunk& chunk : chunks_) {
    bytes += chunk.low.capacity() * sizeof(std::uint16_t) +
             chunk.bits.capacity() * sizeof(std::uint64_t);
  }
  return bytes;
}

}  // namespace velmoradb
