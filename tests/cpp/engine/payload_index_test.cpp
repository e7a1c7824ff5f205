#include "engine/payload_index.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/filter_reference.h"

namespace velmoradb {
namespace {

Filter compiled(std::string_view text) {
  auto where = filter_reference::parse_json(text);
  EXPECT_TRUE(where.has_value()) << text;
  auto filter = Filter::compile(where.value_or(JsonValue{}));
  EXPECT_TRUE(filter) << filter.error().text();
  return filter ? *filter : Filter();
}

// The payloads of a VectorIndex's slots, kept in step with a PayloadIndex
// by the index's rules: append at the end; a removed slot takes the last.
class Slots {
 public:
  void add(Payload payload) {
    ASSERT_TRUE(index_.add(static_cast<std::uint32_t>(payloads_.size()), payload));
    payloads_.push_back(std::move(payload));
  }
  void remove(std::uint32_t slot) {
    const auto last = static_cast<std::uint32_t>(payloads_.size() - 1);
    ASSERT_TRUE(index_.remove(slot, payloads_[slot]));
    if (slot != last) {
      ASSERT_TRUE(index_.move(last, slot, payloads_[last]));
      payloads_[slot] = std::move(payloads_[last]);
    }
    payloads_.pop_back();
  }
  SlotBitmap evaluate(const Filter& filter) {
    return index_.evaluate(filter, payloads_.size(), [&](std::uint32_t slot) {
      ++lookups_;
      return &payloads_.at(slot);
    });
  }
  std::vector<std::size_t> matching(std::string_view filter_text) {
    std::vector<std::size_t> slots;
    evaluate(compiled(filter_text)).for_each([&](std::size_t s) { slots.push_back(s); });
    return slots;
  }

  PayloadIndex& index() { return index_; }
  const std::vector<Payload>& payloads() const { return payloads_; }
  int lookups() const { return lookups_; }

