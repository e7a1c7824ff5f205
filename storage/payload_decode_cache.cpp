#include "storage/payload_decode_cache.h"

namespace velmoradb {

const PayloadDecodeCache::Entry* PayloadDecodeCache::find(std::string_view text) {
  if (!looking_ || text.size() > kMaxTextBytes) return nullptr;
  ++lookups_;
  const auto known = decoded_.find(text);
  if (known == decoded_.end()) {
    // The payloads kept so far stay: records not yet handed out may hold them.
    if (lookups_ >= kTrialLookups && hits_ * kMinHitShare < lookups_) looking_ = false;
    return nullptr;
  }
  ++hits_;
  return &*known;
}

const PayloadDecodeCache::Entry* PayloadDecodeCache::keep(std::string_view text, const Payload& payload) {
  if (!looking_ || text.size() > kMaxTextBytes || decoded_.size() >= kMaxTexts) return nullptr;
  return &*decoded_.emplace(text, payload).first;
}

}  // namespace velmoradb
