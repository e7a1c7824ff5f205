// The search of a data file before its load: the answer of the index the
// load builds from the same file, on every kernel path, or none at all.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "collection/data_file_search.h"
#include "collection_fixture.h"
#include "engine/kernels/kernels.h"

namespace velmoradb::testing {
namespace {

std::vector<const KernelSet*> paths() {
  const KernelSet* sets[8];
  std::size_t n = available_kernels(sets, 8);
  return {sets, sets + n};
}

// A file of live, deleted and replaced records, records of another
// dimension, duplicate vectors and vectors with infinite or NaN
// components, with the index a load of it gives (the latest live record of
// each id).
struct Fixture {
  ScratchDir dir;
  std::unique_ptr<VectorDataFile> file;
  VectorIndex index;
  std::map<std::uint64_t, Payload> payloads;

  Fixture(DistanceMetric metric, std::size_t dim, std::size_t n, const KernelSet& kernels, std::uint32_t seed)
      : index(metric, dim) {
    index.set_kernels(kernels);
    auto opened = VectorDataFile::open(default_file_system(), dir.file("data.vdb"));
    EXPECT_TRUE(opened);
    file = std::move(*opened);
    std::mt19937 gen(seed);
    std::normal_distribution<float> normal;
    std::vector<std::vector<float>> vectors;
    for (std::size_t i = 0; i < n; ++i) {
      std::vector<float> v(dim);
      for (float& x : v) x = normal(gen);
      if (i % 97 == 5) v = vectors[i / 2];                            // a duplicate vector
      if (i % 211 == 7) v[0] = std::numeric_limits<float>::infinity();
      if (i % 223 == 9) v[dim - 1] = std::numeric_limits<float>::quiet_NaN();
      if (i % 50 == 3) v.assign(v.begin(), v.end() - 1);              // never indexed
      vectors.push_back(v);
      Payload p = i % 3 == 0 ? Payload{} : payload("tag", static_cast<double>(i % 7));
      auto offset = file->append(i, v.data(), v.size(), p);
      EXPECT_TRUE(offset);
      if (i % 13 == 4) {
        EXPECT_TRUE(file->mark_deleted(*offset));
        continue;
      }
      if (v.size() == dim) {
        index.remove(i);
        EXPECT_TRUE(index.insert(i, v, p));
        payloads[i] = p;
      }
    }
    EXPECT_TRUE(file->sync());
  }
};

using Param = std::tuple<const KernelSet*, DistanceMetric>;

class DataFileSearch : public ::testing::TestWithParam<Param> {};

// The lists agree when their distances agree bit for bit and each id has
// the distance the index gives it: equal distances may swap ids.
void expect_same(const std::vector<SearchResult>& got, const std::vector<SearchResult>& want,
                 const std::map<std::uint64_t, float>& all, const std::map<std::uint64_t, Payload>& payloads) {
  ASSERT_EQ(got.size(), want.size());
  std::map<std::uint64_t, int> seen;
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].distance), std::bit_cast<std::uint32_t>(want[i].distance))
        << "rank " << i;
    ASSERT_TRUE(all.count(got[i].id)) << got[i].id;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].distance), std::bit_cast<std::uint32_t>(all.at(got[i].id)));
    EXPECT_EQ(got[i].payload, payloads.at(got[i].id));
    EXPECT_EQ(++seen[got[i].id], 1) << "id " << got[i].id << " twice";
  }
}

