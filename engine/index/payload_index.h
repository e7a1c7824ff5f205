// PayloadIndex: inverted indexes of payload values, so that a filter becomes
// a bitmap over the slots of a VectorIndex without reading the payloads.
//
// For every field path that reaches through nested objects (each part
// non-empty and free of '.', so a filter can name it; at most
// Filter::kMaxPathParts parts) the index keeps the slots where the path has
// a value, and, for each scalar at the path or directly inside a list there,
// the slots holding it: null, false, true; numbers in a map sorted by exact
// value (1 and 1.0 are one key; a range is a walk of the map); strings of up
// to kMaxIndexedStringBytes bytes in a map sorted by bytes. Longer strings
// are not copied: only the slots holding one are kept per path, and a
// predicate that could match one (equality with a longer operand, a range
// over strings) reads the payloads of those slots through the caller's
// lookup. Nothing else ever reads a payload: evaluate() costs the postings
// it touches plus one pass over slot_count / 64 words per filter node.
//
// Slots follow the VectorIndex the payloads belong to: an insert adds the
// next slot; a remove takes the removed slot out and then moves the last
// slot into it:
//   index.remove(slot, payload_of_slot);
//   if (slot != last) index.move(last, slot, payload_of_last);
// Every call must pass the payload that the slot was added with (the index
// does not keep payloads; a different one leaves stale postings). A call
// that breaks the slot rules (add to a slot that holds a payload; remove or
// move from one that holds none) is refused with a CollectionError and
// changes nothing.
//
// Memory, as memory_bytes() counts it: 1 bit per slot for the set of slots
// present; per field path, the set of slots having it (1 bit per slot once
// more than 1 in 16 slots of a 65,536-slot range have it, else 2 to 4 bytes
// per slot having it); per distinct value, a map node with its posting set,
// about 140 bytes plus a string's bytes beyond 15, and its postings: 4 bytes
// per slot while at most 64 slots hold it, then 2 to 4 bytes (sorted lists
// grow by doubling) plus about 60 bytes per 65,536-slot range it occurs in,
// and 1 bit per slot of a range where more than 1 in 16 slots hold it. For
// 1,000,000 payloads of one field that comes to: empty payloads 0.13 bytes
// per record; 10 distinct strings 1.5; 50 strings 3.4; 1,000 integers 5.2;
// a short string unique to each record 140, a 40-byte one 180; strings longer
// than kMaxIndexedStringBytes 0.4.
//
// No locking of its own: evaluate() only reads (any number at once); add,
// remove and move change it. The owner serialises them, as for VectorIndex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/filter/filter.h"
#include "engine/index/payload.h"
#include "engine/support/result.h"
#include "engine/index/slot_bitmap.h"
#include "engine/index/slot_set.h"
#include "engine/support/text_hash.h"

namespace velmoradb {

class PayloadIndex {
 public:
  static constexpr std::size_t kMaxIndexedStringBytes = 128;
  // add() with a text remembers up to this many texts of up to this many
  // bytes; others are walked every time.
  static constexpr std::size_t kMaxRememberedTexts = 64;
  static constexpr std::size_t kMaxRememberedTextBytes = 256;

  // The payload held at a slot (nullptr reads as an empty payload). Called
  // only for slots holding a string longer than kMaxIndexedStringBytes, and
  // only by filters that could match one.
  using PayloadLookup = std::function<const Payload*(std::uint32_t slot)>;

  Status add(std::uint32_t slot, const Payload& payload);
  // add(slot, payload), given also the stored text `payload` was decoded
  // from. A load brings the same few texts over and over (a category, a
  // source, a language): for a text added lately the slot goes straight
  // into the posting sets found for it then, without a walk of the payload.
  Status add(std::uint32_t slot, const Payload& payload, std::string_view text);
  Status remove(std::uint32_t slot, const Payload& payload);
  // `from` holds `payload` and `to` nothing; afterwards the other way round.
  Status move(std::uint32_t from, std::uint32_t to, const Payload& payload);
  void clear();

  // How many slots hold a payload (an empty one included).
  std::size_t size() const { return present_.size(); }
  bool holds(std::uint32_t slot) const { return present_.contains(slot); }

  // The slots below slot_count whose payload the filter matches: bit s set
  // exactly when filter.matches(payload of s).
  SlotBitmap evaluate(const Filter& filter, std::size_t slot_count,
                      const PayloadLookup& payload_of) const;

  std::size_t memory_bytes() const;

 private:
  struct Field {
    SlotSet exists;
    SlotSet nulls;
    SlotSet falses;
    SlotSet trues;
    std::map<Number, SlotSet> numbers;
    std::map<std::string, SlotSet, std::less<>> strings;
    SlotSet long_strings;  // slots holding a string too long for `strings`
  };
  enum class Change : std::uint8_t { Add, Remove, Move };
  struct Update {
    Change change;
    std::uint32_t slot;
    std::uint32_t to;  // Move only
    // Add only: where the sets the slot enters are listed, when not null.
    std::vector<SlotSet*>* entered = nullptr;
    void apply(SlotSet& set) const;
  };
  // The texts of recent adds, each with the posting sets its payload
  // entered. The sets stay where they are until one leaves its map, which
  // only a remove or a move can cause (an add leaves no set empty): both
  // forget every text.
  // The sets belong to the index they were found in: a copy of the index
  // starts with none remembered.
  struct RememberedTexts {
    std::unordered_map<std::string, std::vector<SlotSet*>, TextHash, std::equal_to<>> sets;
    RememberedTexts() = default;
    RememberedTexts(const RememberedTexts&) {}
    RememberedTexts& operator=(const RememberedTexts&) {
      sets.clear();
      return *this;
    }
    RememberedTexts(RememberedTexts&&) = default;
    RememberedTexts& operator=(RememberedTexts&&) = default;
  };

  void update_payload(const Payload& payload, const Update& update);
  void update_value(const std::string& path, const JsonValue& value, std::size_t parts,
                    const Update& update);
  static void update_scalar(Field& field, const JsonValue& value, const Update& update);

  SlotBitmap evaluate_node(const FilterNode& node, std::size_t slot_count,
                           const PayloadLookup& payload_of) const;
  SlotBitmap evaluate_leaf(const FilterNode& leaf, std::size_t slot_count,
                           const PayloadLookup& payload_of) const;

  std::unordered_map<std::string, Field> fields_;  // by dotted path
  SlotSet present_;
  RememberedTexts remembered_;
};

}  // namespace velmoradb
