// SlotSet: a set of slots, compressed in the manner of roaring bitmaps; the
// posting list of one payload value in the payload index.
//
// A set of at most kSmallMax slots is one sorted list of 4-byte slots. A
// larger one is split by the upper 16 bits of the slot into chunks of 65,536
// slots; a chunk is a sorted list of 2-byte low halves while it holds at
// most kArrayMax slots, and a bitmap of 65,536 bits (8 KiB) above that. So a
// set costs at most 4 bytes per slot while small, then at most 2 bytes per
// slot, and at most 1 bit per slot of every chunk it fills densely; an
// insert or erase moves at most 8 KiB. Shrinking sets go back to the smaller
// forms at half the thresholds, so a slot going in and out at a boundary
// does not convert back and forth.
//
// No locking: const members only read.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/index/slot_bitmap.h"

namespace velmoradb {

class SlotSet {
 public:
  static constexpr std::size_t kSmallMax = 64;
  static constexpr std::size_t kArrayMax = 4096;

  // False when `slot` was already in the set.
  bool insert(std::uint32_t slot);
  // False when `slot` was not in the set.
  bool erase(std::uint32_t slot);
  bool contains(std::uint32_t slot) const;
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Sets the bit of every slot below out.size().
  void add_to(SlotBitmap& out) const;
  // Heap and inline bytes held.
  std::size_t memory_bytes() const;

  // f(slot) for every slot, ascending.
  template <typename F>
  void for_each(F f) const {
    for (std::uint32_t slot : small_) f(slot);
    for (const Chunk& chunk : chunks_) {
      const std::uint32_t base = chunk.key << 16;
      for (std::uint16_t low : chunk.low) f(base | low);
      for (std::size_t w = 0; w < chunk.bits.size(); ++w) {
        for (std::uint64_t bits = chunk.bits[w]; bits != 0; bits &= bits - 1) {
          f(base + static_cast<std::uint32_t>(w * 64 + std::countr_zero(bits)));
        }
      }
    }
  }

 private:
  static constexpr std::size_t kChunkWords = 65536 / 64;

  struct Chunk {
    std::uint32_t key = 0;             // slot >> 16
    std::uint32_t count = 0;
    std::vector<std::uint16_t> low;    // sorted low halves, while count <= kArrayMax
    std::vector<std::uint64_t> bits;   // kChunkWords words, once count > kArrayMax
  };

  std::vector<Chunk>::iterator find_chunk(std::uint32_t key);
  static bool chunk_insert(Chunk& chunk, std::uint16_t low);
  static void to_bits(Chunk& chunk);  // an array chunk past kArrayMax
  static bool chunk_erase(Chunk& chunk, std::uint16_t low);
  void to_chunks();
  void to_small();

  // Exactly one form is in use: small_ while chunks_ is empty.
  std::vector<std::uint32_t> small_;
  std::vector<Chunk> chunks_;  // ascending keys, none empty
  std::size_t size_ = 0;
};

}  // namespace velmoradb
