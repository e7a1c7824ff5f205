#include "collection/payload_text_store.h"

#include <algorithm>
#include <cassert>
#include <utility>

#include "storage/json/json.h"

namespace velmoradb {

std::uint32_t PayloadTextStore::chunk_for(std::size_t length) {
  if (chunks_.empty() || chunks_.back().size() + length > chunks_.back().capacity()) {
    std::string chunk;
    chunk.reserve(std::max(kChunkBytes, length));
    chunks_.push_back(std::move(chunk));
  }
  return static_cast<std::uint32_t>(chunks_.size() - 1);
}

void PayloadTextStore::put(std::uint32_t slot, Payload payload) {
  put_text(slot, json::encoded_payload_length(payload), [&](std::string& out) { json::append_payload(out, payload); });
}

void PayloadTextStore::put_decoded(std::uint32_t slot, const Payload& payload, std::string_view text) {
  if (text.empty()) return put(slot, payload);
  put_text(slot, text.size(), [&](std::string& out) { out.append(text); });
}

template <typename Write>
void PayloadTextStore::put_text(std::uint32_t slot, std::size_t length, Write write) {
  const std::uint32_t chunk = chunk_for(length);
  std::string& bytes = chunks_[chunk];
  const Ref ref{chunk, static_cast<std::uint32_t>(bytes.size()), static_cast<std::uint32_t>(length)};
  write(bytes);
  assert(bytes.size() == ref.offset + length);
  if (holds(slot)) forget(slot);
  if (slot >= refs_.size()) refs_.resize(std::size_t{slot} + 1, Ref{0, 0, 0});
  refs_[slot] = ref;
  ++count_;
  live_bytes_ += length;
  drop_dead_bytes();
}

bool PayloadTextStore::get(std::uint32_t slot, Payload& out) const {
  if (!holds(slot)) return false;
  // The text is this store's own encoding, which always decodes.
  Result<Payload> decoded = json::parse_payload(text_at(refs_[slot]));
  if (!decoded.ok()) return false;  // never: the text is this store's own encoding
  out = std::move(*decoded);
  return true;
}

std::string_view PayloadTextStore::text(std::uint32_t slot) const {
  return holds(slot) ? text_at(refs_[slot]) : std::string_view();
}

bool PayloadTextStore::take(std::uint32_t slot, Payload* out) {
  if (!holds(slot)) return false;
  if (out != nullptr) get(slot, *out);
  forget(slot);
  drop_dead_bytes();
  return true;
}

void PayloadTextStore::move(std::uint32_t from, std::uint32_t to) {
  assert(!holds(to));
  if (!holds(from)) return;
  if (to >= refs_.size()) refs_.resize(std::size_t{to} + 1, Ref{0, 0, 0});
  refs_[to] = std::exchange(refs_[from], Ref{0, 0, 0});
  trim();
}

void PayloadTextStore::forget(std::uint32_t slot) {
  dead_bytes_ += refs_[slot].length;
  live_bytes_ -= refs_[slot].length;
  refs_[slot] = Ref{0, 0, 0};
  --count_;
  trim();
}

void PayloadTextStore::trim() {
  // Slots past the last payload cost nothing.
  while (!refs_.empty() && refs_.back().length == 0) refs_.pop_back();
}

void PayloadTextStore::drop_dead_bytes() {
  if (dead_bytes_ <= live_bytes_ || dead_bytes_ <= kChunkBytes) return;
  // The live texts, slot by slot, into new chunks; the old ones go at once.
  std::vector<std::string> old = std::exchange(chunks_, {});
  for (Ref& ref : refs_) {
    if (ref.length == 0) continue;
    const std::string_view text(old[ref.chunk].data() + ref.offset, ref.length);
    const std::uint32_t chunk = chunk_for(text.size());
    ref = Ref{chunk, static_cast<std::uint32_t>(chunks_[chunk].size()), ref.length};
    chunks_[chunk].append(text);
  }
  dead_bytes_ = 0;
}

}  // namespace velmoradb
