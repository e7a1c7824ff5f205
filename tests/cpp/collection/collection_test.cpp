#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "collection/collection.h"
#include "collection_fixture.h"
#include "engine/filter_reference.h"
#include "storage/meta.h"

namespace velmoradb::testing {
namespace {

using Map = std::map<std::uint64_t, std::vector<float>>;
constexpr std::uint64_t kRecord3 = 17 + 12 + 11;  // a dimension-3 record, empty payload

TEST(CollectionOpen, CreatesDirectoryWithParentsAndEmptyFiles) {
  ScratchDir dir;
  std::string path = dir.file("a/b/c");
  auto c = open_ok(path, config(128, DistanceMetric::Cosine));
  ASSERT_TRUE(c);
  EXPECT_EQ(file_size(path + "/wal.log"), 0u);
  EXPECT_EQ(file_size(path + "/data.vdb"), 0u);
  EXPECT_EQ(read_bytes(path + "/meta.json"),
            "{\n  \"dimension\": 128,\n  \"metric\": \"Cosine\",\n  \"vector_count\": 0,\n"
            "  \"next_id\": 1\n}");
}

TEST(CollectionOpen, DimensionMismatchFailsAndChangesNoFile) {
  ScratchDir dir;
  {
    auto c = open_ok(dir.str(), config(3));
    ASSERT_TRUE(c->insert(1, {1, 2, 3}));
  }
  std::string wal = read_bytes(dir.file("wal.log")), data = read_bytes(dir.file("data.vdb"));
  std::string meta = read_bytes(dir.file("meta.json"));
  auto r = PersistentCollection::open_or_create(dir.str(), config(4));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "collection error: dimension mismatch: collection has 3, config has 4");
  EXPECT_EQ(read_bytes(dir.file("wal.log")), wal);
  EXPECT_EQ(read_bytes(dir.file("data.vdb")), data);
  EXPECT_EQ(read_bytes(dir.file("meta.json")), meta);
}

TEST(CollectionOpen, PathThatIsAFileFailsAndStaysAsItWas) {
  ScratchDir dir;
  std::string path = dir.file("f");
  write_bytes(path, "not a collection");
  auto r = PersistentCollection::open_or_create(path, config(3));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "collection error: " + path + " is a file, not a directory");
  EXPECT_EQ(read_bytes(path), "not a collection");
}

TEST(CollectionOpen, AnotherMetricGovernsSearchAndNextFlush) {
  ScratchDir dir;
  {
    auto c = open_ok(dir.str(), config(2, DistanceMetric::Euclidean));
    ASSERT_TRUE(c->insert(1, {1, 0}));
    ASSERT_TRUE(c->insert(2, {10, 0}));
    ASSERT_TRUE(c->flush());
  }
  auto c = open_ok(dir.str(), config(2, DistanceMetric::DotProduct));
  std::vector<float> q{1, 0};
  auto hits = c->search(q.data(), 2, 1);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id, 2u);  // largest dot product first
  EXPECT_EQ(hits[0].distance, -10.0f);
  ASSERT_TRUE(c->flush());
  EXPECT_NE(read_bytes(dir.file("meta.json")).find("\"DotProduct\""), std::string::npos);
}

TEST(CollectionOpen, MissingMetaOpensAsNewAndCountsLoadedRecords) {
  ScratchDir dir;
  {
    auto c = open_ok(dir.str(), config(3));
    ASSERT_TRUE(c->insert(4, {1, 1, 1}));
    ASSERT_TRUE(c->insert(8, {2, 2, 2}));
    ASSERT_TRUE(c->flush());
  }
  std::filesystem::remove(dir.file("meta.json"));
  auto c = open_ok(dir.str(), config(3));
  EXPECT_EQ(c->size(), 2u);
  auto meta = read_meta(default_file_system(), dir.str());
  ASSERT_TRUE(meta);
  EXPECT_EQ(meta->vector_count, 2u);
  EXPECT_EQ(meta->next_id, 9u);
}

// The records of a collection closed without a flush are in the data file
// already: the replay appends only those that are not.
TEST(CollectionReplay, UnflushedInsertsAreReplayedAndAppendedOnlyWhenMissing) {
  for (bool lose_data : {false, true}) {
    ScratchDir dir;
    {
      auto c = open_ok(dir.str(), config(3));
      ASSERT_TRUE(c->insert(5, {5, 5, 5}));
      ASSERT_TRUE(c->insert(9, {9, 9, 9}));
    }
    if (lose_data) truncate_to(dir.file("data.vdb"), kRecord3);  // id 9's record lost
    auto c = open_ok(dir.str(), config(3));
    EXPECT_EQ(c->snapshot(), (Map{{5, {5, 5, 5}}, {9, {9, 9, 9}}}));
    EXPECT_EQ(c->next_id(), 10u);
    c.reset();
    EXPECT_EQ(file_size(dir.file("data.vdb")), 2 * kRecord3);
    EXPECT_EQ(file_size(dir.file("wal.log")), 0u);
  }
}

