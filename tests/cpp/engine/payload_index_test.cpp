#include "engine/index/payload_index.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/filter_reference.h"
#include "engine/payload_generator.h"

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
  // The same, as a load adds it: with the text it was decoded from.
  void add(Payload payload, std::string_view text) {
    ASSERT_TRUE(index_.add(static_cast<std::uint32_t>(payloads_.size()), payload, text));
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

using filter_reference::Generator;

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

// ---- Adds given the payload's text: the sets a text entered are entered
// again for the same text.

// A value held by one slot leaves its map with that slot: the same text
// added again enters a set made anew, not the one that is gone.
TEST(PayloadIndex, TextAddedAgainAfterItsValueLeftTheIndex) {
  Slots slots;
  slots.add(with("g", "kept"), "k");
  slots.add(with("g", "only"), "o");
  slots.remove(1);
  slots.add(with("g", "only"), "o");
  slots.remove(0);  // slot 1 moves to 0
  slots.add(with("g", "kept"), "k");
  EXPECT_EQ(slots.matching(R"({"g": "only"})"), (std::vector<std::size_t>{0}));
  EXPECT_EQ(slots.matching(R"({"g": "kept"})"), (std::vector<std::size_t>{1}));
  EXPECT_EQ(slots.index().add(1, with("g", "kept"), "k").error().text(),
            "payload index: slot 1 already holds a payload");
}

// Over a pool of payloads larger than the index remembers texts for, some
// of them with texts too long to be remembered, and with removes and moves
// in between, the index answers every filter as one given no texts.
class PayloadIndexTexts : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(PayloadIndexTexts, AnswersAsWithoutTexts) {
  Generator generate(GetParam());
  std::mt19937 gen(static_cast<std::uint32_t>(GetParam()));
  std::vector<Payload> pool;
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < PayloadIndex::kMaxRememberedTexts + 16; ++i) {
    pool.push_back(generate.payload());
    const std::string padding(i % 10 == 9 ? PayloadIndex::kMaxRememberedTextBytes : 0, ' ');
    texts.push_back("payload " + std::to_string(i) + padding);
  }
  Slots plain, with_texts;
  for (int step = 0; step < 1500; ++step) {
    if (!plain.payloads().empty() && gen() % 5 == 0) {
      const std::uint32_t slot = gen() % plain.payloads().size();
      plain.remove(slot);
      with_texts.remove(slot);
    } else {
      // Mostly a few payloads, as in a load of categories.
      const std::size_t k = gen() % 4 != 0 ? gen() % 6 : gen() % pool.size();
      plain.add(pool[k]);
      with_texts.add(pool[k], texts[k]);
    }
  }
  for (int f = 0; f < 300; ++f) {
    auto filter = Filter::compile(generate.filter(0));
    ASSERT_TRUE(filter) << filter.error().text();
    const SlotBitmap want = plain.evaluate(*filter);
    const SlotBitmap got = with_texts.evaluate(*filter);
    for (std::size_t s = 0; s < plain.payloads().size(); ++s) {
      ASSERT_EQ(got.test(s), want.test(s)) << "filter " << f << ", slot " << s;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, PayloadIndexTexts, ::testing::Values(1, 2, 3));

}  // namespace
}  // namespace velmoradb
