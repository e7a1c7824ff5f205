// The payloads of a collection as text: the store against a model, through
// its chunks and the rewrite that drops replaced texts; and the payloads a
// collection refuses because their text would not give them back.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <string>

#include "collection/collection.h"
#include "collection/payload_text_store.h"
#include "collection_fixture.h"
#include "storage/json/json.h"

namespace velmoradb::testing {
namespace {

// Random payloads, some longer than a chunk, so that replacing and taking
// them drives the store through new chunks and rewrites.
Payload random_payload(std::mt19937_64& gen) {
  const std::size_t lengths[] = {0, 3, 100, 5000, PayloadTextStore::kChunkBytes + 7};
  const std::size_t length = lengths[gen() % (gen() % 50 == 0 ? 5 : 4)];
  Payload p = payload("s", std::string(length, static_cast<char>('a' + gen() % 26)));
  p.data["n"] = static_cast<double>(gen() % 1000) / 8;
  if (gen() % 3 == 0) p.data["list"] = JsonArray{std::uint64_t{gen()}, std::int64_t{-5}, nullptr, true};
  return p;
}

template <typename Store>
class PayloadStores : public ::testing::Test {};
using StoreTypes = ::testing::Types<ObjectPayloadStore, PayloadTextStore>;
TYPED_TEST_SUITE(PayloadStores, StoreTypes);

// Puts, replacements, takes and moves as the index makes them, against a
// map of slots; every slot reads back what the model holds.
TYPED_TEST(PayloadStores, AgreeWithAModel) {
  TypeParam store;
  std::map<std::uint32_t, Payload> model;
  std::mt19937_64 gen(7);
  for (int step = 0; step < 3000; ++step) {
    const auto slot = static_cast<std::uint32_t>(gen() % 200);
    switch (gen() % 4) {
      case 0:
      case 1: {
        Payload p = random_payload(gen);
        model[slot] = p;
        store.put(slot, std::move(p));
        break;
      }
      case 2: {
        Payload out;
        ASSERT_EQ(store.take(slot, &out), model.count(slot) == 1) << "step " << step;
        if (model.count(slot)) {
          EXPECT_EQ(out, model[slot]);
          model.erase(slot);
        }
        break;
      }
      default: {
        const auto to = static_cast<std::uint32_t>(gen() % 220);
        if (model.count(to)) break;  // the index moves into freed slots only
        store.move(slot, to);
        if (auto it = model.find(slot); it != model.end()) {
          model[to] = std::move(it->second);
          model.erase(slot);
        }
      }
    }
    ASSERT_EQ(store.size(), model.size()) << "step " << step;
  }
  for (std::uint32_t slot = 0; slot < 230; ++slot) {
    Payload out = payload("untouched", true);
    ASSERT_EQ(store.get(slot, out), model.count(slot) == 1) << "slot " << slot;
    EXPECT_EQ(out, model.count(slot) ? model[slot] : payload("untouched", true)) << "slot " << slot;
  }
}

TEST(PayloadTextStore, KeepsTheTextAndDropsReplacedBytes) {
  PayloadTextStore store;
  const Payload small = payload("tag", "t3");
  store.put(4, small);
  EXPECT_EQ(store.text(4), json::encode_payload(small));
  EXPECT_EQ(store.text(3), "");
  // Text read from a file is kept as it was written, and decodes as before.
  const std::string spaced = R"( { "data" : { "tag" : "t3" } } )";
  store.put_decoded(3, small, spaced);
  EXPECT_EQ(store.text(3), spaced);
  Payload back;
  ASSERT_TRUE(store.get(3, back));
  EXPECT_EQ(back, small);
  ASSERT_TRUE(store.take(3, nullptr));
  // Replacing a large text again and again: the bytes left behind are
  // dropped once they outweigh the live ones, and nothing live is lost.
  for (int round = 0; round < 8; ++round) {
    store.put(9, payload("s", std::string(PayloadTextStore::kChunkBytes / 2, static_cast<char>('a' + round))));
    EXPECT_LE(store.dead_bytes(), store.live_bytes() + PayloadTextStore::kChunkBytes) << "round " << round;
  }
  Payload out;
  ASSERT_TRUE(store.get(9, out));
  EXPECT_EQ(out, payload("s", std::string(PayloadTextStore::kChunkBytes / 2, 'h')));
  ASSERT_TRUE(store.get(4, out));
  EXPECT_EQ(out, small);
  EXPECT_EQ(store.live_bytes(), store.text(4).size() + store.text(9).size());
}

Payload nested(int levels) {
  JsonValue value = std::uint64_t{1};
  for (int i = 0; i < levels; ++i) value = JsonArray{std::move(value)};
  return payload("deep", std::move(value));
}

struct Refused {
  const char* name;
  Payload payload;
  const char* message;
};

class RefusedPayloads : public ::testing::TestWithParam<Refused> {};

// A payload whose text would not give it back is refused by every insert
// before anything is written; the collection, reopened, never saw it.
TEST_P(RefusedPayloads, AreRefusedBeforeAnythingIsWritten) {
  const Refused& r = GetParam();
  ScratchDir dir;
  auto c = open_ok(dir.str(), config(2));
  ASSERT_TRUE(c->insert(1, {1, 2}, payload("ok", "yes")));
  auto single = c->insert(2, {3, 4}, r.payload);
  ASSERT_FALSE(single);
  EXPECT_NE(single.error().text().find(r.message), std::string::npos) << single.error().text();
  const std::uint64_t ids[] = {3, 4};
  const float rows[] = {5, 6, 7, 8};
  const auto row = [&](std::size_t i) { return std::pair<const float*, std::size_t>(rows + 2 * i, 2); };
  for (bool direct : {false, true}) {
    Payload payloads[] = {payload("ok", "yes"), r.payload};
    std::size_t inserted = 99;
    auto batch = direct ? c->insert_batch_direct(ids, 2, row, payloads, &inserted)
                        : c->insert_batch(ids, 2, row, payloads, &inserted);
    ASSERT_FALSE(batch) << (direct ? "direct" : "logged");
    EXPECT_NE(batch.error().text().find(r.message), std::string::npos) << batch.error().text();
    // A logged batch keeps the pairs before the failure; a direct one is
    // all or nothing.
    EXPECT_EQ(inserted, direct ? 0u : 1u);
    if (!direct) {
      ASSERT_TRUE(c->remove(3));
    }
  }
  c.reset();
  c = open_ok(dir.str(), config(2));
  auto ids_now = c->ids(nullptr);
  ASSERT_TRUE(ids_now);
  EXPECT_EQ(*ids_now, std::vector<std::uint64_t>{1});
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, RefusedPayloads,
    ::testing::Values(Refused{"nan", payload("x", std::nan("")), "NaN or infinite"},
                      Refused{"infinity", payload("x", JsonArray{-HUGE_VAL}), "NaN or infinite"},
                      Refused{"bad_utf8_string", payload("x", "\xff"), "not valid UTF-8"},
                      Refused{"surrogate_in_nested_key", payload("x", JsonObject{{"\xed\xa0\x80", 1.0}}),
                              "key is not valid UTF-8"},
                      Refused{"bad_utf8_key", payload("\xc3", 1.0), "key is not valid UTF-8"},
                      Refused{"too_deep", nested(126), "deeper than 125"}),
    [](const auto& info) { return std::string(info.param.name); });

// The deepest payload allowed comes back through the log and the data file.
TEST(RefusedPayloads, TheDeepestAllowedComesBackFromTheLogAndTheDataFile) {
  ScratchDir dir;
  auto c = open_ok(dir.str(), config(2));
  ASSERT_TRUE(c->insert(1, {1, 2}, nested(125)));
  for (bool flush : {false, true}) {
    if (flush) {
      ASSERT_TRUE(c->flush());
    }
    c.reset();
    c = open_ok(dir.str(), config(2));
    auto got = c->get(1);
    ASSERT_TRUE(got && *got) << (flush ? "data file" : "log");
    EXPECT_EQ((*got)->payload, nested(125));
  }
}

}  // namespace
}  // namespace velmoradb::testing