TEST(CollectionReplay, FlushThenReopenAppendsNothing) {
  ScratchDir dir;
  {
    auto c = open_ok(dir.str(), config(3));
    ASSERT_TRUE(c->insert(4, {1, 2, 3}));
    ASSERT_TRUE(c->insert(10, {4, 5, 6}));
    ASSERT_TRUE(c->flush());
    EXPECT_EQ(file_size(dir.file("wal.log")), 0u);
    auto meta = read_meta(default_file_system(), dir.str());
    EXPECT_EQ(meta->vector_count, 2u);
    EXPECT_EQ(meta->next_id, 11u);
  }
  std::uint64_t before = file_size(dir.file("data.vdb"));
  auto c = open_ok(dir.str(), config(3));
  c.reset();
  EXPECT_EQ(file_size(dir.file("data.vdb")), before);
}

TEST(CollectionReplay, FlushOnFreshCollectionWritesEmptyState) {
  ScratchDir dir;
  auto c = open_ok(dir.str(), config(3));
  ASSERT_TRUE(c->flush());
  EXPECT_EQ(file_size(dir.file("wal.log")), 0u);
  auto meta = read_meta(default_file_system(), dir.str());
  EXPECT_EQ(meta->vector_count, 0u);
  EXPECT_EQ(meta->next_id, 1u);
}

// Writes one live record of `id` into a fresh data file, as a previous run would have.
void seed_record(const ScratchDir& dir, std::uint64_t id, std::vector<float> v) {
  auto data = VectorDataFile::open(default_file_system(), dir.file("data.vdb"));
  ASSERT_TRUE(data);
  ASSERT_TRUE((*data)->append(id, v.data(), v.size(), {}));
}

TEST(CollectionReplay, DeleteEntryRemovesIdAndMarksItsRecord) {
  ScratchDir dir;
  seed_record(dir, 7, {7, 7, 7});
  write_log(dir.file("wal.log"), {entry(WalEntryKind::Delete, 7)});
  {
    auto c = open_ok(dir.str(), config(3));
    EXPECT_TRUE(c->snapshot().empty());
  }
  EXPECT_EQ(read_bytes(dir.file("data.vdb"))[0], '\x01');
  // The log still holds the delete; the next open finds nothing to load.
  auto c = open_ok(dir.str(), config(3));
  EXPECT_TRUE(c->snapshot().empty());
}

TEST(CollectionReplay, UpdateEntryReplacesVectorAndSurvivesFlush) {
  ScratchDir dir;
  seed_record(dir, 3, {1, 1, 1});
  write_log(dir.file("wal.log"), {entry(WalEntryKind::Update, 3, {2, 2, 2})});
  {
    auto c = open_ok(dir.str(), config(3));
    EXPECT_EQ(c->snapshot(), (Map{{3, {2, 2, 2}}}));
    EXPECT_EQ(c->next_id(), 4u);
    ASSERT_TRUE(c->flush());
  }
  auto c = open_ok(dir.str(), config(3));
  EXPECT_EQ(c->snapshot(), (Map{{3, {2, 2, 2}}}));
}

TEST(CollectionReplay, CheckpointInTheMiddleChangesNothing) {
  ScratchDir dir;
  write_log(dir.file("wal.log"), {entry(WalEntryKind::Insert, 1, {1, 0, 0}),
                                  entry(WalEntryKind::Checkpoint, 0),
                                  entry(WalEntryKind::Insert, 2, {0, 2, 0}),
                                  entry(WalEntryKind::Delete, 1),
                                  entry(WalEntryKind::Insert, 3, {0, 0, 3})});
  auto c = open_ok(dir.str(), config(3));
  EXPECT_EQ(c->snapshot(), (Map{{2, {0, 2, 0}}, {3, {0, 0, 3}}}));
  EXPECT_EQ(c->next_id(), 4u);
}

