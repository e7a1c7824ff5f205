// SlotBitmap: one bit per slot of an index, 0 .. size()-1: the records a
// filter selects, as the payload index hands them to a search. Bit s is bit
// s % 64 of word s / 64; bits at size() and beyond are always zero.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmoradb {

// The bits of slots [16 block, 16 block + 16) in a bitmap's words.
inline std::uint32_t block_bits(const std::vector<std::uint64_t>& words, std::size_t block) {
  return static_cast<std::uint32_t>(words[block / 4] >> (block % 4 * 16)) & 0xFFFFu;
}

// A search over codes stored in blocks reads a block on its own (where a
// filter leaves gaps) at about this many times the cost of a block read in
// a stream: a run of blocks where at least 1 / kDenseShare hold a selected
// slot is read whole.
constexpr std::size_t kDenseShare = 3;

class SlotBitmap {
 public:
  SlotBitmap() = default;
  // `size` bits, all clear.
  explicit SlotBitmap(std::size_t size) : size_(size), words_((size + 63) / 64, 0) {}

  std::size_t size() const { return size_; }
  bool test(std::size_t slot) const {
    return slot < size_ && (words_[slot / 64] >> (slot % 64) & 1) != 0;
  }
  // Slots at size() or beyond are ignored.
  void set(std::size_t slot) {
    if (slot < size_) words_[slot / 64] |= std::uint64_t{1} << (slot % 64);
  }
  // ORs `count` words into the words from `first_word` on, dropping what
  // falls at size() or beyond.
  void set_words(std::size_t first_word, const std::uint64_t* words, std::size_t count);

  std::size_t count() const;
  bool none() const;

  // In place, with another bitmap of the same size.
  void intersect(const SlotBitmap& other);  // this & other
  void unite(const SlotBitmap& other);      // this | other
  void subtract(const SlotBitmap& other);   // this & ~other

  const std::vector<std::uint64_t>& words() const { return words_; }

  // f(slot) for every set bit, ascending.
  template <typename F>
  void for_each(F f) const {
    for (std::size_t w = 0; w < words_.size(); ++w) {
      for (std::uint64_t bits = words_[w]; bits != 0; bits &= bits - 1) {
        f(w * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
      }
    }
  }

  // The 16 bits of slots [16 block, 16 block + 16) (the index's blocks;
  // they never straddle a word).
  std::uint32_t block_bits(std::size_t block) const { return velmoradb::block_bits(words_, block); }
  // The 32 bits of slots [32 block, 32 block + 32) (the cell codes' blocks).
  std::uint32_t block32_bits(std::size_t block) const {
    return static_cast<std::uint32_t>(words_[block / 2] >> (block % 2 * 32));
  }
  // The first block at or after `block` with a set bit, or the number of
  // blocks (size() / 16 rounded up) when there is none.
  std::size_t next_marked_block(std::size_t block) const;

  bool operator==(const SlotBitmap&) const = default;

 private:
  std::size_t size_ = 0;
  std::vector<std::uint64_t> words_;
};

}  // namespace velmoradb
