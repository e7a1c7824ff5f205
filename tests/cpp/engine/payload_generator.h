// Random payloads and filters for the tests that hold filtering to the
// reference matcher (filter_reference.h): numbers on both sides of the places
// where int and float forms meet, strings on both sides of the indexed
// length, NaN and infinities, lists, nested objects, keys holding dots.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/filter/filter_value.h"
#include "engine/index/payload.h"
#include "engine/index/payload_index.h"

namespace velmoradb::filter_reference {

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : gen_(seed) {}

  Payload payload() {
    static const char* kKeys[] = {"a", "b", "t", "n", "a.b", ""};
    Payload p;
    for (int i = below(5); i > 0; --i) p.data[kKeys[below(6)]] = value(0);
    return p;
  }

  JsonValue filter(int depth) {
    JsonObject f;
    for (int i = below(3); i > 0; --i) {
      if (depth < 4 && below(10) < 3) {
        const int which = below(3);
        if (which == 2) {
          f["$not"] = filter(depth + 1);
        } else {
          JsonArray list;
          for (int k = 1 + below(3); k > 0; --k) list.push_back(filter(depth + 1));
          f[which == 0 ? "$and" : "$or"] = std::move(list);
        }
      } else {
        static const char* kPaths[] = {"a", "b", "t", "n", "n.x", "n.y", "n.x.x", "a.b", "zz"};
        f[kPaths[below(9)]] = below(3) == 0 ? operand() : operators(true);
      }
    }
    return f;
  }

 private:
  int below(int n) { return static_cast<int>(gen_() % static_cast<std::uint64_t>(n)); }

  // Numbers on both sides of the places where int and float forms meet,
  // and strings on both sides of the indexed length.
  static const std::vector<JsonValue>& scalars() {
    static const std::vector<JsonValue> pool = [] {
      const std::string l(PayloadIndex::kMaxIndexedStringBytes, 'l');
      return std::vector<JsonValue>{
          nullptr, true, false, std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{7},
          std::uint64_t{1} << 53, (std::uint64_t{1} << 53) + 1, ~std::uint64_t{0},
          std::int64_t{-1}, std::int64_t{-2}, std::int64_t{-7},
          std::numeric_limits<std::int64_t>::min(), 0.5, -0.0, 1.0, 7.0, -2.5, -7.5, 9007199254740992.0, 18446744073709551616.0,
          -9223372036854775808.0, 1e300, "", "a", "b", "ab", "é", "z", l, l + "l", l + "m",
          l + "ll"};
    }();
    return pool;
  }

  JsonValue operand() { return scalars()[below(static_cast<int>(scalars().size()))]; }

  JsonValue ordered_operand() {
    for (;;) {
      JsonValue v = operand();
      if (type_rank(v) >= 2) return v;
    }
  }

  JsonValue operators(bool allow_not) {
    static const char* kOps[] = {"$eq", "$ne", "$gt", "$gte", "$lt",
                                 "$lte", "$in", "$nin", "$exists", "$not"};
    JsonObject ops;
    for (int i = 1 + below(2); i > 0; --i) {
      const std::string op = kOps[below(allow_not ? 10 : 9)];
      if (op == "$in" || op == "$nin") {
        JsonArray list;
        for (int k = below(4); k > 0; --k) list.push_back(operand());
        ops[op] = std::move(list);
      } else if (op == "$exists") {
        ops[op] = below(2) == 0;
      } else if (op == "$not") {
        ops[op] = operators(false);
      } else {
        ops[op] = op == "$eq" || op == "$ne" ? operand() : ordered_operand();
      }
    }
    return ops;
  }

  JsonValue value(int depth) {
    const int kind = below(20);
    if (kind < 2) return std::nan("");
    if (kind < 3) return std::numeric_limits<double>::infinity();
    if (kind < 12) return operand();
    if (kind < 16 || depth >= 3) {
      JsonArray list;
      for (int k = below(5); k > 0; --k) {
        list.push_back(below(8) == 0 ? JsonValue(JsonArray{operand()}) : operand());
      }
      return list;
    }
    static const char* kNested[] = {"x", "y", "a.b"};
    JsonObject object;
    for (int k = below(4); k > 0; --k) object[kNested[below(3)]] = value(depth + 1);
    return object;
  }

  std::mt19937_64 gen_;
};

}  // namespace velmoradb::filter_reference