 private:
  PayloadIndex index_;
  std::vector<Payload> payloads_;
  int lookups_ = 0;
};

Payload with(std::string key, JsonValue value) {
  Payload p;
  p.data.emplace(std::move(key), std::move(value));
  return p;
}

TEST(PayloadIndex, FollowsRemovesAndMoves) {
  Slots slots;
  slots.add(with("g", "x"));
  slots.add(with("g", "y"));
  slots.add(with("g", JsonArray{"x", "z"}));
  slots.add(Payload{});
  EXPECT_EQ(slots.matching(R"({"g": "x"})"), (std::vector<std::size_t>{0, 2}));
  slots.remove(0);  // slot 3 (empty) moves to 0
  EXPECT_EQ(slots.matching(R"({"g": "x"})"), (std::vector<std::size_t>{2}));
  EXPECT_EQ(slots.matching(R"({"g": {"$ne": "x"}})"), (std::vector<std::size_t>{0, 1}));
  slots.remove(2);  // the last: nothing moves
  EXPECT_EQ(slots.matching(R"({"g": {"$exists": true}})"), (std::vector<std::size_t>{1}));
  EXPECT_EQ(slots.index().size(), 2u);
}

TEST(PayloadIndex, SlotsHoldingNothingNeverMatch) {
  PayloadIndex index;
  ASSERT_TRUE(index.add(0, with("a", 1)));
  ASSERT_TRUE(index.add(2, Payload{}));
  const Payload empty;
  SlotBitmap bits = index.evaluate(compiled(R"({"a": {"$ne": 5}})"), 4,
                                   [&](std::uint32_t) { return &empty; });
  EXPECT_EQ(bits.count(), 2u);
  EXPECT_TRUE(bits.test(0) && bits.test(2));
}

TEST(PayloadIndex, BrokenSlotRulesAreRefusedAndChangeNothing) {
  PayloadIndex index;
  ASSERT_TRUE(index.add(0, with("a", 1)));
  ASSERT_TRUE(index.add(1, with("a", 2)));
  auto taken = index.add(1, with("a", 3));
  ASSERT_FALSE(taken);
  EXPECT_EQ(taken.error().message(), "collection error: payload index: slot 1 already holds a payload");
  EXPECT_FALSE(index.remove(5, with("a", 1)));
  EXPECT_FALSE(index.move(1, 0, with("a", 2)));
  EXPECT_FALSE(index.move(7, 9, with("a", 2)));
  const Payload empty;
  auto lookup = [&](std::uint32_t) { return &empty; };
  EXPECT_EQ(index.evaluate(compiled(R"({"a": {"$in": [1, 2, 3]}})"), 2, lookup).count(), 2u);
  EXPECT_EQ(index.evaluate(compiled(R"({"a": 3})"), 2, lookup).count(), 0u);
}

// Strings beyond the indexed length are read back from the payloads, and
// only when a filter could match one.
TEST(PayloadIndex, LongStringsAreCheckedThroughTheLookup) {
  const std::string long_text(PayloadIndex::kMaxIndexedStringBytes + 1, 'q');
  const std::string boundary(PayloadIndex::kMaxIndexedStringBytes, 'q');
  Slots slots;
  slots.add(with("t", long_text));
  slots.add(with("t", boundary));
  slots.add(with("t", JsonArray{"a", long_text + "r"}));
  EXPECT_EQ(slots.matching(R"({"t": "a"})"), (std::vector<std::size_t>{2}));
  EXPECT_EQ(slots.matching("{\"t\": \"" + boundary + "\"}"), (std::vector<std::size_t>{1}));
  EXPECT_EQ(slots.lookups(), 0);
  EXPECT_EQ(slots.matching("{\"t\": \"" + long_text + "\"}"), (std::vector<std::size_t>{0}));
  EXPECT_EQ(slots.matching(R"({"t": {"$gt": "q"}})"), (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_EQ(slots.matching("{\"t\": {\"$lt\": \"" + long_text + "\"}}"),
            (std::vector<std::size_t>{1, 2}));
  // Slots 0 and 2 for each filter, but slot 2 matched "$lt" from the index.
  EXPECT_EQ(slots.lookups(), 5);
}

// Values held by many slots use dense chunks; removing through the slot
// rules keeps every answer right, and an emptied index gives back its memory.
TEST(PayloadIndex, DenseValuesAndChurn) {
  Slots slots;
  const std::size_t empty_bytes = slots.index().memory_bytes();
  for (int i = 0; i < 140000; ++i) {
    Payload p = with("g", i % 3 == 0 ? "a" : "b");
    p.data.emplace("n", JsonValue(static_cast<std::uint64_t>(i % 1000)));
    p.data.emplace("id", JsonValue(static_cast<std::uint64_t>(i)));
    slots.add(std::move(p));
  }
  const std::size_t full_bytes = slots.index().memory_bytes();
  std::mt19937 gen(7);
  for (int i = 0; i < 60000; ++i) slots.remove(gen() % slots.payloads().size());
  const Filter filter = compiled(R"({"g": "a", "n": {"$gte": 10, "$lt": 500}})");
  const SlotBitmap bits = slots.evaluate(filter);
  for (std::size_t s = 0; s < slots.payloads().size(); ++s) {
    ASSERT_EQ(bits.test(s), filter.matches(slots.payloads()[s])) << s;
  }
  while (!slots.payloads().empty()) slots.remove(0);
  EXPECT_LT(slots.index().memory_bytes() - empty_bytes, (full_bytes - empty_bytes) / 100);
}

// ---- Random payloads and filters: evaluate, matches and the reference
// agree on every record.

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

class PayloadIndexRandom : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(PayloadIndexRandom, EvaluateEqualsMatchesEqualsReference) {
  Generator generate(GetParam());
  std::mt19937 gen(static_cast<std::uint32_t>(GetParam()));
  Slots slots;
  for (int step = 0; step < 700; ++step) {
    if (!slots.payloads().empty() && gen() % 3 == 0) {
      slots.remove(gen() % slots.payloads().size());
    } else {
      slots.add(generate.payload());
    }
  }
  int matched = 0;
  for (int f = 0; f < 400; ++f) {
    const JsonValue where = generate.filter(0);
    auto filter = Filter::compile(where);
    ASSERT_TRUE(filter) << filter.error().text();
    const SlotBitmap bits = slots.evaluate(*filter);
    for (std::size_t s = 0; s < slots.payloads().size(); ++s) {
      const Payload& payload = slots.payloads()[s];
      const bool expected = filter_reference::matches(where, payload);
      ASSERT_EQ(filter->matches(payload), expected) << "filter " << f << ", slot " << s;
      ASSERT_EQ(bits.test(s), expected) << "filter " << f << ", slot " << s;
      matched += expected;
    }
  }
  // The filters are not all trivially true or false.
  const int checked = 400 * static_cast<int>(slots.payloads().size());
  EXPECT_GT(matched, checked / 20);
  EXPECT_LT(matched, checked - checked / 20);
}

INSTANTIATE_TEST_SUITE_P(Seeds, PayloadIndexRandom, ::testing::Values(1, 2, 3, 4, 5, 6));

}  // namespace
}  // namespace velmoradb
