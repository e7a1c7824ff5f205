// Filtered search of VectorIndex against brute force: on random payloads and
// filters (with removes moving slots and their payloads), the result is
// exactly the k nearest of the records the reference matcher accepts, with
// the distances of the scalar reference; with the payloads kept as objects
// and as text (the collection's store).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "collection/payload_text_store.h"
#include "engine/filter/filter.h"
#include "engine/filter_reference.h"
#include "engine/kernels/metric.h"
#include "engine/payload_generator.h"
#include "engine/index/vector_index.h"
#include "storage/json/json.h"

namespace velmoradb {
namespace {

struct Case {
  DistanceMetric metric;
  std::size_t dim;
  std::uint64_t seed;
  bool text_store = false;
};

class FilteredSearch : public ::testing::TestWithParam<Case> {};

struct Stored {
  std::vector<float> vector;
  Payload payload;
};

// Payloads compare as their text gives them back: a NaN equals nothing, not
// even itself, and the text holds null for it.
Payload text_of(const Payload& payload) {
  auto back = json::parse_payload(json::encode_payload(payload));
  EXPECT_TRUE(back.ok());
  return back.ok() ? *back : Payload{};
}

// The k nearest of the matching records, nearest first; ties by id.
std::vector<std::pair<float, std::uint64_t>> brute_force(const std::map<std::uint64_t, Stored>& records,
                                                         const JsonValue& where, const std::vector<float>& q,
                                                         DistanceMetric metric, std::size_t k) {
  std::vector<std::pair<float, std::uint64_t>> all;
  for (const auto& [id, rec] : records) {
    if (filter_reference::matches(where, rec.payload)) {
      all.emplace_back(distance(metric, q.data(), rec.vector.data(), q.size()), id);
    }
  }
  std::sort(all.begin(), all.end());
  if (all.size() > k) all.resize(k);
  return all;
}

// Same distances rank by rank; the same ids wherever a distance is not tied
// with the last one kept (which of the tied ones is kept is unspecified).
void expect_same(const std::vector<SearchResult>& got, const std::vector<std::pair<float, std::uint64_t>>& want,
                 const std::string& where) {
  ASSERT_EQ(got.size(), want.size()) << where;
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i].distance), std::bit_cast<std::uint32_t>(want[i].first))
        << where << ", rank " << i;
  }
  std::vector<std::uint64_t> got_ids, want_ids;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i].distance != want.back().first) got_ids.push_back(got[i].id);
    if (want[i].first != want.back().first) want_ids.push_back(want[i].second);
  }
  std::sort(got_ids.begin(), got_ids.end());
  std::sort(want_ids.begin(), want_ids.end());
  EXPECT_EQ(got_ids, want_ids) << where;
}