TEST(CollectionReplay, CorruptLogFrameFailsOpenAndChangesNoFile) {
  ScratchDir dir;
  {
    auto c = open_ok(dir.str(), config(3));
    ASSERT_TRUE(c->insert(1, {1, 2, 3}));
    ASSERT_TRUE(c->insert(2, {4, 5, 6}));
  }
  std::string wal = read_bytes(dir.file("wal.log"));
  wal[20] ^= 0x01;  // inside the first frame's JSON
  write_bytes(dir.file("wal.log"), wal);
  std::string data = read_bytes(dir.file("data.vdb"));
  auto r = PersistentCollection::open_or_create(dir.str(), config(3));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message().rfind("WAL corrupted: checksum mismatch: expected ", 0), 0u)
      << r.error().message();
  EXPECT_EQ(read_bytes(dir.file("wal.log")), wal);
  EXPECT_EQ(read_bytes(dir.file("data.vdb")), data);
}

TEST(CollectionInsert, ReplacementSurvivesFlushAndReopen) {
  ScratchDir dir;
  {
    auto c = open_ok(dir.str(), config(3));
    ASSERT_TRUE(c->insert(1, {1, 1, 1}));
    ASSERT_TRUE(c->insert(1, {2, 2, 2}));
    EXPECT_EQ(c->snapshot(), (Map{{1, {2, 2, 2}}}));
    ASSERT_TRUE(c->flush());
  }
  auto c = open_ok(dir.str(), config(3));
  EXPECT_EQ(c->snapshot(), (Map{{1, {2, 2, 2}}}));
}

TEST(CollectionInsert, LatestLiveRecordOfAnIdWinsAtLoad) {
  // A data file that already holds two live records of one id.
  ScratchDir dir;
  seed_record(dir, 6, {1, 1, 1});
  seed_record(dir, 6, {3, 3, 3});
  auto c = open_ok(dir.str(), config(3));
  EXPECT_EQ(c->snapshot(), (Map{{6, {3, 3, 3}}}));
}

// The seed of the data, and how many records the file holds: a large load
// attaches the payloads on a thread of its own.
class CollectionLoad : public ::testing::TestWithParam<std::tuple<unsigned, int>> {};

// A data file written by hand with many live records per id: repeats
// within one batch of the load and across batches, records with payloads
// (texts that repeat, and from halfway texts that do not), records of another dimension
// and deleted ones. The open must give what loading the records one by one
// in file order gives (the latest live record of an id wins, in the same
// slots, so even ties come back in the same order, with their payloads,
// found by filters too) and retire every replaced record in the file.
TEST_P(CollectionLoad, ManyRecordsPerIdLoadAsOneByOne) {
  const auto [seed, records] = GetParam();
  ScratchDir dir;
  std::mt19937 gen(seed);
  VectorIndex reference(DistanceMetric::Euclidean, 3);
  std::map<std::uint64_t, std::uint64_t> latest;  // id -> offset of its live record
  std::map<std::uint64_t, std::string> category;  // id -> "c" of its live payload, if any
  std::vector<std::uint64_t> replaced;
  std::uint64_t max_id = 0;
  const std::uint64_t ids = static_cast<std::uint64_t>(records) / 3;
  {
    auto data = VectorDataFile::open(default_file_system(), dir.file("data.vdb"));
    ASSERT_TRUE(data);
    for (int i = 0; i < records; ++i) {
      const std::uint64_t id = gen() % ids;
      // Components from {0, 1}: many vectors tie at any query.
      std::vector<float> v(gen() % 40 == 0 ? 2 : 3);
      for (float& x : v) x = static_cast<float>(gen() % 2);
      Payload payload;
      const unsigned kind = gen() % 10;
      // Texts that never repeat, in the second half only: a large load
      // attaches payloads aside until the first one, then here.
      if (kind == 0 && 2 * i >= records) payload.data["n"] = static_cast<std::uint64_t>(i);
      if (kind >= 5) payload.data["c"] = std::string(1, static_cast<char>('a' + kind % 3));
      auto offset = (*data)->append(id, v.data(), v.size(), payload);
      ASSERT_TRUE(offset);
      if (gen() % 10 == 0) {
        ASSERT_TRUE((*data)->mark_deleted(*offset));
        continue;
      }
      max_id = std::max(max_id, id);
      if (v.size() != 3) continue;
      reference.remove(id);
      ASSERT_TRUE(reference.insert(id, v, payload));
      category.erase(id);
      if (kind >= 5) category[id] = std::string(1, static_cast<char>('a' + kind % 3));
      if (auto [it, added] = latest.try_emplace(id, *offset); !added) {
        replaced.push_back(std::exchange(it->second, *offset));
      }
    }
  }
  ASSERT_FALSE(replaced.empty());
  {
    auto c = open_ok(dir.str(), config(3));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->size(), reference.size());
    EXPECT_EQ(c->next_id(), max_id + 1);
    for (const std::vector<float>& q : {std::vector<float>{0, 0, 0}, std::vector<float>{1, 0, 1}}) {
      auto got = c->search(q.data(), q.size(), 1000);
      auto want = reference.search(q, 1000);
      ASSERT_EQ(got.size(), want.size());
      for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].id, want[i].id) << "rank " << i;
        EXPECT_EQ(got[i].distance, want[i].distance) << "rank " << i;
        EXPECT_EQ(got[i].payload, want[i].payload) << "rank " << i;
      }
    }
    for (const std::string cat : {"a", "b", "c"}) {
      auto where = Filter::compile(*filter_reference::parse_json(R"({"c": ")" + cat + R"("})"));
      ASSERT_TRUE(where);
      std::vector<std::uint64_t> want;
      for (const auto& [id, its] : category) {
        if (its == cat) want.push_back(id);
      }
      auto got = c->ids(&*where);
      ASSERT_TRUE(got);
      std::sort(got->begin(), got->end());
      EXPECT_EQ(*got, want) << cat;
    }
    // The offsets came out of the load too: a delete marks the winner.
    for (auto it = latest.begin(); it != latest.end();) {
      ASSERT_TRUE(c->remove(it->first));
      it = latest.erase(it);
      if (it != latest.end()) ++it;
    }
  }
  // The replaced records are retired: of each id only the winner is live,
  // and of the deleted ids none.
  auto data = VectorDataFile::open(default_file_system(), dir.file("data.vdb"));
  ASSERT_TRUE(data);
  auto loaded = (*data)->load_live_records();
  ASSERT_TRUE(loaded);
  std::map<std::uint64_t, std::uint64_t> live;
  for (const StoredRecord& rec : loaded->records) {
    if (rec.vector.size() == 3) { EXPECT_TRUE(live.emplace(rec.id, rec.offset).second) << rec.id; }
  }
  EXPECT_EQ(live, latest);
}

