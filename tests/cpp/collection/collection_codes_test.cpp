// A collection opened with bound codes answers every single-query search,
// filtered or not, as one without: through inserts, replaces and deletes,
// the replay of a log at open, a reopen after close, and compaction; while
// the codes are built after open and once they are in use; with writes
// racing the build, and a close cutting it short. The files it writes are
// those of a collection without codes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "collection/collection.h"
#include "collection_fixture.h"

namespace velmoradb::testing {
namespace {

constexpr std::size_t kDim = 12;
constexpr std::size_t kMinSize = 500;

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

CollectionConfig codes_config(DistanceMetric metric, bool codes, bool background = true) {
  CollectionConfig cfg = config(kDim, metric);
  cfg.bound_codes = codes;
  cfg.choose_search_path_by_time = false;  // every search of the twin with codes takes them
  cfg.bound_codes_min_size = kMinSize;
  cfg.bound_codes_background = background;
  return cfg;
}

Payload group_payload(std::uint64_t id) {
  Payload p;
  p.data.emplace("group", static_cast<std::uint64_t>(id % 3));
  return p;
}

Filter group_filter(std::uint64_t group) {
  JsonObject where;
  where.emplace("group", JsonValue(group));
  auto filter = Filter::compile(JsonValue(std::move(where)));
  EXPECT_TRUE(filter);
  return filter ? *filter : Filter();
}

// Two collections given the same changes: `codes` with bound codes, `scan`
// without. Each open waits for the codes unless told not to.
class Twins {
 public:
  explicit Twins(DistanceMetric metric, bool background = true) : metric_(metric), background_(background) {
    open();
  }

  void open(bool wait = true) {
    codes_ = open_ok(codes_dir_.str(), codes_config(metric_, true, background_));
    scan_ = open_ok(scan_dir_.str(), codes_config(metric_, false));
    ASSERT_TRUE(codes_ && scan_);
    if (wait) codes_->wait_for_bound_codes();
  }
  // Closed, or dropped without close() (the log is then replayed at open).
  void reopen(bool close_first, bool wait = true) {
    if (close_first) {
      ASSERT_TRUE(codes_->close());
      ASSERT_TRUE(scan_->close());
    }
    codes_.reset();
    scan_.reset();
    open(wait);
  }

  PersistentCollection& codes() { return *codes_; }
  PersistentCollection& scan() { return *scan_; }

  // Rows of small integers among Gaussian ones: many exact ties.
  std::vector<float> row(std::mt19937& gen, float scale = 1.0f) {
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::uniform_int_distribution<int> small(-2, 2);
    const bool ties = gen() % 4 == 0;
    std::vector<float> v(kDim);
    for (float& x : v) x = ties ? static_cast<float>(small(gen)) : normal(gen) * scale;
    return v;
  }

  void insert_batch(std::uint64_t first_id, std::size_t count, std::mt19937& gen) {
    std::vector<std::uint64_t> ids;
    std::vector<std::vector<float>> rows;
    std::vector<Payload> payloads_a, payloads_b;
    for (std::size_t i = 0; i < count; ++i) {
      ids.push_back(first_id + i);
      rows.push_back(i % 10 == 9 ? rows[i - 9] : row(gen));  // duplicates
      payloads_a.push_back(group_payload(first_id + i));
      payloads_b.push_back(group_payload(first_id + i));
    }
    auto at = [&](std::size_t i) { return std::pair<const float*, std::size_t>(rows[i].data(), kDim); };
    ASSERT_TRUE(codes_->insert_batch(ids.data(), count, at, payloads_a.data()));
    ASSERT_TRUE(scan_->insert_batch(ids.data(), count, at, payloads_b.data()));
  }
  // An insert of a present id replaces its record.
  void insert(std::uint64_t id, const std::vector<float>& v) {
    ASSERT_TRUE(codes_->insert(id, v, group_payload(id + 1)));
    ASSERT_TRUE(scan_->insert(id, v, group_payload(id + 1)));
  }
  void remove(std::uint64_t id) {
    auto a = codes_->remove(id);
    auto b = scan_->remove(id);
    ASSERT_TRUE(a && b);
    ASSERT_EQ(*a, *b);
  }
  void compact() {
    ASSERT_TRUE(codes_->compact());
    ASSERT_TRUE(scan_->compact());
  }

