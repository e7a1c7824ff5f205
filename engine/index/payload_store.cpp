#include "engine/index/payload_store.h"

#include <utility>

namespace velmoradb {

void ObjectPayloadStore::put(std::uint32_t slot, Payload payload) {
  payloads_.insert_or_assign(slot, std::move(payload));
}

bool ObjectPayloadStore::get(std::uint32_t slot, Payload& out) const {
  auto it = payloads_.find(slot);
  if (it == payloads_.end()) return false;
  out = it->second;
  return true;
}

bool ObjectPayloadStore::take(std::uint32_t slot, Payload* out) {
  auto it = payloads_.find(slot);
  if (it == payloads_.end()) return false;
  if (out != nullptr) *out = std::move(it->second);
  payloads_.erase(it);
  return true;
}

void ObjectPayloadStore::move(std::uint32_t from, std::uint32_t to) {
  auto node = payloads_.extract(from);
  if (node.empty()) return;
  node.key() = to;
  payloads_.insert(std::move(node));
}

}  // namespace velmoradb