INSTANTIATE_TEST_SUITE_P(SeedsAndSizes, CollectionLoad,
                         ::testing::Combine(::testing::Values(1u, 2u, 3u), ::testing::Values(1500, 12000)));

struct RefusedInsert {
  std::vector<float> vector;
  std::string message;
};

class CollectionRefusedInsert : public ::testing::TestWithParam<RefusedInsert> {};

TEST_P(CollectionRefusedInsert, WritesNothingAndLaterOpensSucceed) {
  ScratchDir dir;
  {
    auto c = open_ok(dir.str(), config(3));
    ASSERT_TRUE(c->insert(1, {1, 2, 3}));
    auto r = c->insert(2, GetParam().vector);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), GetParam().message);
    EXPECT_EQ(c->snapshot().count(2), 0u);
  }
  EXPECT_EQ(file_size(dir.file("data.vdb")), kRecord3);
  auto c = open_ok(dir.str(), config(3));
  EXPECT_EQ(c->snapshot(), (Map{{1, {1, 2, 3}}}));
}

// In a bulk insert the bad row comes last, after pieces of the batch have
// gone to the file (a non-finite component is found as its row is written):
// the batch is undone.
TEST_P(CollectionRefusedInsert, BulkInsertWritesNothingEither) {
  ScratchDir dir;
  constexpr std::size_t kRows = 300000;  // 8.7 MB of records: pieces reach the file first
  std::vector<std::uint64_t> ids(kRows);
  for (std::size_t i = 0; i < kRows; ++i) ids[i] = i + 2;
  const std::vector<float> good{4, 5, 6};
  {
    auto c = open_ok(dir.str(), config(3));
    ASSERT_TRUE(c->insert(1, {1, 2, 3}));
    auto r = c->insert_batch_direct(ids.data(), kRows, [&](std::size_t i) {
      const std::vector<float>& v = i + 1 == kRows ? GetParam().vector : good;
      return std::pair<const float*, std::size_t>(v.data(), v.size());
    }, nullptr);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), GetParam().message);
    EXPECT_EQ(c->snapshot(), (Map{{1, {1, 2, 3}}}));
    ASSERT_TRUE(c->insert(2, {7, 8, 9}));  // and it takes writes again
  }
  auto c = open_ok(dir.str(), config(3));
  EXPECT_EQ(c->snapshot(), (Map{{1, {1, 2, 3}}, {2, {7, 8, 9}}}));
}

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Cases, CollectionRefusedInsert,
    ::testing::Values(RefusedInsert{{1, 2}, "dimension mismatch: expected 3, got 2"},
                      RefusedInsert{{1, 2, 3, 4}, "dimension mismatch: expected 3, got 4"},
                      RefusedInsert{{1, kNaN, 3},
                                    "collection error: non-finite vector component at position 1"},
                      RefusedInsert{{1, 2, -kInf},
                                    "collection error: non-finite vector component at position 2"},
                      RefusedInsert{{kInf, kNaN, 0},
                                    "collection error: non-finite vector component at position 0"}));

