// PayloadTextStore: a collection's payloads kept as the compact JSON text of
// the data file and the log ({"data":{...}}), decoded when read.
//
// A decoded payload is a hash map of its own with a node per field: some
// 300 bytes for one short string field, allocated piece by piece, which a
// load of a million records pays a million times over in time (fresh heap
// memory is faulted in page by page) and keeps in memory. Here an entry
// costs its text plus a 12-byte reference into chunks of text, kept per
// slot of the index (a slot without a payload costs the 12 bytes too, once
// any slot holds one). Reading a payload decodes it, which only get(), a
// search's results, a remove (for the payload index) and a filter over
// strings longer than the payload index keeps do.
//
// Texts are appended to chunks of kChunkBytes (a longer text has a chunk of
// its own). A replaced or removed text leaves its bytes behind; once those
// outweigh the live texts (and a chunk), the live texts are copied into new
// chunks, so the store stays within twice its live bytes plus a chunk.
//
// Not thread-safe: const members only read (any number at once), and the
// owner serialises the others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/support/huge_pages.h"
#include "engine/index/payload_store.h"

namespace velmoradb {

class PayloadTextStore final : public PayloadStore {
 public:
  static constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

  std::size_t size() const override { return count_; }
  void put(std::uint32_t slot, Payload payload) override;
  void put_decoded(std::uint32_t slot, const Payload& payload, std::string_view text) override;
  bool get(std::uint32_t slot, Payload& out) const override;
  bool take(std::uint32_t slot, Payload* out) override;
  void move(std::uint32_t from, std::uint32_t to) override;
  void reserve(std::size_t slots) override { refs_.reserve(slots); }
  std::optional<std::size_t> text_bytes() const override { return live_bytes_; }

  // The stored text of the payload at `slot`; empty when it holds none.
  // Valid until the next change of the store.
  std::string_view text(std::uint32_t slot) const;
  // Bytes of text held, live and left behind by replaced or removed ones.
  std::size_t live_bytes() const { return live_bytes_; }
  std::size_t dead_bytes() const { return dead_bytes_; }

 private:
  struct Ref {
    std::uint32_t chunk;
    std::uint32_t offset;
    std::uint32_t length;
  };

  bool holds(std::uint32_t slot) const { return slot < refs_.size() && refs_[slot].length > 0; }
  std::string_view text_at(const Ref& ref) const { return {chunks_[ref.chunk].data() + ref.offset, ref.length}; }
  // The chunk that takes the next `length` bytes, opened when none has room.
  std::uint32_t chunk_for(std::size_t length);
  // Puts `length` bytes that `write` appends to a chunk at `slot`.
  template <typename Write>
  void put_text(std::uint32_t slot, std::size_t length, Write write);
  // Leaves `slot` empty, its bytes behind.
  void forget(std::uint32_t slot);
  // Drops the empty references at the end.
  void trim();
  void drop_dead_bytes();

  std::vector<Ref, HugePageAllocator<Ref>> refs_;  // slot -> its text; length 0: none
  std::vector<std::string> chunks_;
  std::size_t count_ = 0;  // slots holding a payload
  std::size_t live_bytes_ = 0;
  std::size_t dead_bytes_ = 0;
};

}  // namespace velmoradb
