// PayloadDecodeCache: the payloads a load has decoded, by their stored
// text, so that a text met again is not decoded again.
//
// Payloads of a collection often repeat byte for byte: a category, a
// source, a language, a flag. Decoding one builds a hash map with a node
// per field, several allocations for a payload of one short field, and a
// load of a million records spent most of its payload time there. The
// cache keeps up to kMaxTexts texts of at most kMaxTextBytes, the first
// ones met, each with its payload decoded once. Where texts hardly repeat
// (an id or a passage per record), the cache stops looking after
// kTrialLookups lookups, so such a load pays for hashing its first few
// thousand texts and nothing after.
//
// The entries handed out (text and payload) stay where they are until the
// cache is gone.
// Not thread-safe.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "engine/index/payload.h"
#include "engine/support/text_hash.h"

namespace velmoradb {

class PayloadDecodeCache {
 public:
  static constexpr std::size_t kMaxTexts = 64;
  static constexpr std::size_t kMaxTextBytes = 256;
  // Lookups after which the cache stops looking when fewer than one in
  // kMinHitShare of them found a text.
  static constexpr std::size_t kTrialLookups = 4096;
  static constexpr std::size_t kMinHitShare = 8;

  // A text kept, and its payload decoded.
  using Entry = std::pair<const std::string, Payload>;

  // The entry of exactly `text`, or null.
  const Entry* find(std::string_view text);
  // Keeps a copy of `text` and of `payload`, decoded from it (and not
  // empty), while there is room; null when it does not.
  const Entry* keep(std::string_view text, const Payload& payload);

 private:
  std::unordered_map<std::string, Payload, TextHash, std::equal_to<>> decoded_;
  std::size_t lookups_ = 0;
  std::size_t hits_ = 0;
  bool looking_ = true;
};

}  // namespace velmoradb
