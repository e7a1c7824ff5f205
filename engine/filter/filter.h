// Filter: a compiled `where` condition on payloads.
//
// The language is the dictionary form of document stores, read from a
// parsed JSON value (docs/filters.md has the full rules and examples):
//
//   {"genre": "jazz", "year": {"$gte": 1950, "$lt": 1970}}
//   {"$or": [{"author.name": "Ann"}, {"tags": {"$in": ["a", "b"]}}]}
//
// A key of the filter object is a field path (parts joined by '.', reaching
// into nested objects; several keys must all hold) or one of `$and`, `$or`,
// `$not`. A field's value is a scalar (equality) or an object of operators
// `$eq $ne $gt $gte $lt $lte $in $nin $exists $not`. Types follow
// filter_value.h. A missing field, or one of another type, matches no
// positive operator, so `$ne` and `$nin` (the negations of `$eq` and `$in`)
// match it. A list matches `$eq $in $gt $gte $lt $lte` when one of its
// elements does; so `$ne` on a list means "no element equals". Paths do not
// reach into lists.
//
// compile() checks everything before any record is read: an unknown
// operator, a malformed operand or nesting beyond kMaxDepth is an error
// naming it and where it is, e.g. "$in needs a list at where['tags']".
//
// A Filter is an immutable value: matches() may run on many threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/filter/filter_value.h"
#include "engine/index/payload.h"
#include "engine/support/result.h"

namespace velmoradb {

// One node of the compiled tree. `$ne`, `$nin`, `$exists: false` and `$not`
// compile to Not over the positive node, so these kinds are all there is.
struct FilterNode {
  enum class Kind : std::uint8_t {
    All,     // matches every record (the empty filter)
    And,     // every child; at least one child
    Or,      // some child; at least one child
    Not,     // not the one child
    Eq,      // the field, or an element of it, equals operands[0]
    In,      // ... equals one of operands (sorted, distinct; may be empty)
    Gt,      // ... is of operands[0]'s type (number or string) and greater
    Gte,
    Lt,
    Lte,
    Exists,  // the field has a value (null and lists included)
  };

  Kind kind = Kind::All;
  std::string path;                    // leaves: the field path as written
  std::vector<std::string> parts;      // leaves: path split at '.'
  std::vector<FilterScalar> operands;  // leaves other than Exists
  std::vector<FilterNode> children;    // And, Or, Not

  bool is_leaf() const { return kind >= Kind::Eq; }
};

class Filter {
 public:
  // Combinators ($and, $or, $not) nest at most this deep.
  static constexpr int kMaxDepth = 32;
  // A field path has at most this many parts (the depth of nesting the
  // payload codec reads back).
  static constexpr std::size_t kMaxPathParts = 128;

  // The empty filter: matches every record.
  Filter() = default;

  // CollectionError whose text names the fault and its place, e.g.
  // "unknown operator '$foo' at where['a']".
  static Result<Filter> compile(const JsonValue& where);

  bool matches(const Payload& payload) const;
  bool matches_everything() const { return root_.kind == FilterNode::Kind::All; }
  const FilterNode& root() const { return root_; }

 private:
  explicit Filter(FilterNode root) : root_(std::move(root)) {}

  FilterNode root_;
};

// Whether `node` holds for `payload` (Filter::matches of a subtree).
bool node_matches(const FilterNode& node, const Payload& payload);
// The value at a path of parts, or nullptr when some part is missing or
// names into a value that is not an object.
const JsonValue* find_path(const Payload& payload, const std::vector<std::string>& parts);

}  // namespace velmoradb