  // `active`: the codes must be in use (false: they may be or not).
  void expect_same_answers(const std::string& stage, std::mt19937& gen, bool active = true) {
    if (active) {
      ASSERT_TRUE(codes_->bound_codes_active()) << stage;
      ASSERT_GT(codes_->bound_codes_bytes(), codes_->size() * kDim) << stage;
    }
    ASSERT_FALSE(scan_->bound_codes_active()) << stage;
    ASSERT_EQ(scan_->bound_codes_bytes(), 0u);
    const std::map<std::uint64_t, std::vector<float>> vectors = codes_->snapshot();
    ASSERT_EQ(vectors, scan_->snapshot()) << stage;
    std::vector<std::vector<float>> queries{row(gen), row(gen), vectors.begin()->second,
                                            std::vector<float>(kDim, 0.0f)};
    const Filter group1 = group_filter(1);
    for (const auto& q : queries) {
      for (std::size_t k : {std::size_t{1}, std::size_t{20}, vectors.size() + 1}) {
        for (const Filter* where : {static_cast<const Filter*>(nullptr), &group1}) {
          const std::string at = stage + ", k " + std::to_string(k) + (where ? ", filtered" : "");
          auto want = scan_->search(q.data(), kDim, k, where);
          auto got = codes_->search(q.data(), kDim, k, where);
          ASSERT_TRUE(want && got) << at;
          check(q, *want, *got, vectors, where, at);
        }
      }
    }
  }

 private:
  void check(const std::vector<float>& q, const std::vector<SearchResult>& want,
             const std::vector<SearchResult>& got, const std::map<std::uint64_t, std::vector<float>>& vectors,
             const Filter* where, const std::string& at) {
    ASSERT_EQ(got.size(), want.size()) << at;
    std::set<std::uint64_t> seen;
    for (std::size_t j = 0; j < got.size(); ++j) {
      ASSERT_TRUE(same_bits(got[j].distance, want[j].distance)) << at << ": rank " << j;
      ASSERT_TRUE(seen.insert(got[j].id).second) << at << ": id " << got[j].id << " twice";
      ASSERT_TRUE(same_bits(distance(metric_, q.data(), vectors.at(got[j].id).data(), kDim), got[j].distance))
          << at << ": id " << got[j].id << " has another distance";
      if (where) {
        ASSERT_TRUE(where->matches(got[j].payload)) << at;
      }
    }
  }

