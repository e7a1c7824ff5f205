#include "engine/index/payload_index.h"

#include <string_view>

namespace velmoradb {
namespace {

using Kind = FilterNode::Kind;

// A key a filter path can name: not empty and without '.'.
bool nameable(const std::string& key) { return !key.empty() && key.find('.') == std::string::npos; }

bool is_long_string(const FilterScalar& operand) {
  const auto* text = std::get_if<std::string>(&operand.v);
  return text != nullptr && text->size() > PayloadIndex::kMaxIndexedStringBytes;
}

// Adds a map's postings from `first` to `last` to `out`.
template <typename Iterator>
void add_range(Iterator first, Iterator last, SlotBitmap& out) {
  for (; first != last; ++first) first->second.add_to(out);
}

// The postings of the map's keys that stand to `key` as the range leaf asks.
template <typename Map, typename Key>
void add_range_of(const Map& map, const Key& key, Kind kind, SlotBitmap& out) {
  switch (kind) {
    case Kind::Gt: add_range(map.upper_bound(key), map.end(), out); break;
    case Kind::Gte: add_range(map.lower_bound(key), map.end(), out); break;
    case Kind::Lt: add_range(map.begin(), map.lower_bound(key), out); break;
    case Kind::Lte: add_range(map.begin(), map.upper_bound(key), out); break;
    default: break;
  }
}

template <typename Map, typename Key>
void add_postings_of(const Map& map, const Key& key, SlotBitmap& out) {
  if (auto it = map.find(key); it != map.end()) it->second.add_to(out);
}

VectorError slot_fault(std::uint32_t slot, const char* what) {
  return VectorError::collection("payload index: slot " + std::to_string(slot) + " " + what);
}

}  // namespace

void PayloadIndex::Update::apply(SlotSet& set) const {
  switch (change) {
    case Change::Add:
      set.insert(slot);
      if (entered != nullptr) entered->push_back(&set);
      break;
    case Change::Remove: set.erase(slot); break;
    case Change::Move:
      set.erase(slot);
      set.insert(to);
      break;
  }
}

Status PayloadIndex::add(std::uint32_t slot, const Payload& payload) {
  if (present_.contains(slot)) return slot_fault(slot, "already holds a payload");
  present_.insert(slot);
  update_payload(payload, Update{Change::Add, slot, 0});
  return {};
}

Status PayloadIndex::add(std::uint32_t slot, const Payload& payload, std::string_view text) {
  if (present_.contains(slot)) return slot_fault(slot, "already holds a payload");
  if (auto known = remembered_.sets.find(text); known != remembered_.sets.end()) {
    present_.insert(slot);
    for (SlotSet* set : known->second) set->insert(slot);
    return {};
  }
  if (text.size() > kMaxRememberedTextBytes || remembered_.sets.size() >= kMaxRememberedTexts) {
    return add(slot, payload);
  }
  present_.insert(slot);
  std::vector<SlotSet*> entered;
  update_payload(payload, Update{Change::Add, slot, 0, &entered});
  remembered_.sets.emplace(text, std::move(entered));
  return {};
}

Status PayloadIndex::remove(std::uint32_t slot, const Payload& payload) {
  if (!present_.contains(slot)) return slot_fault(slot, "holds no payload to remove");
  remembered_.sets.clear();  // a set may leave its map
  present_.erase(slot);
  update_payload(payload, Update{Change::Remove, slot, 0});
  return {};
}

Status PayloadIndex::move(std::uint32_t from, std::uint32_t to, const Payload& payload) {
  if (!present_.contains(from)) return slot_fault(from, "holds no payload to move");
  if (present_.contains(to)) return slot_fault(to, "already holds a payload");
  remembered_.sets.clear();  // a set may leave its map
  present_.erase(from);
  present_.insert(to);
  update_payload(payload, Update{Change::Move, from, to});
  return {};
}

void PayloadIndex::clear() {
  remembered_.sets.clear();
  fields_.clear();
  present_ = SlotSet();
}

void PayloadIndex::update_payload(const Payload& payload, const Update& update) {
  for (const auto& [key, value] : payload.data) {
    if (nameable(key)) update_value(key, value, 1, update);
  }
}

// Every path of a payload names one place in it, so a slot enters a posting
// set at most once per place; a list holding a value twice enters twice, and
// the sets ignore the repeat (and its removal) by design.
void PayloadIndex::update_value(const std::string& path, const JsonValue& value,
                                std::size_t parts, const Update& update) {
  auto field = fields_.try_emplace(path).first;
  update.apply(field->second.exists);
  if (const auto* list = std::get_if<JsonArray>(&value.v)) {
    for (const JsonValue& element : *list) update_scalar(field->second, element, update);
  } else {
    update_scalar(field->second, value, update);
  }
  // A path no slot has holds nothing else either.
  if (field->second.exists.empty()) fields_.erase(field);

  const auto* object = std::get_if<JsonObject>(&value.v);
  if (object == nullptr || parts == Filter::kMaxPathParts) return;
  for (const auto& [key, child] : *object) {
    if (nameable(key)) update_value(path + "." + key, child, parts + 1, update);
  }
}

void PayloadIndex::update_scalar(Field& field, const JsonValue& value, const Update& update) {
  // A posting set that empties leaves its map, so churn does not pile up keys.
  const auto in_map = [&](auto& map, const auto& key) {
    auto it = map.try_emplace(key).first;
    update.apply(it->second);
    if (it->second.empty()) map.erase(it);
  };
  switch (type_rank(value)) {
    case 0: update.apply(field.nulls); break;
    case 1: update.apply(std::get<bool>(value.v) ? field.trues : field.falses); break;
    case 2: in_map(field.numbers, *Number::of(value)); break;
    case 3: {
      const auto& text = std::get<std::string>(value.v);
      if (text.size() > kMaxIndexedStringBytes) {
        update.apply(field.long_strings);
      } else {
        in_map(field.strings, text);
      }
      break;
    }
    default: break;  // a list or object inside a list, or NaN: equals no operand
  }
}

SlotBitmap PayloadIndex::evaluate(const Filter& filter, std::size_t slot_count,
                                  const PayloadLookup& payload_of) const {
  return evaluate_node(filter.root(), slot_count, payload_of);
}

SlotBitmap PayloadIndex::evaluate_node(const FilterNode& node, std::size_t slot_count,
                                       const PayloadLookup& payload_of) const {
  switch (node.kind) {
    case Kind::All: {
      SlotBitmap all(slot_count);
      present_.add_to(all);
      return all;
    }
    case Kind::And: {
      SlotBitmap result = evaluate_node(node.children[0], slot_count, payload_of);
      for (std::size_t i = 1; i < node.children.size() && !result.none(); ++i) {
        result.intersect(evaluate_node(node.children[i], slot_count, payload_of));
      }
      return result;
    }
    case Kind::Or: {
      SlotBitmap result = evaluate_node(node.children[0], slot_count, payload_of);
      for (std::size_t i = 1; i < node.children.size(); ++i) {
        result.unite(evaluate_node(node.children[i], slot_count, payload_of));
      }
      return result;
    }
    case Kind::Not: {
      SlotBitmap result(slot_count);
      present_.add_to(result);
      result.subtract(evaluate_node(node.children[0], slot_count, payload_of));
      return result;
    }
    default: return evaluate_leaf(node, slot_count, payload_of);
  }
}

SlotBitmap PayloadIndex::evaluate_leaf(const FilterNode& leaf, std::size_t slot_count,
                                       const PayloadLookup& payload_of) const {
  SlotBitmap result(slot_count);
  // A filter path has non-empty parts without '.', so it is the index's key.
  auto found = fields_.find(leaf.path);
  if (found == fields_.end()) return result;
  const Field& field = found->second;

  bool check_long_strings = false;
  const auto add_equal = [&](const FilterScalar& operand) {
    switch (type_rank(operand)) {
      case 0: field.nulls.add_to(result); break;
      case 1: (std::get<bool>(operand.v) ? field.trues : field.falses).add_to(result); break;
      case 2: add_postings_of(field.numbers, std::get<Number>(operand.v), result); break;
      default:
        if (is_long_string(operand)) {
          check_long_strings = true;
        } else {
          add_postings_of(field.strings, std::get<std::string>(operand.v), result);
        }
    }
  };
  switch (leaf.kind) {
    case Kind::Exists: field.exists.add_to(result); break;
    case Kind::Eq: add_equal(leaf.operands[0]); break;
    case Kind::In:
      for (const FilterScalar& operand : leaf.operands) add_equal(operand);
      break;
    default:  // a range over numbers or strings
      if (const auto* number = std::get_if<Number>(&leaf.operands[0].v)) {
        add_range_of(field.numbers, *number, leaf.kind, result);
      } else {
        add_range_of(field.strings, std::get<std::string>(leaf.operands[0].v), leaf.kind, result);
        check_long_strings = true;
      }
  }
  if (check_long_strings) {
    static const Payload kEmpty;
    field.long_strings.for_each([&](std::uint32_t slot) {
      if (slot >= slot_count || result.test(slot)) return;
      const Payload* payload = payload_of(slot);
      if (node_matches(leaf, payload != nullptr ? *payload : kEmpty)) result.set(slot);
    });
  }
  return result;
}

std::size_t PayloadIndex::memory_bytes() const {
  // A node of a hash or tree map: its links and allocation header, estimated.
  constexpr std::size_t kNodeOverhead = 48;
  std::size_t bytes = sizeof(*this) + present_.memory_bytes() +
                      fields_.bucket_count() * sizeof(void*);
  for (const auto& [path, field] : fields_) {
    bytes += kNodeOverhead + sizeof(path) + path.capacity() + sizeof(Field) +
             field.exists.memory_bytes() + field.nulls.memory_bytes() +
             field.falses.memory_bytes() + field.trues.memory_bytes() +
             field.long_strings.memory_bytes() - 5 * sizeof(SlotSet);
    for (const auto& [number, set] : field.numbers) {
      bytes += kNodeOverhead + sizeof(number) + set.memory_bytes();
    }
    for (const auto& [text, set] : field.strings) {
      bytes += kNodeOverhead + sizeof(text) + (text.capacity() > 15 ? text.capacity() : 0) +
               set.memory_bytes();
    }
  }
  for (const auto& [text, sets] : remembered_.sets) {
    bytes += kNodeOverhead + sizeof(text) + text.capacity() + sets.capacity() * sizeof(SlotSet*);
  }
  return bytes;
}

}  // namespace velmoradb
