// An index with bound codes switched on answers every single-query search,
// filtered or not, as an index that scans: the same distances bit for bit
// and ids that truly have them, through inserts of every kind, removes that
// move slots, replaces, rebuilds of the codes and on every kernel path.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <stop_token>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "engine/kernels/kernels.h"
#include "engine/index/vector_index.h"

namespace velmoradb {
namespace {

using Vec = std::vector<float>;

bool same_bits(float a, float b) {
  std::uint32_t x, y;
  std::memcpy(&x, &a, 4);
  std::memcpy(&y, &b, 4);
  return x == y;
}

// Gaussian rows, with every fifth row a copy of an earlier one (ties), and
// rows of small integers mixed in (exact ties between different vectors).
Vec make_rows(std::size_t count, std::size_t dim, float scale, std::mt19937& gen) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::uniform_int_distribution<int> small(-1, 1);
  Vec rows(count * dim);
  for (std::size_t r = 0; r < count; ++r) {
    for (std::size_t i = 0; i < dim; ++i) {
      float& x = rows[r * dim + i];
      if (r % 5 == 4 && r >= 5) {
        x = rows[(r - 5) * dim + i];
      } else {
        x = r % 7 == 3 ? static_cast<float>(small(gen)) : normal(gen) * scale;
      }
    }
  }
  return rows;
}

Payload tag_payload(std::uint64_t id) {
  Payload p;
  p.data.emplace("tag", static_cast<std::uint64_t>(id % 4));
  return p;
}

// The indexes under test: one scanning, one with codes; every change goes
// to both, so their slots stay the same.
class CodesVsScan {
 public:
  CodesVsScan(DistanceMetric metric, std::size_t dim, const KernelSet& kernels)
      : metric_(metric), dim_(dim), scan_(metric, dim), codes_(metric, dim) {
    scan_.set_kernels(kernels);
    codes_.set_kernels(kernels);
  }
  VectorIndex& codes() { return codes_; }
  VectorIndex& scan() { return scan_; }

  void insert(std::uint64_t id, const float* v, bool with_payload) {
    Payload p = with_payload ? tag_payload(id) : Payload{};
    ASSERT_TRUE(scan_.insert(id, v, dim_, p));
    ASSERT_TRUE(codes_.insert(id, v, dim_, p));
  }
  void insert_batch(const std::vector<std::uint64_t>& ids, const Vec& rows) {
    ASSERT_TRUE(scan_.insert_batch(ids.data(), rows.data(), ids.size()));
    ASSERT_TRUE(codes_.insert_batch(ids.data(), rows.data(), ids.size()));
  }
  // Through insert_rows, from rows one byte off alignment.
  void insert_rows(const std::vector<std::uint64_t>& ids, const Vec& rows) {
    std::vector<std::uint8_t> bytes(rows.size() * 4 + 1);
    std::memcpy(bytes.data() + 1, rows.data(), rows.size() * 4);
    std::vector<const std::uint8_t*> ptrs;
    for (std::size_t r = 0; r < ids.size(); ++r) ptrs.push_back(bytes.data() + 1 + r * dim_ * 4);
    ASSERT_TRUE(scan_.insert_rows(ids.data(), ptrs.data(), ids.size()));
    ASSERT_TRUE(codes_.insert_rows(ids.data(), ptrs.data(), ids.size()));
  }
  void remove(std::uint64_t id) {
    ASSERT_EQ(scan_.remove(id).has_value(), codes_.remove(id).has_value());
  }

