// Filter::compile: a parsed JSON filter checked and turned into the tree of
// filter.h. Every error names the fault and where it is, the place written
// as a user would index the filter (where['a']['$or'][1]), in valid UTF-8
// whatever the keys hold, so the text can become an exception message.
#include <algorithm>
#include <cmath>
#include <string_view>

#include "engine/filter/filter.h"
#include "engine/support/utf8.h"

namespace velmoradb {
namespace {

using Kind = FilterNode::Kind;

// Longest key quoted in an error text, in bytes, before it is cut with "...".
constexpr std::size_t kQuotedKeyBytes = 60;

// 'key' with quotes, backslashes, control bytes and ill-formed UTF-8
// escaped, cut after kQuotedKeyBytes bytes.
std::string quoted(std::string_view key) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "'";
  std::size_t i = 0;
  while (i < key.size() && i < kQuotedKeyBytes) {
    const auto c = static_cast<unsigned char>(key[i]);
    const std::size_t length = utf8_sequence_length(key, i);
    if (c == '\'' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (length == 0 || c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out.append(key.substr(i, length));
      i += length;
      continue;
    }
    ++i;
  }
  if (i < key.size()) out += "...";
  return out + "'";
}

std::string type_name(const JsonValue& value) {
  static constexpr const char* kNames[] = {"null",     "a boolean", "a number", "a number",
                                           "a number", "a string",  "a list",   "an object"};
  return kNames[value.v.index()];
}

VectorError fault(std::string what, const std::string& at) {
  return VectorError::collection(std::move(what) + " at " + at);
}

bool is_field_operator(std::string_view key) {
  static constexpr std::string_view kOperators[] = {"$eq", "$ne",  "$gt",     "$gte", "$lt",
                                                    "$lte", "$in", "$nin", "$exists", "$not"};
  return std::find(std::begin(kOperators), std::end(kOperators), key) != std::end(kOperators);
}

FilterNode negation(FilterNode positive) {
  FilterNode node;
  node.kind = Kind::Not;
  node.children.push_back(std::move(positive));
  return node;
}

FilterNode all_of(std::vector<FilterNode> nodes) {
  if (nodes.size() == 1) return std::move(nodes[0]);
  FilterNode node;
  node.kind = Kind::And;
  node.children = std::move(nodes);
  return node;
}

// A comparison operand: null, a boolean, a finite number or a string.
// `what` names the operator in the error ("$eq", "$in element 2").
Result<FilterScalar> operand_of(const JsonValue& value, const std::string& what,
                                const std::string& at) {
  if (const auto* d = std::get_if<double>(&value.v); d != nullptr && !std::isfinite(*d)) {
    return fault(what + " needs a finite number", at);
  }
  if (auto scalar = scalar_of(value)) return std::move(*scalar);
  return fault(what + " needs null, a boolean, a number or a string, not " + type_name(value), at);
}

class Compiler {
 public:
  Result<FilterNode> filter(const JsonValue& value, const std::string& at, int depth);

