// PayloadStore: where a VectorIndex keeps the payloads that are not empty,
// by slot. The index decides what goes in, comes out and moves (and keeps
// the payload index of their values in step); a store only keeps them, in
// any form it likes, and hands back an independent decoded copy.
//
// ObjectPayloadStore, the default, keeps the decoded objects: every payload
// is a hash map of its own, a few hundred bytes even for one short field. A
// store that keeps the encoded text and decodes what is read costs a
// fraction of that (the collection keeps its payloads so:
// collection/payload_text_store.h).
//
// No locking: const members only read, so any number may run at once; the
// owner serialises the others, as for VectorIndex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "engine/index/payload.h"

namespace velmoradb {

class PayloadStore {
 public:
  virtual ~PayloadStore() = default;

  // How many slots hold a payload.
  virtual std::size_t size() const = 0;
  bool empty() const { return size() == 0; }
  // Keeps `payload` (not empty) at `slot`, in place of what it held.
  virtual void put(std::uint32_t slot, Payload payload) = 0;
  // The same, given also the stored text `payload` was decoded from (as a
  // load reads it from a file): a store that keeps text keeps that rather
  // than encode the payload again.
  virtual void put_decoded(std::uint32_t slot, const Payload& payload, std::string_view text) {
    (void)text;
    put(slot, payload);
  }
  // The payload at `slot` into `out`; false, with `out` untouched, when the
  // slot holds none.
  virtual bool get(std::uint32_t slot, Payload& out) const = 0;
  // Drops the payload at `slot`, handing it to `out` when that is not null;
  // false when the slot holds none.
  virtual bool take(std::uint32_t slot, Payload* out) = 0;
  // `to` holds nothing: afterwards it holds what `from` held, and `from`
  // nothing.
  virtual void move(std::uint32_t from, std::uint32_t to) = 0;
  // Room for slots up to `slots`, so a load that knows roughly how many it
  // brings does not grow the store step by step.
  virtual void reserve(std::size_t slots) = 0;
  // The bytes of the payloads' stored text, all together, where the store
  // keeps that text; nothing where it does not.
  virtual std::optional<std::size_t> text_bytes() const { return std::nullopt; }
};

class ObjectPayloadStore final : public PayloadStore {
 public:
  std::size_t size() const override { return payloads_.size(); }
  void put(std::uint32_t slot, Payload payload) override;
  bool get(std::uint32_t slot, Payload& out) const override;
  bool take(std::uint32_t slot, Payload* out) override;
  void move(std::uint32_t from, std::uint32_t to) override;
  void reserve(std::size_t slots) override { payloads_.reserve(slots); }

 private:
  std::unordered_map<std::uint32_t, Payload> payloads_;
};

}  // namespace velmoradb