  // Every query, unfiltered and with two filters (a payload tag; every
  // third slot), at several k up to past the size.
  void expect_same_answers(const Vec& queries, const std::string& stage) {
    ASSERT_TRUE(codes_.bound_codes_active()) << stage;
    ASSERT_FALSE(scan_.bound_codes_active());
    const std::size_t n = codes_.size();
    SlotBitmap thirds(n);
    for (std::size_t s = 0; s < n; s += 3) thirds.set(s);
    for (std::size_t q = 0; q * dim_ < queries.size(); ++q) {
      const float* query = queries.data() + q * dim_;
      for (std::size_t k : {std::size_t{1}, std::size_t{10}, std::size_t{257}, n + 3}) {
        const std::string where = stage + ", query " + std::to_string(q) + ", k " + std::to_string(k);
        check(query, scan_.search(query, dim_, k), codes_.search(query, dim_, k), nullptr, where);
        const SlotBitmap tagged = codes_.matching(tag_filter());
        check(query, scan_.search(query, dim_, k, scan_.matching(tag_filter())),
              codes_.search(query, dim_, k, tagged), &tagged, where + ", tagged");
        check(query, scan_.search(query, dim_, k, thirds), codes_.search(query, dim_, k, thirds), &thirds,
              where + ", thirds");
      }
    }
    // Batches, which bound against the kept codes where they are int8 codes.
    const std::size_t nq = queries.size() / dim_;
    for (std::size_t k : {std::size_t{1}, std::size_t{10}, n + 3}) {
      const auto got = codes_.search_batch(queries.data(), nq, k);
      const auto got_thirds = codes_.search_batch(queries.data(), nq, k, thirds);
      for (std::size_t q = 0; q < nq; ++q) {
        const float* query = queries.data() + q * dim_;
        const std::string where = stage + ", batch, query " + std::to_string(q) + ", k " + std::to_string(k);
        check(query, scan_.search(query, dim_, k), got[q], nullptr, where);
        check(query, scan_.search(query, dim_, k, thirds), got_thirds[q], &thirds, where + ", thirds");
        // A batch of one takes the single search's path.
        check(query, scan_.search(query, dim_, k), codes_.search_batch(query, 1, k).at(0), nullptr, where + ", one");
        check(query, scan_.search(query, dim_, k, thirds), codes_.search_batch(query, 1, k, thirds).at(0), &thirds,
              where + ", one, thirds");
      }
    }
  }

 private:
  // {"tag": 1}
  static Filter tag_filter() {
    JsonObject where;
    where.emplace("tag", JsonValue(std::uint64_t{1}));
    auto filter = Filter::compile(JsonValue(std::move(where)));
    EXPECT_TRUE(filter);
    return filter ? *filter : Filter();
  }

  void check(const float* query, const std::vector<SearchResult>& want,
             const std::vector<SearchResult>& got, const SlotBitmap* filter, const std::string& where) {
    ASSERT_EQ(got.size(), want.size()) << where;
    std::map<std::uint64_t, int> seen;
    Vec v(dim_);
    for (std::size_t j = 0; j < got.size(); ++j) {
      ASSERT_TRUE(same_bits(got[j].distance, want[j].distance))
          << where << ": rank " << j << " distance " << got[j].distance << ", want " << want[j].distance;
      ASSERT_EQ(seen[got[j].id]++, 0) << where << ": id " << got[j].id << " twice";
      const std::uint32_t slot = codes_.slot_map().find(got[j].id);
      ASSERT_NE(slot, IdSlotMap::kNone) << where;
      if (filter) {
        ASSERT_TRUE(filter->test(slot)) << where << ": id " << got[j].id << " filtered out";
      }
      codes_.read_slot(slot, v.data());
      ASSERT_TRUE(same_bits(distance(metric_, query, v.data(), dim_), got[j].distance))
          << where << ": id " << got[j].id << " has another distance";
      ASSERT_EQ(got[j].payload, scan_.payload_of(got[j].id).value_or(Payload{})) << where;
    }
  }