 private:
  Result<FilterNode> combinator(const std::string& op, const JsonValue& operand,
                                const std::string& at, int depth);
  Result<FilterNode> field(const std::string& name, const JsonValue& value,
                           const std::string& at, int depth);
  Result<FilterNode> operators(const FilterNode& leaf, const JsonObject& ops,
                               const std::string& at, int depth);
  Result<FilterNode> field_operator(const FilterNode& leaf, const std::string& op,
                                    const JsonValue& operand, const std::string& at, int depth);
};

Result<FilterNode> Compiler::filter(const JsonValue& value, const std::string& at, int depth) {
  if (depth > Filter::kMaxDepth) {
    return fault("filter nested deeper than " + std::to_string(Filter::kMaxDepth) + " levels", at);
  }
  const auto* object = std::get_if<JsonObject>(&value.v);
  if (object == nullptr) return fault("a filter must be an object, not " + type_name(value), at);
  if (object->empty()) return FilterNode{};
  std::vector<FilterNode> terms;
  for (const auto& [key, operand] : *object) {
    auto term = !key.empty() && key[0] == '$' ? combinator(key, operand, at, depth)
                                              : field(key, operand, at + "[" + quoted(key) + "]",
                                                      depth);
    if (!term) return std::move(term).error();
    terms.push_back(std::move(*term));
  }
  return all_of(std::move(terms));
}

Result<FilterNode> Compiler::combinator(const std::string& op, const JsonValue& operand,
                                        const std::string& at, int depth) {
  const std::string inner = at + "[" + quoted(op) + "]";
  if (op == "$not") {
    auto child = filter(operand, inner, depth + 1);
    if (!child) return std::move(child).error();
    return negation(std::move(*child));
  }
  if (op == "$and" || op == "$or") {
    const auto* list = std::get_if<JsonArray>(&operand.v);
    if (list == nullptr || list->empty()) {
      return fault(op + " needs a non-empty list of filters", inner);
    }
    FilterNode node;
    node.kind = op == "$and" ? Kind::And : Kind::Or;
    for (std::size_t i = 0; i < list->size(); ++i) {
      auto child = filter((*list)[i], inner + "[" + std::to_string(i) + "]", depth + 1);
      if (!child) return std::move(child).error();
      node.children.push_back(std::move(*child));
    }
    return node;
  }
  if (is_field_operator(op)) {
    return fault("operator " + quoted(op) + " applies to a field, as in {\"field\": {" +
                     op + ": ...}}", at);
  }
  return fault("unknown operator " + quoted(op), at);
}

Result<FilterNode> Compiler::field(const std::string& name, const JsonValue& value,
                                   const std::string& at, int depth) {
  FilterNode leaf;
  leaf.path = name;
  for (std::size_t start = 0;;) {
    const std::size_t dot = std::min(name.find('.', start), name.size());
    if (dot == start) return fault("empty part in a field name", at);
    if (leaf.parts.size() == Filter::kMaxPathParts) {
      return fault("field name of more than " + std::to_string(Filter::kMaxPathParts) + " parts",
                   at);
    }
    leaf.parts.push_back(name.substr(start, dot - start));
    if (dot == name.size()) break;
    start = dot + 1;
  }
  if (const auto* ops = std::get_if<JsonObject>(&value.v)) return operators(leaf, *ops, at, depth);
  if (std::holds_alternative<JsonArray>(value.v)) {
    return fault("a field's value must be null, a boolean, a number, a string or an object of "
                 "operators, not a list (use $in to match any of several values)", at);
  }
  auto operand = operand_of(value, "equality", at);
  if (!operand) return std::move(operand).error();
  leaf.kind = Kind::Eq;
  leaf.operands.push_back(std::move(*operand));
  return leaf;
}

Result<FilterNode> Compiler::operators(const FilterNode& leaf, const JsonObject& ops,
                                       const std::string& at, int depth) {
  if (ops.empty()) return fault("an empty object of operators", at);
  std::vector<FilterNode> terms;
  for (const auto& [op, operand] : ops) {
    auto term = field_operator(leaf, op, operand, at, depth);
    if (!term) return std::move(term).error();
    terms.push_back(std::move(*term));
  }
  return all_of(std::move(terms));
}

Result<FilterNode> Compiler::field_operator(const FilterNode& leaf, const std::string& op,
                                            const JsonValue& operand, const std::string& at,
                                            int depth) {
  FilterNode node = leaf;
  if (op == "$eq" || op == "$ne") {
    auto scalar = operand_of(operand, op, at);
    if (!scalar) return std::move(scalar).error();
    node.kind = Kind::Eq;
    node.operands.push_back(std::move(*scalar));
    return op == "$eq" ? node : negation(std::move(node));
  }
  if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") {
    auto scalar = operand_of(operand, op, at);
    if (!scalar) return std::move(scalar).error();
    if (type_rank(*scalar) != 2 && type_rank(*scalar) != 3) {
      return fault(op + " needs a number or a string, not " + type_name(operand), at);
    }
    node.kind = op == "$gt" ? Kind::Gt : op == "$gte" ? Kind::Gte : op == "$lt" ? Kind::Lt
                                                                                : Kind::Lte;
    node.operands.push_back(std::move(*scalar));
    return node;
  }
  if (op == "$in" || op == "$nin") {
    const auto* list = std::get_if<JsonArray>(&operand.v);
    if (list == nullptr) return fault(op + " needs a list, not " + type_name(operand), at);
    for (std::size_t i = 0; i < list->size(); ++i) {
      auto scalar = operand_of((*list)[i], op + " element " + std::to_string(i), at);
      if (!scalar) return std::move(scalar).error();
      node.operands.push_back(std::move(*scalar));
    }
    std::sort(node.operands.begin(), node.operands.end());
    node.operands.erase(std::unique(node.operands.begin(), node.operands.end()),
                        node.operands.end());
    node.kind = Kind::In;
    return op == "$in" ? node : negation(std::move(node));
  }
  if (op == "$exists") {
    const auto* wanted = std::get_if<bool>(&operand.v);
    if (wanted == nullptr) return fault("$exists needs true or false, not " + type_name(operand), at);
    node.kind = Kind::Exists;
    return *wanted ? node : negation(std::move(node));
  }
  if (op == "$not") {
    const std::string inner = at + "['$not']";
    if (depth + 1 > Filter::kMaxDepth) {
      return fault("filter nested deeper than " + std::to_string(Filter::kMaxDepth) + " levels",
                   inner);
    }
    const auto* ops = std::get_if<JsonObject>(&operand.v);
    if (ops == nullptr) return fault("$not needs an object of operators, not " + type_name(operand), at);
    auto positive = operators(leaf, *ops, inner, depth + 1);
    if (!positive) return std::move(positive).error();
    return negation(std::move(*positive));
  }
  if (op == "$and" || op == "$or") {
    return fault("operator " + quoted(op) + " combines filters and cannot follow a field", at);
  }
  if (op.empty() || op[0] != '$') {
    return fault(quoted(op) + " is not an operator (a nested field is reached with a dotted "
                 "name, as in 'a.b')", at);
  }
  return fault("unknown operator " + quoted(op), at);
}

}  // namespace

Result<Filter> Filter::compile(const JsonValue& where) {
  auto root = Compiler().filter(where, "where", 0);
  if (!root) return std::move(root).error();
  return Filter(std::move(*root));
}

}  // namespace velmoradb