  DistanceMetric metric_;
  bool background_;
  ScratchDir codes_dir_, scan_dir_;
  std::unique_ptr<PersistentCollection> codes_, scan_;
};

// The metric, and whether the codes are built in the background.
class CollectionCodes : public ::testing::TestWithParam<std::tuple<DistanceMetric, bool>> {};

TEST_P(CollectionCodes, SearchesMatchACollectionWithoutThroughEveryChange) {
  const auto [metric, background] = GetParam();
  std::mt19937 gen(3 + static_cast<unsigned>(metric));
  Twins twins(metric, background);
  EXPECT_FALSE(twins.codes().bound_codes_active());  // empty: below the minimum
  twins.insert_batch(1, 3000, gen);
  twins.expect_same_answers("inserted", gen);

  // Replaces and deletes move slots; vectors far outside the cells build
  // the codes anew.
  for (std::uint64_t id = 1; id <= 3000; id += 7) twins.remove(id);
  for (std::uint64_t id = 2; id <= 3000; id += 5) twins.insert(id, twins.row(gen));
  for (std::uint64_t id = 5000; id < 5400; ++id) twins.insert(id, twins.row(gen, 50.0f));
  twins.expect_same_answers("replaced and deleted", gen);

  twins.reopen(false);  // the log is replayed at open
  twins.expect_same_answers("replayed", gen);
  for (std::uint64_t id = 3; id <= 3000; id += 4) twins.remove(id);
  twins.compact();
  twins.expect_same_answers("compacted", gen);
  twins.reopen(true);
  twins.expect_same_answers("reopened", gen);
}

INSTANTIATE_TEST_SUITE_P(Metrics, CollectionCodes,
                         ::testing::Combine(::testing::Values(DistanceMetric::Euclidean, DistanceMetric::DotProduct,
                                                              DistanceMetric::Cosine),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(metric_name(std::get<0>(info.param))) +
                                  (std::get<1>(info.param) ? "_Background" : "_AtOpen");
                         });

// Large enough that the build after open takes a while (still well under
// a second).
constexpr std::size_t kLarge = 40'000;

class CollectionCodesBuild : public ::testing::TestWithParam<DistanceMetric> {};

// Searches while the codes are being built scan, and give the answers of
// a collection without codes before, during and after the switch.
TEST_P(CollectionCodesBuild, SearchesDuringTheBuildAreTheScans) {
  std::mt19937 gen(41 + static_cast<unsigned>(GetParam()));
  Twins twins(GetParam());
  twins.insert_batch(1, kLarge, gen);
  twins.reopen(true, false);
  for (bool active = false; !active;) {
    active = twins.codes().bound_codes_active();
    twins.expect_same_answers("during the build", gen, false);
    if (::testing::Test::HasFatalFailure()) return;
  }
  twins.codes().wait_for_bound_codes();
  twins.codes().wait_for_bound_codes();  // no build running: at once
  twins.expect_same_answers("built", gen);
}

// A bulk insert drops the codes and builds them again in the background
// (as at open): searches scan meanwhile, and the codes then hold every row.
TEST_P(CollectionCodesBuild, ABulkInsertBuildsTheCodesAgain) {
  std::mt19937 gen(47 + static_cast<unsigned>(GetParam()));
  Twins twins(GetParam());
  twins.insert_batch(1, kLarge, gen);
  twins.codes().wait_for_bound_codes();
  ASSERT_TRUE(twins.codes().bound_codes_active());
  std::vector<std::uint64_t> ids;
  std::vector<std::vector<float>> rows;
  for (std::uint64_t id = kLarge / 2; id < kLarge + 20'000; ++id) {  // replaces, then new ids
    ids.push_back(id);
    rows.push_back(twins.row(gen, id % 3 == 0 ? 50.0f : 1.0f));  // some beyond the cells
  }
  auto at = [&](std::size_t i) { return std::pair<const float*, std::size_t>(rows[i].data(), kDim); };
  ASSERT_TRUE(twins.codes().insert_batch_direct(ids.data(), ids.size(), at, nullptr));
  ASSERT_TRUE(twins.scan().insert_batch_direct(ids.data(), ids.size(), at, nullptr));
  twins.expect_same_answers("during the build", gen, false);
  twins.codes().wait_for_bound_codes();
  twins.expect_same_answers("after the bulk insert", gen);
}

// Inserts, replaces and deletes while the codes are built: once built they
// are those of the index as it then is.
TEST_P(CollectionCodesBuild, WritesRacingTheBuildLeaveCurrentCodes) {
  std::mt19937 gen(43 + static_cast<unsigned>(GetParam()));
  Twins twins(GetParam());
  twins.insert_batch(1, kLarge, gen);
  std::uint64_t next = 1'000'000;
  for (int round = 0; round < 3; ++round) {
    const std::string stage = "round " + std::to_string(round);
    twins.reopen(round % 2 == 0, false);
    twins.insert_batch(next, 2000, gen);
    next += 2000;
    for (std::uint64_t id = 1 + round; id < kLarge; id += 97) twins.remove(id);
    for (std::uint64_t id = 5 + round; id < kLarge; id += 89) twins.insert(id, twins.row(gen, round == 1 ? 30.0f : 1.0f));
    twins.insert_batch(next, 500, gen);
    next += 500;
    twins.codes().wait_for_bound_codes();
    twins.expect_same_answers(stage, gen);
  }
}

// A close (or a drop without one) during the build stops it and releases
// everything; the directory opens again as ever. A read-only open builds
// in the background too.
TEST_P(CollectionCodesBuild, CloseDuringTheBuildEndsIt) {
  std::mt19937 gen(47 + static_cast<unsigned>(GetParam()));
  Twins twins(GetParam());
  twins.insert_batch(1, kLarge, gen);
  twins.reopen(true, false);
  ASSERT_TRUE(twins.codes().close());
  twins.codes().wait_for_bound_codes();  // nothing running
  EXPECT_FALSE(twins.codes().bound_codes_active());
  EXPECT_EQ(twins.codes().bound_codes_bytes(), 0u);
  twins.reopen(false, false);  // dropped during the build, without close()
  twins.reopen(false, true);
  twins.expect_same_answers("reopened", gen);

  OpenOptions read_only;
  read_only.intent = OpenIntent::OpenExisting;
  read_only.read_only = true;
  const std::string dir = twins.codes().path();
  ASSERT_TRUE(twins.codes().close());
  for (bool wait : {false, true}) {
    auto reader = PersistentCollection::open(dir, codes_config(GetParam(), true), read_only);
    ASSERT_TRUE(reader);
    if (wait) {
      (*reader)->wait_for_bound_codes();
      EXPECT_TRUE((*reader)->bound_codes_active());
    }
    EXPECT_EQ((*reader)->size(), twins.scan().size());
    EXPECT_TRUE((*reader)->close());
  }
}

INSTANTIATE_TEST_SUITE_P(Metrics, CollectionCodesBuild,
                         ::testing::Values(DistanceMetric::Euclidean, DistanceMetric::Cosine),
                         [](const auto& info) { return std::string(metric_name(info.param)); });

// The codes live in memory only: the files are the same bytes with or
// without them.
TEST(CollectionCodesFiles, AreThoseOfACollectionWithout) {
  ScratchDir with, without;
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (bool codes : {true, false}) {
    auto c = open_ok(codes ? with.str() : without.str(), codes_config(DistanceMetric::Cosine, codes));
    ASSERT_TRUE(c);
    std::mt19937 same(9);
    for (std::uint64_t id = 0; id < kMinSize + 10; ++id) {
      std::vector<float> v(kDim);
      for (float& x : v) x = normal(same);
      ASSERT_TRUE(c->insert(id, v, group_payload(id)));
    }
    EXPECT_EQ(c->bound_codes_active(), codes);
    ASSERT_TRUE(c->close());
  }
  for (const char* name : {"meta.json", "wal.log", "data.vdb"}) {
    EXPECT_EQ(read_bytes(with.file(name)), read_bytes(without.file(name))) << name;
  }
  // A read-only open keeps codes too.
  OpenOptions read_only;
  read_only.intent = OpenIntent::OpenExisting;
  read_only.read_only = true;
  auto reader = PersistentCollection::open(with.str(), codes_config(DistanceMetric::Cosine, true), read_only);
  ASSERT_TRUE(reader);
  (*reader)->wait_for_bound_codes();
  EXPECT_TRUE((*reader)->bound_codes_active());
  std::vector<float> q(kDim, 0.5f);
  auto hits = (*reader)->search(q.data(), kDim, 3);
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_TRUE(same_bits(hits[0].distance, (*reader)->search(q.data(), kDim, 1)[0].distance));
}

}  // namespace
}  // namespace velmoradb::testing