TEST_P(FilteredSearch, EqualsBruteForceOverTheMatchingRecords) {
  const Case& c = GetParam();
  filter_reference::Generator generate(c.seed);
  std::mt19937_64 gen(c.seed);
  std::uniform_real_distribution<float> component(-1.0f, 1.0f);
  auto random_vector = [&] {
    std::vector<float> v(c.dim);
    for (float& x : v) x = component(gen);
    return v;
  };
  VectorIndex index(c.metric, c.dim);
  if (c.text_store) index.use_payload_store(std::make_unique<PayloadTextStore>());
  // A text store holds what its text gives back: NaN and infinities as null
  // (a collection refuses them before they reach its index).
  const auto storable = [&](Payload p) { return c.text_store ? text_of(p) : p; };
  std::map<std::uint64_t, Stored> records;
  // Enough records for several blocks and bitmap words; removes move the
  // last slot and its payload into the freed one.
  for (int step = 0; step < 600; ++step) {
    const std::uint64_t id = gen() % 500;
    if (records.count(id) && gen() % 3 == 0) {
      ASSERT_TRUE(index.remove(id));
      records.erase(id);
      continue;
    }
    index.remove(id);
    Stored rec{random_vector(), gen() % 4 == 0 ? Payload{} : storable(generate.payload())};
    ASSERT_TRUE(index.insert(id, rec.vector, rec.payload));
    records[id] = std::move(rec);
  }
  // Every payload is where its id is, after the removes moved slots.
  ASSERT_EQ(index.size(), records.size());
  for (const auto& [id, rec] : records) {
    ASSERT_EQ(text_of(index.payload_of(id).value_or(Payload{})), text_of(rec.payload)) << "id " << id;
  }
  int nonempty = 0;
  for (int f = 0; f < 120; ++f) {
    const JsonValue where = f == 0 ? JsonValue(JsonObject{}) : generate.filter(0);
    auto filter = Filter::compile(where);
    ASSERT_TRUE(filter) << filter.error().text();
    const SlotBitmap only = index.matching(*filter);
    std::vector<float> queries;
    for (std::size_t k : {std::size_t{1}, std::size_t{7}, std::size_t{1000}}) {
      const std::vector<float> q = random_vector();
      queries.insert(queries.end(), q.begin(), q.end());
      const auto want = brute_force(records, where, q, c.metric, k);
      nonempty += !want.empty();
      expect_same(index.search(q.data(), q.size(), k, only), want, "filter " + std::to_string(f));
    }
    // The batch gives the lists of single searches.
    const auto batch = index.search_batch(queries.data(), 3, 7, only);
    for (std::size_t i = 0; i < 3; ++i) {
      const auto single = index.search(queries.data() + i * c.dim, c.dim, 7, only);
      ASSERT_EQ(batch[i].size(), single.size());
      for (std::size_t r = 0; r < single.size(); ++r) {
        EXPECT_EQ(text_of(single[r].payload), text_of(records.at(single[r].id).payload));
        EXPECT_EQ(batch[i][r].id, single[r].id);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(batch[i][r].distance), std::bit_cast<std::uint32_t>(single[r].distance));
      }
    }
  }
  EXPECT_GT(nonempty, 30);  // the filters are not all empty
}

INSTANTIATE_TEST_SUITE_P(Metrics, FilteredSearch,
                         ::testing::Values(Case{DistanceMetric::Euclidean, 5, 1}, Case{DistanceMetric::Cosine, 33, 2},
                                           Case{DistanceMetric::DotProduct, 16, 3},
                                           Case{DistanceMetric::Hamming, 3, 4},
                                           Case{DistanceMetric::Euclidean, 0, 5},
                                           Case{DistanceMetric::Euclidean, 5, 6, true},
                                           Case{DistanceMetric::DotProduct, 16, 7, true}));

TEST(FilteredSearch, EmptyPayloadsMatchAsEmptyObjects) {
  VectorIndex index(DistanceMetric::Euclidean, 1);
  for (std::uint64_t id = 0; id < 40; ++id) {
    Payload p;
    if (id % 2 == 0) p.data["even"] = true;
    ASSERT_TRUE(index.insert(id, std::vector<float>{static_cast<float>(id)}, p));
  }
  const std::vector<float> q{0};
  auto ids_of = [&](const char* text) {
    auto filter = Filter::compile(*filter_reference::parse_json(text));
    EXPECT_TRUE(filter);
    std::vector<std::uint64_t> out;
    for (const SearchResult& r : index.search(q.data(), 1, 100, index.matching(*filter))) out.push_back(r.id);
    return out;
  };
  EXPECT_EQ(ids_of(R"({"even": true})").size(), 20u);
  EXPECT_EQ(ids_of(R"({"even": {"$ne": true}})"), (std::vector<std::uint64_t>{1, 3, 5, 7, 9, 11, 13, 15, 17, 19,
                                                                                21, 23, 25, 27, 29, 31, 33, 35, 37, 39}));
  EXPECT_EQ(ids_of(R"({"even": {"$exists": false}})").size(), 20u);
  EXPECT_EQ(ids_of(R"({})").size(), 40u);
  EXPECT_TRUE(ids_of(R"({"nothing": 1})").empty());
}

}  // namespace
}  // namespace velmoradb