TEST_P(DataFileSearch, GivesTheLoadedIndexsAnswer) {
  const auto [kernels, metric] = GetParam();
  for (std::size_t dim : {3u, 16u, 37u}) {
    Fixture f(metric, dim, 900, *kernels, static_cast<std::uint32_t>(dim));
    std::mt19937 gen(7);
    std::normal_distribution<float> normal;
    for (std::size_t k : {std::size_t{1}, std::size_t{10}, std::size_t{100}, f.index.size() + 5}) {
      std::vector<float> query(dim);
      for (float& x : query) x = normal(gen);
      std::map<std::uint64_t, float> all;
      for (const SearchResult& r : f.index.search(query, f.index.size())) all[r.id] = r.distance;
      auto got = search_data_file(*f.file, metric, dim, query.data(), k, *kernels);
      ASSERT_TRUE(got) << "dim " << dim << " k " << k;
      SCOPED_TRACE("dim " + std::to_string(dim) + " k " + std::to_string(k));
      expect_same(*got, f.index.search(query, k), all, f.payloads);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(PathsAndMetrics, DataFileSearch,
                         ::testing::Combine(::testing::ValuesIn(paths()),
                                            ::testing::Values(DistanceMetric::Euclidean, DistanceMetric::Cosine,
                                                              DistanceMetric::DotProduct)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)->name) + "_" +
                                  std::to_string(static_cast<int>(std::get<1>(info.param)));
                         });

// An id written twice with both records live (a replacement whose marker
// never reached the file): the later record is the id's.
class ReplacedRecord : public ::testing::TestWithParam<bool> {};

TEST_P(ReplacedRecord, AnswersOnlyWhenTheEarlierRecordIsNotAmongTheNearest) {
  const bool earlier_is_nearest = GetParam();
  ScratchDir dir;
  auto file = VectorDataFile::open(default_file_system(), dir.file("data.vdb"));
  ASSERT_TRUE(file);
  const float near[2] = {0.0f, 0.0f};
  const float far[2] = {100.0f, 100.0f};
  for (std::uint64_t id = 1; id <= 40; ++id) {
    const float v[2] = {static_cast<float>(id), 1.0f};
    ASSERT_TRUE((*file)->append(id, v, 2, {}));
  }
  ASSERT_TRUE((*file)->append(7, earlier_is_nearest ? near : far, 2, {}));
  ASSERT_TRUE((*file)->append(50, near, 2, {}));
  ASSERT_TRUE((*file)->append(7, earlier_is_nearest ? far : near, 2, {}));
  ASSERT_TRUE((*file)->sync());

  const float query[2] = {0.0f, 0.0f};
  auto got = search_data_file(**file, DistanceMetric::Euclidean, 2, query, 3);
  if (earlier_is_nearest) {
    EXPECT_FALSE(got);  // the load keeps the far record of 7
    return;
  }
  ASSERT_TRUE(got);
  ASSERT_EQ(got->size(), 3u);
  EXPECT_EQ(std::min((*got)[0].id, (*got)[1].id), 7u);
  EXPECT_EQ(std::max((*got)[0].id, (*got)[1].id), 50u);
  EXPECT_EQ((*got)[2].id, 1u);
}

INSTANTIATE_TEST_SUITE_P(Both, ReplacedRecord, ::testing::Bool());

TEST(DataFileSearch, StopsWhereTheLoadStops) {
  ScratchDir dir;
  {
    auto file = VectorDataFile::open(default_file_system(), dir.file("data.vdb"));
    ASSERT_TRUE(file);
    for (std::uint64_t id = 1; id <= 10; ++id) {
      const float v[2] = {static_cast<float>(id), 0.0f};
      ASSERT_TRUE((*file)->append(id, v, 2, {}));
    }
    ASSERT_TRUE((*file)->sync());
  }
  // A torn record behind them, nearer than any: never loaded.
  std::string bytes = read_bytes(dir.file("data.vdb"));
  std::string torn = bytes.substr(0, 17 + 8 + 11);
  torn[1] = 99;
  write_bytes(dir.file("data.vdb"), bytes + torn.substr(0, 20));
  auto file = VectorDataFile::open_read_only(default_file_system(), dir.file("data.vdb"));
  ASSERT_TRUE(file);
  const float query[2] = {0.0f, 0.0f};
  auto got = search_data_file(**file, DistanceMetric::Euclidean, 2, query, 20);
  ASSERT_TRUE(got);
  ASSERT_EQ(got->size(), 10u);
  EXPECT_EQ(got->front().id, 1u);
}

TEST(DataFileSearch, DeclinesWhatItCannotAnswer) {
  ScratchDir dir;
  auto file = VectorDataFile::open(default_file_system(), dir.file("data.vdb"));
  ASSERT_TRUE(file);
  const float v[2] = {1.0f, 2.0f};
  ASSERT_TRUE((*file)->append(1, v, 2, {}));
  ASSERT_TRUE((*file)->sync());
  EXPECT_FALSE(search_data_file(**file, DistanceMetric::Euclidean, 2, v, 0));
  EXPECT_FALSE(search_data_file(**file, DistanceMetric::Euclidean, 2, v, kMaxDataFileSearchK + 1));
  EXPECT_FALSE(search_data_file(**file, DistanceMetric::Euclidean, 0, v, 1));
  auto empty = VectorDataFile::open(default_file_system(), dir.file("empty.vdb"));
  ASSERT_TRUE(empty);
  auto none = search_data_file(**empty, DistanceMetric::Euclidean, 2, v, 5);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

}  // namespace
}  // namespace velmoradb::testing