  DistanceMetric metric_;
  std::size_t dim_;
  VectorIndex scan_;
  VectorIndex codes_;
};

// Fresh queries, stored vectors (distance zero, duplicates), and a zero
// query.
Vec make_queries(const VectorIndex& index, std::size_t dim, std::mt19937& gen) {
  Vec q = make_rows(3, dim, 1.0f, gen);
  Vec v(dim);
  for (std::uint32_t slot : {0u, static_cast<std::uint32_t>(index.size() / 2)}) {
    index.read_slot(slot, v.data());
    q.insert(q.end(), v.begin(), v.end());
  }
  q.insert(q.end(), dim, 0.0f);
  return q;
}

std::vector<const KernelSet*> paths() {
  const KernelSet* sets[8];
  const std::size_t n = available_kernels(sets, 8);
  return {sets, sets + n};
}

using Case = std::tuple<DistanceMetric, const KernelSet*>;

class IndexCodes : public ::testing::TestWithParam<Case> {};

// Codes built at the switch from a sample of a large index, then kept
// through every kind of change, including inserts far outside the cells
// (which build them anew).
TEST_P(IndexCodes, SearchesMatchTheScanThroughEveryChange) {
  const auto [metric, kernels] = GetParam();
  const std::size_t dim = 19;  // a tail past the 16-term blocks
  std::mt19937 gen(11 + static_cast<unsigned>(metric));
  CodesVsScan both(metric, dim, *kernels);

  // Past the minimum size and the sample: cells from a sample, codes appended.
  const std::size_t n0 = kBoundCodesMinSize + 4000;
  const Vec rows0 = make_rows(n0, dim, 1.0f, gen);
  std::vector<std::uint64_t> ids0(n0);
  for (std::size_t i = 0; i < n0; ++i) ids0[i] = i;
  both.insert_batch(ids0, rows0);
  EXPECT_EQ(both.codes().bound_codes_bytes(), 0u);
  both.codes().use_bound_codes(true);
  EXPECT_GT(both.codes().bound_codes_bytes(), n0 * dim);
  for (std::size_t i = 0; i < 300; ++i) both.insert(n0 + i, make_rows(1, dim, 1.0f, gen).data(), true);
  const Vec queries = make_queries(both.codes(), dim, gen);
  both.expect_same_answers(queries, "built");

  // Removes move the last slot into the freed one; replaces are a remove
  // and an insert, as the collection does them.
  std::uniform_int_distribution<std::uint64_t> any(0, n0 - 1);
  for (int i = 0; i < 2000; ++i) both.remove(any(gen));
  for (int i = 0; i < 500; ++i) {
    const std::uint64_t id = any(gen);
    both.remove(id);
    both.insert(id, make_rows(1, dim, 1.0f, gen).data(), i % 2 == 0);
  }
  both.expect_same_answers(queries, "removed and replaced");

  // Vectors far outside the cells, one at a time and in batches: enough
  // to build the codes anew on the way.
  const std::size_t far = n0 / 8;
  const Vec rows1 = make_rows(far, dim, 30.0f, gen);
  for (std::size_t i = 0; i < far / 2; ++i) both.insert(1'000'000 + i, rows1.data() + i * dim, i % 3 == 0);
  std::vector<std::uint64_t> ids1, ids2;
  for (std::size_t i = far / 2; i < 3 * far / 4; ++i) ids1.push_back(1'000'000 + i);
  for (std::size_t i = 3 * far / 4; i < far; ++i) ids2.push_back(1'000'000 + i);
  both.insert_batch(ids1, Vec(rows1.begin() + far / 2 * dim, rows1.begin() + 3 * far / 4 * dim));
  both.insert_rows(ids2, Vec(rows1.begin() + 3 * far / 4 * dim, rows1.end()));
  both.expect_same_answers(make_queries(both.codes(), dim, gen), "grown outside the cells");

  // Off frees the codes and searches scan; on builds them again.
  both.codes().use_bound_codes(false);
  EXPECT_FALSE(both.codes().bound_codes_active());
  EXPECT_EQ(both.codes().bound_codes_bytes(), 0u);
  both.codes().use_bound_codes(true);
  both.expect_same_answers(queries, "switched off and on");
}

// A small index with a low minimum: the codes are built by the insert that
// reaches it, from every vector; removes below the minimum return to the
// scan and leave the codes current.
TEST_P(IndexCodes, TheMinimumSizeDecidesAndTheCodesStayCurrentBelowIt) {
  const auto [metric, kernels] = GetParam();
  const std::size_t dim = 8;
  std::mt19937 gen(5 + static_cast<unsigned>(metric));
  CodesVsScan both(metric, dim, *kernels);
  both.codes().set_bound_codes_min_size(200);
  both.codes().use_bound_codes(true);
  const Vec rows = make_rows(400, dim, 1.0f, gen);
  for (std::size_t i = 0; i < 199; ++i) both.insert(i, rows.data() + i * dim, i % 2 == 0);
  EXPECT_FALSE(both.codes().bound_codes_active());
  EXPECT_EQ(both.codes().bound_codes_bytes(), 0u);
  both.insert(199, rows.data() + 199 * dim, false);
  EXPECT_TRUE(both.codes().bound_codes_active());
  const Vec queries = make_queries(both.codes(), dim, gen);
  both.expect_same_answers(queries, "at the minimum");
  for (std::uint64_t id = 0; id < 50; ++id) both.remove(id * 3);
  EXPECT_FALSE(both.codes().bound_codes_active());
  for (std::size_t i = 200; i < 400; ++i) both.insert(i, rows.data() + i * dim, i % 2 == 1);
  both.expect_same_answers(queries, "below the minimum and back");
  // A filter of no slot, and the queries the index refuses.
  EXPECT_TRUE(both.codes().search(queries.data(), dim, 5, SlotBitmap(both.codes().size())).empty());
  EXPECT_TRUE(both.codes().search(queries.data(), dim, 5, SlotBitmap(3)).empty());
  EXPECT_TRUE(both.codes().search(queries.data(), dim - 1, 5).empty());
  EXPECT_TRUE(both.codes().search(queries.data(), dim, 0).empty());
}

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  return std::string(metric_name(std::get<0>(info.param))) + "_" + std::get<1>(info.param)->name;
}

