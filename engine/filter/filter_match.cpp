// Filter::matches: the compiled tree walked over one payload. The payload
// index answers the same questions from its postings; the two agree record
// for record (tested on random payloads and filters).
#include <algorithm>

#include "engine/filter/filter.h"

namespace velmoradb {
namespace {

using Kind = FilterNode::Kind;

// A leaf against one scalar-or-not value (never a list: lists are opened
// one level by leaf_matches).
bool scalar_matches(const FilterNode& leaf, const JsonValue& value) {
  if (leaf.kind == Kind::In) {
    // Operands are sorted by the total order of compare().
    auto it = std::lower_bound(leaf.operands.begin(), leaf.operands.end(), value,
                               [](const FilterScalar& operand, const JsonValue& v) {
                                 auto order = compare(v, operand);
                                 return order && *order > 0;  // operand < v
                               });
    if (it == leaf.operands.end()) return false;
    const auto order = compare_same_type(value, *it);
    return order && *order == 0;
  }
  const auto order = compare_same_type(value, leaf.operands[0]);
  if (!order) return false;
  switch (leaf.kind) {
    case Kind::Eq: return *order == 0;
    case Kind::Gt: return *order > 0;
    case Kind::Gte: return *order >= 0;
    case Kind::Lt: return *order < 0;
    case Kind::Lte: return *order <= 0;
    default: return false;
  }
}

bool leaf_matches(const FilterNode& leaf, const JsonValue* value) {
  if (value == nullptr) return false;
  if (leaf.kind == Kind::Exists) return true;
  if (const auto* list = std::get_if<JsonArray>(&value->v)) {
    return std::any_of(list->begin(), list->end(),
                       [&](const JsonValue& element) { return scalar_matches(leaf, element); });
  }
  return scalar_matches(leaf, *value);
}

}  // namespace

const JsonValue* find_path(const Payload& payload, const std::vector<std::string>& parts) {
  if (parts.empty()) return nullptr;
  auto top = payload.data.find(parts[0]);
  if (top == payload.data.end()) return nullptr;
  const JsonValue* value = &top->second;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const auto* object = std::get_if<JsonObject>(&value->v);
    if (object == nullptr) return nullptr;
    auto it = object->find(parts[i]);
    if (it == object->end()) return nullptr;
    value = &it->second;
  }
  return value;
}

bool node_matches(const FilterNode& node, const Payload& payload) {
  switch (node.kind) {
    case Kind::All: return true;
    case Kind::And:
      return std::all_of(node.children.begin(), node.children.end(),
                         [&](const FilterNode& c) { return node_matches(c, payload); });
    case Kind::Or:
      return std::any_of(node.children.begin(), node.children.end(),
                         [&](const FilterNode& c) { return node_matches(c, payload); });
    case Kind::Not: return !node_matches(node.children[0], payload);
    default: return leaf_matches(node, find_path(payload, node.parts));
  }
}

bool Filter::matches(const Payload& payload) const { return node_matches(root_, payload); }

}  // namespace velmoradb