TEST(CollectionInsert, BatchStopsAtTheFirstFailureAndKeepsThePairsBefore) {
  ScratchDir dir;
  std::vector<std::uint64_t> ids{1, 2, 3, 4};
  std::vector<std::vector<float>> rows{{1, 1, 1}, {2, 2, 2}, {3, 3}, {4, 4, 4}};
  {
    auto c = open_ok(dir.str(), config(3));
    auto r = c->insert_batch(ids.data(), ids.size(), [&](std::size_t i) {
      return std::pair<const float*, std::size_t>(rows[i].data(), rows[i].size());
    });
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "dimension mismatch: expected 3, got 2");
    EXPECT_EQ(c->snapshot(), (Map{{1, {1, 1, 1}}, {2, {2, 2, 2}}}));
  }
  auto c = open_ok(dir.str(), config(3));
  EXPECT_EQ(c->snapshot(), (Map{{1, {1, 1, 1}}, {2, {2, 2, 2}}}));
}

TEST(CollectionSearch, FindsUnflushedInsertsAndHonoursKAndQueryLength) {
  ScratchDir dir;
  auto c = open_ok(dir.str(), config(2));
  ASSERT_TRUE(c->insert(1, {0, 1}));
  ASSERT_TRUE(c->insert(2, {0, 3}));
  std::vector<float> q{0, 0}, wrong{0, 0, 0};
  auto hits = c->search(q.data(), 2, 5);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].id, 1u);
  EXPECT_EQ(hits[0].distance, 1.0f);
  EXPECT_TRUE(c->search(q.data(), 2, 0).empty());
  EXPECT_TRUE(c->search(wrong.data(), 3, 5).empty());
}

TEST(CollectionLock, SecondOpenOfTheSameDirectoryFailsAndChangesNoFile) {
  ScratchDir dir;
  auto first = open_ok(dir.str(), config(3));
  ASSERT_TRUE(first->insert(1, {1, 2, 3}));
  ASSERT_TRUE(first->flush());
  ASSERT_TRUE(first->insert(2, {4, 5, 6}));
  std::string wal = read_bytes(dir.file("wal.log")), data = read_bytes(dir.file("data.vdb"));
  auto second = PersistentCollection::open_or_create(dir.str(), config(3));
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().message(),
            "collection error: lock failed: Resource temporarily unavailable (the directory is open "
            "in another Collection object or process)");
  EXPECT_EQ(read_bytes(dir.file("wal.log")), wal);
  EXPECT_EQ(read_bytes(dir.file("data.vdb")), data);
  first.reset();
  auto third = open_ok(dir.str(), config(3));
  EXPECT_EQ(third->snapshot(), (Map{{1, {1, 2, 3}}, {2, {4, 5, 6}}}));
}

TEST(CollectionThreads, ConcurrentInsertSearchAndFlushLoseNothing) {
  ScratchDir dir;
  constexpr int kThreads = 4, kPerThread = 500;
  {
    auto c = open_ok(dir.str(), config(4));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kPerThread; ++i) {
          std::uint64_t id = static_cast<std::uint64_t>(t) * kPerThread + i;
          float f = static_cast<float>(id);
          EXPECT_TRUE(c->insert(id, {f, f + 1, f + 2, f + 3}));
          std::vector<float> q{f, f, f, f};
          EXPECT_FALSE(c->search(q.data(), 4, 3).empty());
          if (i % 97 == t) { EXPECT_TRUE(c->flush()); }
        }
      });
    }
    for (auto& th : threads) th.join();
  }
  auto c = open_ok(dir.str(), config(4));
  Map got = c->snapshot();
  ASSERT_EQ(got.size(), static_cast<std::size_t>(kThreads * kPerThread));
  for (auto& [id, v] : got) {
    float f = static_cast<float>(id);
    EXPECT_EQ(v, (std::vector<float>{f, f + 1, f + 2, f + 3}));
  }
}

}  // namespace
}  // namespace velmoradb::testing