INSTANTIATE_TEST_SUITE_P(MetricsAndKernels, IndexCodes,
                         ::testing::Combine(::testing::Values(DistanceMetric::Euclidean, DistanceMetric::DotProduct,
                                                              DistanceMetric::Cosine),
                                            ::testing::ValuesIn(paths())),
                         case_name);

// The Hamming metric and dimension 0 always scan: no codes are kept.
TEST(IndexCodesNotKept, ForHammingAndDimensionZero) {
  for (auto [metric, dim] : {std::pair{DistanceMetric::Hamming, std::size_t{4}},
                             std::pair{DistanceMetric::Euclidean, std::size_t{0}}}) {
    VectorIndex index(metric, dim);
    index.set_bound_codes_min_size(1);
    index.use_bound_codes(true);
    const Vec v(dim, 1.0f);
    for (std::uint64_t id = 0; id < 40; ++id) ASSERT_TRUE(index.insert(id, v.data(), dim));
    EXPECT_TRUE(index.bound_codes_enabled());
    EXPECT_FALSE(index.bound_codes_active());
    EXPECT_EQ(index.bound_codes_bytes(), 0u);
    EXPECT_EQ(index.search(v.data(), dim, 50).size(), 40u);
  }
}

}  // namespace
}  // namespace velmoradb

