#include "engine/index/slot_bitmap.h"

#include <algorithm>
#include <cassert>

namespace velmoradb {

void SlotBitmap::set_words(std::size_t first_word, const std::uint64_t* words,
                           std::size_t count) {
  if (first_word >= words_.size()) return;
  count = std::min(count, words_.size() - first_word);
  for (std::size_t i = 0; i < count; ++i) words_[first_word + i] |= words[i];
  if (first_word + count == words_.size() && size_ % 64 != 0) {
    words_.back() &= (std::uint64_t{1} << (size_ % 64)) - 1;  // keep the tail clear
  }
}

std::size_t SlotBitmap::count() const {
  std::size_t n = 0;
  for (std::uint64_t w : words_) n += static_cast<std::size_t>(std::popcount(w));
  return n;
}

std::size_t SlotBitmap::next_marked_block(std::size_t block) const {
  const std::size_t blocks = (size_ + 15) / 16;
  std::size_t w = block / 4;
  if (w >= words_.size()) return blocks;
  // The blocks before `block` in its word are shifted out.
  std::uint64_t bits = words_[w] >> (block % 4 * 16);
  if (bits != 0) return block + static_cast<std::size_t>(std::countr_zero(bits)) / 16;
  while (++w < words_.size()) {
    if (words_[w] != 0) return w * 4 + static_cast<std::size_t>(std::countr_zero(words_[w])) / 16;
  }
  return blocks;
}

bool SlotBitmap::none() const {
  return std::all_of(words_.begin(), words_.end(), [](std::uint64_t w) { return w == 0; });
}

void SlotBitmap::intersect(const SlotBitmap& other) {
  assert(other.size_ == size_);
  for (std::size_t i = 0; i < words_.size(); ++i) words_[i] &= other.words_[i];
}

void SlotBitmap::unite(const SlotBitmap& other) {
  assert(other.size_ == size_);
  for (std::size_t i = 0; i < words_.size(); ++i) words_[i] |= other.words_[i];
}

void SlotBitmap::subtract(const SlotBitmap& other) {
  assert(other.size_ == size_);
  for (std::size_t i = 0; i < words_.size(); ++i) words_[i] &= ~other.words_[i];
}

}  // namespace velmoradb