namespace velmoradb {
namespace {

// Codes built in steps apart from the index (as a collection builds them
// under a shared lock) and installed: the same answers and, with no change
// in between, the same codes as use_bound_codes(true) builds at once.
class IndexCodesInSteps : public ::testing::TestWithParam<DistanceMetric> {};

TEST_P(IndexCodesInSteps, InstallWhatASynchronousBuildHolds) {
  const DistanceMetric metric = GetParam();
  const std::size_t dim = 19;
  std::mt19937 gen(23 + static_cast<unsigned>(metric));
  CodesVsScan both(metric, dim, best_kernels());
  VectorIndex at_once(metric, dim);
  const std::size_t n0 = kBoundCodesMinSize + 3000;  // cells from a sample
  const Vec rows = make_rows(n0, dim, 1.0f, gen);
  std::vector<std::uint64_t> ids(n0);
  for (std::size_t i = 0; i < n0; ++i) ids[i] = i;
  both.insert_batch(ids, rows);
  ASSERT_TRUE(at_once.insert_batch(ids.data(), rows.data(), n0));
  at_once.use_bound_codes(true);

  std::optional<BoundCodesBuild> build = both.codes().begin_bound_codes();
  ASSERT_TRUE(build && build->codes);
  std::size_t steps = 0;
  VectorIndex::BuildStep step = VectorIndex::BuildStep::More;
  while (step == VectorIndex::BuildStep::More) {
    step = both.codes().extend_bound_codes(*build, 5001);  // not a whole number of blocks
    ++steps;
  }
  ASSERT_EQ(step, VectorIndex::BuildStep::Done);
  EXPECT_EQ(steps, (n0 + 5000) / 5001);
  EXPECT_FALSE(both.codes().bound_codes_enabled());  // nothing installed yet
  ASSERT_TRUE(both.codes().install_bound_codes(std::move(*build)));
  EXPECT_TRUE(both.codes().bound_codes_enabled());
  EXPECT_EQ(both.codes().bound_codes_bytes(), at_once.bound_codes_bytes());
  both.expect_same_answers(make_queries(both.codes(), dim, gen), "installed");
}

// Inserts of every kind during a build and after its last step are coded
// when it is installed; a remove makes the build stale and the install
// refuses it, changing nothing.
TEST_P(IndexCodesInSteps, InsertsAreCaughtUpAndRemovesMakeTheBuildStale) {
  const DistanceMetric metric = GetParam();
  const std::size_t dim = 11;
  std::mt19937 gen(29 + static_cast<unsigned>(metric));
  CodesVsScan both(metric, dim, best_kernels());
  const std::size_t n0 = kBoundCodesMinSize + 100;
  std::vector<std::uint64_t> ids(n0);
  for (std::size_t i = 0; i < n0; ++i) ids[i] = i;
  both.insert_batch(ids, make_rows(n0, dim, 1.0f, gen));

  std::uint64_t next = n0;
  auto grow = [&](std::size_t count, float scale) {
    const Vec rows = make_rows(count, dim, scale, gen);
    std::vector<std::uint64_t> more(count / 2), rest;
    for (auto& id : more) id = next++;
    for (std::size_t i = count / 2; i + 1 < count; ++i) rest.push_back(next++);
    both.insert_batch(more, Vec(rows.begin(), rows.begin() + more.size() * dim));
    both.insert_rows(rest, Vec(rows.begin() + more.size() * dim, rows.begin() + (count - 1) * dim));
    both.insert(next++, rows.data() + (count - 1) * dim, true);
  };

  for (bool remove_during : {true, false}) {
    const std::string stage = remove_during ? "removed during the build" : "grown during the build";
    std::optional<BoundCodesBuild> build = both.codes().begin_bound_codes();
    ASSERT_TRUE(build && build->codes);
    ASSERT_EQ(both.codes().extend_bound_codes(*build, 4000), VectorIndex::BuildStep::More);
    grow(300, 1.0f);  // coded by the next steps
    if (remove_during) both.remove(17);
    VectorIndex::BuildStep step = VectorIndex::BuildStep::More;
    while (step == VectorIndex::BuildStep::More) step = both.codes().extend_bound_codes(*build, 4000);
    if (remove_during) {
      EXPECT_EQ(step, VectorIndex::BuildStep::Stale) << stage;
      EXPECT_FALSE(both.codes().install_bound_codes(std::move(*build))) << stage;
      EXPECT_FALSE(both.codes().bound_codes_enabled()) << stage;
      EXPECT_EQ(both.codes().bound_codes_bytes(), 0u) << stage;
      continue;
    }
    ASSERT_EQ(step, VectorIndex::BuildStep::Done) << stage;
    // After the last step: coded at the install, far outside the cells too.
    grow(2000, 40.0f);
    ASSERT_TRUE(both.codes().install_bound_codes(std::move(*build))) << stage;
    both.expect_same_answers(make_queries(both.codes(), dim, gen), stage);
  }
  // Kept current afterwards as ever.
  for (std::uint64_t id = 0; id < 500; id += 3) both.remove(id);
  grow(100, 1.0f);
  both.expect_same_answers(make_queries(both.codes(), dim, gen), "changed after the install");
}

// Below the minimum a build holds no codes; installed after the index
// reached the minimum, it builds them then. A stop request ends a build
// at its next look.
TEST_P(IndexCodesInSteps, BelowTheMinimumAndStopped) {
  const DistanceMetric metric = GetParam();
  const std::size_t dim = 6;
  std::mt19937 gen(31 + static_cast<unsigned>(metric));
  CodesVsScan both(metric, dim, best_kernels());
  both.codes().set_bound_codes_min_size(300);
  const Vec rows = make_rows(400, dim, 1.0f, gen);
  for (std::size_t i = 0; i < 250; ++i) both.insert(i, rows.data() + i * dim, false);
  std::optional<BoundCodesBuild> build = both.codes().begin_bound_codes();
  ASSERT_TRUE(build);
  EXPECT_EQ(build->codes, nullptr);
  EXPECT_EQ(both.codes().extend_bound_codes(*build, 10), VectorIndex::BuildStep::Done);
  for (std::size_t i = 250; i < 400; ++i) both.insert(i, rows.data() + i * dim, false);
  ASSERT_TRUE(both.codes().install_bound_codes(std::move(*build)));
  both.expect_same_answers(make_queries(both.codes(), dim, gen), "reached the minimum");

  std::stop_source stop;
  std::optional<BoundCodesBuild> second = both.codes().begin_bound_codes(stop.get_token());
  ASSERT_TRUE(second && second->codes);
  stop.request_stop();
  EXPECT_EQ(both.codes().extend_bound_codes(*second, 1000, stop.get_token()), VectorIndex::BuildStep::Cancelled);
  EXPECT_FALSE(both.codes().begin_bound_codes(stop.get_token()).has_value());
}

INSTANTIATE_TEST_SUITE_P(Metrics, IndexCodesInSteps,
                         ::testing::Values(DistanceMetric::Euclidean, DistanceMetric::DotProduct,
                                           DistanceMetric::Cosine),
                         [](const auto& info) { return std::string(metric_name(info.param)); });

}  // namespace
}  // namespace velmoradb
