// The records API of PersistentCollection: payloads, delete, get, ids,
// filtered search, compaction, close and the open modes, each also across a
// reopen (the log's replay and the data file's load).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <thread>

#include "collection/collection.h"
#include "collection_fixture.h"
#include "engine/filter_reference.h"

namespace velmoradb::testing {
namespace {

Filter filter(const char* text) {
  auto f = Filter::compile(*filter_reference::parse_json(text));
  EXPECT_TRUE(f) << text;
  return f ? std::move(*f) : Filter();
}

std::vector<std::uint64_t> ids_of(PersistentCollection& c, const Filter* where = nullptr) {
  auto ids = c.ids(where);
  EXPECT_TRUE(ids);
  return ids ? *ids : std::vector<std::uint64_t>{};
}

enum class Reopen { No, Unflushed, Flushed };

class Records : public ::testing::TestWithParam<Reopen> {
 protected:
  // The collection as the parameter asks: the same object, or reopened
  // after a flush (data file) or without one (log replay).
  PersistentCollection& settle() {
    if (GetParam() == Reopen::Flushed) {
      EXPECT_TRUE(c->flush());
    }
    if (GetParam() != Reopen::No) {
      c.reset();
      c = open_ok(dir.str(), config(2));
    }
    return *c;
  }

  ScratchDir dir;
  std::unique_ptr<PersistentCollection> c = open_ok(dir.str(), config(2));
};

TEST_P(Records, PayloadsComeBackAndAreReplacedWithTheirVector) {
  ASSERT_TRUE(c->insert(1, {1, 2}, payload("genre", "jazz")));
  ASSERT_TRUE(c->insert(2, {3, 4}));
  ASSERT_TRUE(c->insert(1, {5, 6}, payload("year", std::uint64_t{1961})));
  std::vector<std::uint64_t> ids{3, 4};
  std::vector<std::vector<float>> rows{{7, 8}, {9, 10}};
  std::vector<Payload> payloads{payload("t", "x"), {}};
  std::size_t inserted = 0;
  ASSERT_TRUE(c->insert_batch(ids.data(), 2, [&](std::size_t i) { return std::pair{rows[i].data(), rows[i].size()}; },
                              payloads.data(), &inserted));
  EXPECT_EQ(inserted, 2u);
  PersistentCollection& s = settle();
  EXPECT_EQ(*s.get(1), (Record{1, {5, 6}, payload("year", std::uint64_t{1961})}));
  EXPECT_EQ(*s.get(2), (Record{2, {3, 4}, {}}));
  EXPECT_EQ(*s.get(3), (Record{3, {7, 8}, payload("t", "x")}));
  EXPECT_EQ(*s.get(4), (Record{4, {9, 10}, {}}));
  EXPECT_FALSE(s.get(5)->has_value());
  EXPECT_EQ(s.size(), 4u);
  Filter jazz = filter(R"({"genre": "jazz"})");
  EXPECT_TRUE(ids_of(s, &jazz).empty());  // the replaced payload is gone from the index
}

TEST_P(Records, DeletesAreDurableAndReportPresence) {
  for (std::uint64_t id = 1; id <= 6; ++id) {
    ASSERT_TRUE(c->insert(id, {static_cast<float>(id), 0}, payload("n", id)));
  }
  ASSERT_TRUE(c->flush());  // some deletes mark records already in the file
  ASSERT_TRUE(c->insert(7, {7, 0}));
  EXPECT_TRUE(*c->remove(2));
  EXPECT_FALSE(*c->remove(2));
  EXPECT_FALSE(*c->remove(99));
  EXPECT_TRUE(*c->remove(7));  // a record still held in the process
  std::vector<std::uint64_t> batch{1, 99, 3, 1};
  EXPECT_EQ(*c->remove_batch(batch.data(), batch.size()), 2u);
  ASSERT_TRUE(c->insert(3, {30, 0}));  // deleted, then inserted again
  PersistentCollection& s = settle();
  EXPECT_EQ(ids_of(s), (std::vector<std::uint64_t>{3, 4, 5, 6}));
  EXPECT_FALSE(*s.contains(2));
  EXPECT_TRUE(*s.contains(3));
  EXPECT_EQ(*s.get(3), (Record{3, {30, 0}, {}}));
  std::vector<float> q{0, 0};
  auto hits = s.search(q.data(), 2, 10, nullptr);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 4u);
  EXPECT_EQ((*hits)[0].id, 4u);
}

TEST_P(Records, FilteredSearchAndIdsSeeOnlyMatchingRecords) {
  for (std::uint64_t id = 1; id <= 40; ++id) {
    Payload p = payload("kind", id % 3 == 0 ? "a" : "b");
    p.data["n"] = id;
    ASSERT_TRUE(c->insert(100 - id, {static_cast<float>(id), 1}, std::move(p)));
  }
  ASSERT_TRUE(c->remove(100 - 3));
  PersistentCollection& s = settle();
  Filter a = filter(R"({"kind": "a", "n": {"$gt": 10}})");
  EXPECT_EQ(ids_of(s, &a), (std::vector<std::uint64_t>{61, 64, 67, 70, 73, 76, 79, 82, 85, 88}));
  std::vector<float> q{0, 1};
  auto hits = s.search(q.data(), 2, 3, &a);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 3u);
  EXPECT_EQ((*hits)[0].id, 88u);
  for (const SearchResult& r : s.search(q.data(), 2, 100)) {
    if (r.id == 88) {
      EXPECT_EQ(r.distance, (*hits)[0].distance);  // the bits of an unfiltered search
    }
  }
  EXPECT_EQ((*hits)[0].distance, 12.0f);
  EXPECT_EQ((*hits)[2].id, 82u);
  std::vector<float> qs{0, 1, 40, 1};
  auto batch = s.search_batch(qs.data(), 2, 2, &a);
  ASSERT_TRUE(batch);
  EXPECT_EQ((*batch)[1][0].id, 61u);
  auto wrong = s.search(q.data(), 1, 3, &a);
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().kind(), VectorError::Kind::DimensionMismatch);
}

std::string reopen_name(const ::testing::TestParamInfo<Reopen>& info) {
  const char* names[] = {"same_object", "log_replay", "data_file"};
  return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Reopens, Records, ::testing::Values(Reopen::No, Reopen::Unflushed, Reopen::Flushed),
                         reopen_name);

TEST(RecordsCompact, KeepsTheLiveRecordsAndReclaimsTheRest) {
  ScratchDir dir;
  auto c = open_ok(dir.str(), config(2));
  for (std::uint64_t id = 0; id < 50; ++id) {
    ASSERT_TRUE(c->insert(id, {static_cast<float>(id), 0}, id % 5 == 0 ? payload("five", true) : Payload{}));
  }
  for (std::uint64_t id = 0; id < 50; id += 2) ASSERT_TRUE(c->remove(id));
  for (std::uint64_t id = 1; id < 10; id += 2) ASSERT_TRUE(c->insert(id, {-1, static_cast<float>(id)}));
  const auto before = c->snapshot();
  ASSERT_TRUE(c->flush());
  const std::uint64_t reclaimable = *c->reclaimable_bytes();
  auto stats = c->compact();
  ASSERT_TRUE(stats) << stats.error().message();
  EXPECT_EQ(stats->records_dropped, 25u + 5u);
  EXPECT_EQ(stats->bytes_before, 55u * 17 + 55u * 8 + 45u * 11 + 10u * 22);
  EXPECT_EQ(stats->bytes_before - stats->bytes_after, reclaimable);
  EXPECT_EQ(file_size(dir.file("data.vdb")), stats->bytes_after);
  EXPECT_EQ(file_size(dir.file("wal.log")), 0u);
  EXPECT_EQ(*c->reclaimable_bytes(), 0u);
  EXPECT_EQ(c->snapshot(), before);
  // The new file takes further changes, and everything survives a reopen.
  ASSERT_TRUE(c->remove(1));
  ASSERT_TRUE(c->insert(3, {3, 3}, payload("after", "compact")));
  c.reset();
  c = open_ok(dir.str(), config(2));
  auto want = before;
  want.erase(1);
  want[3] = {3, 3};
  EXPECT_EQ(c->snapshot(), want);
  EXPECT_EQ(c->get(3)->value().payload, payload("after", "compact"));
  EXPECT_EQ(c->get(15)->value().payload, payload("five", true));
  // A second compaction reuses a leftover data.vdb.compact.
  write_bytes(dir.file("data.vdb.compact"), "left over by a crash");
  ASSERT_TRUE(c->compact());
  c.reset();
  EXPECT_EQ(open_ok(dir.str(), config(2))->snapshot(), want);
}

TEST(RecordsClose, IsIdempotentReleasesTheLockAndRefusesLaterCalls) {
  ScratchDir dir;
  auto c = open_ok(dir.str(), config(2));
  ASSERT_TRUE(c->insert(1, {1, 1}, payload("a", 1.5)));
  ASSERT_TRUE(c->close());
  ASSERT_TRUE(c->close());
  EXPECT_TRUE(c->closed());
  const std::string closed = "collection error: collection is closed";
  EXPECT_EQ(c->insert(2, {1, 1}).error().message(), closed);
  EXPECT_EQ(c->remove(1).error().message(), closed);
  EXPECT_EQ(c->flush().error().message(), closed);
  EXPECT_EQ(c->compact().error().message(), closed);
  EXPECT_EQ(c->get(1).error().message(), closed);
  EXPECT_EQ(c->contains(1).error().message(), closed);
  EXPECT_EQ(c->ids().error().message(), closed);
  EXPECT_EQ(c->reclaimable_bytes().error().message(), closed);
  std::vector<float> q{1, 1};
  EXPECT_EQ(c->search(q.data(), 2, 1, nullptr).error().message(), closed);
  EXPECT_TRUE(c->search(q.data(), 2, 1).empty());
  EXPECT_EQ(c->size(), 0u);
  // The lock is free, and the insert was durable without a flush.
  auto again = open_ok(dir.str(), config(2));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->get(1)->value(), (Record{1, {1, 1}, payload("a", 1.5)}));
}

// close() checkpoints, so the next open has no log to replay; dropping the
// collection without close() leaves the log, forced, as it was.
TEST(RecordsClose, CheckpointsWhereTheDestructorKeepsTheLog) {
  for (bool explicit_close : {true, false}) {
    ScratchDir dir;
    auto c = open_ok(dir.str(), config(2));
    ASSERT_TRUE(c->insert(1, {1, 1}, payload("a", 1.5)));
    ASSERT_TRUE(c->insert(2, {2, 2}));
    ASSERT_TRUE(c->remove(2));
    if (explicit_close) {
      ASSERT_TRUE(c->close());
    }
    c.reset();
    EXPECT_EQ(file_size(dir.file("wal.log")) == 0, explicit_close);
    auto again = open_ok(dir.str(), config(2));
    EXPECT_EQ(again->get(1)->value(), (Record{1, {1, 1}, payload("a", 1.5)}));
    EXPECT_FALSE(again->get(2)->has_value());
  }
}

OpenOptions intent(OpenIntent i, bool read_only = false) {
  OpenOptions o;
  o.intent = i;
  o.read_only = read_only;
  return o;
}

TEST(RecordsOpen, ModesRefuseWhatTheyMustWithoutWriting) {
  ScratchDir dir;
  const std::string path = dir.file("c");
  auto missing = PersistentCollection::open(path, config(2), intent(OpenIntent::OpenExisting));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().text(), "no collection at " + path + " (meta.json does not exist)");
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(*PersistentCollection::stored_config(path));
  {
    auto created = PersistentCollection::open(path, config(2, DistanceMetric::Cosine), intent(OpenIntent::CreateNew));
    ASSERT_TRUE(created) << created.error().message();
    ASSERT_TRUE((*created)->insert(1, {1, 0}));
  }
  auto twice = PersistentCollection::open(path, config(2), intent(OpenIntent::CreateNew));
  ASSERT_FALSE(twice);
  EXPECT_EQ(twice.error().text(), "a collection already exists at " + path);
  auto stored = PersistentCollection::stored_config(path);
  ASSERT_TRUE(stored && *stored);
  EXPECT_EQ((*stored)->dimension, 2u);
  EXPECT_EQ((*stored)->metric, DistanceMetric::Cosine);
  // Another metric: refused by default, taken over by open_or_create.
  auto other = PersistentCollection::open(path, config(2, DistanceMetric::Euclidean), OpenOptions{});
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error().text(), "metric mismatch: collection has Cosine, config has Euclidean");
  // Opening existing takes meta.json's dimension and metric.
  auto existing = PersistentCollection::open(path, config(0), intent(OpenIntent::OpenExisting));
  ASSERT_TRUE(existing) << existing.error().message();
  EXPECT_EQ((*existing)->config().dimension, 2u);
  EXPECT_EQ((*existing)->config().metric, DistanceMetric::Cosine);
  EXPECT_EQ((*existing)->size(), 1u);
}

// The load guesses how many records the file holds from the first ones it
// reads, and has the vectors' memory faulted in ahead by that guess: far
// too many (small records first, then large ones) or far too few (the
// reverse) must change nothing of what comes back.
class RecordsLoadGuess : public ::testing::TestWithParam<bool> {};

TEST_P(RecordsLoadGuess, EveryRecordComesBackWhenRecordSizesChange) {
  const bool small_first = GetParam();
  constexpr std::size_t kDim = 64;
  constexpr std::size_t kRecords = 20000;
  constexpr std::size_t kFirstRun = 4000;  // beyond the first megabyte read
  const std::string big(3000, 'x');
  ScratchDir dir;
  std::mt19937 gen(7);
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> rows(kRecords, std::vector<float>(kDim));
  for (auto& row : rows) {
    for (float& v : row) v = normal(gen);
  }
  auto payload_for = [&](std::size_t i) {
    const bool small = (i < kFirstRun) == small_first;
    return small ? Payload{} : payload("text", big + std::to_string(i));
  };
  {
    auto c = open_ok(dir.str(), config(kDim));
    std::vector<std::uint64_t> ids(kRecords);
    std::vector<Payload> payloads(kRecords);
    for (std::size_t i = 0; i < kRecords; ++i) {
      ids[i] = i;
      payloads[i] = payload_for(i);
    }
    ASSERT_TRUE(c->insert_batch(ids.data(), kRecords,
                                [&](std::size_t i) { return std::pair{rows[i].data(), rows[i].size()}; },
                                payloads.data(), nullptr));
    ASSERT_TRUE(c->flush());
  }
  auto c = open_ok(dir.str(), config(kDim));
  ASSERT_EQ(c->size(), kRecords);
  for (std::size_t i = 0; i < kRecords; ++i) {
    auto got = c->get(i);
    ASSERT_TRUE(got && got->has_value()) << i;
    ASSERT_EQ(**got, (Record{i, rows[i], payload_for(i)})) << i;
  }
  // Nearest to a stored vector: itself, at distance zero.
  auto hits = c->search(rows[kRecords - 1].data(), kDim, 1);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id, kRecords - 1);
  EXPECT_EQ(hits[0].distance, 0.0f);
}

INSTANTIATE_TEST_SUITE_P(SmallFirstOrLargeFirst, RecordsLoadGuess, ::testing::Bool());

TEST(RecordsOpen, ReadOnlySharesTheDirectoryWithReadersOnlyAndNeverWrites) {
  ScratchDir dir;
  {
    auto c = open_ok(dir.str(), config(2));
    ASSERT_TRUE(c->insert(1, {1, 0}, payload("k", "v")));
    ASSERT_TRUE(c->flush());
    ASSERT_TRUE(c->insert(2, {2, 0}));
    ASSERT_TRUE(c->remove(1));
    // Dropped without a flush: the log holds an insert and a delete, and
    // the data file ends in a torn record.
  }
  {
    std::string torn = read_bytes(dir.file("data.vdb"));
    write_bytes(dir.file("data.vdb"), torn + std::string(9, '\x01'));
  }
  const std::map<std::string, std::string> files{{"wal.log", read_bytes(dir.file("wal.log"))},
                                                 {"data.vdb", read_bytes(dir.file("data.vdb"))},
                                                 {"meta.json", read_bytes(dir.file("meta.json"))}};
  const auto ro = intent(OpenIntent::OpenExisting, true);
  auto first = PersistentCollection::open(dir.str(), config(0), ro);
  ASSERT_TRUE(first) << first.error().message();
  auto second = PersistentCollection::open(dir.str(), config(0), ro);
  ASSERT_TRUE(second) << second.error().message();
  EXPECT_EQ(ids_of(**first), (std::vector<std::uint64_t>{2}));
  EXPECT_EQ((*first)->insert(3, {3, 0}).error().text(), "collection is read-only");
  EXPECT_EQ((*first)->remove(2).error().text(), "collection is read-only");
  EXPECT_EQ((*first)->flush().error().text(), "collection is read-only");
  EXPECT_EQ((*first)->compact().error().text(), "collection is read-only");
  auto writer = PersistentCollection::open_or_create(dir.str(), config(2));
  ASSERT_FALSE(writer);
  EXPECT_NE(writer.error().text().find("(the directory is open read-only in another Collection object or process)"),
            std::string::npos)
      << writer.error().text();
  ASSERT_TRUE((*first)->close());
  second->reset();
  for (const auto& [name, bytes] : files) EXPECT_EQ(read_bytes(dir.file(name)), bytes) << name;
  auto w = open_ok(dir.str(), config(2));
  auto reader = PersistentCollection::open(dir.str(), config(0), ro);
  ASSERT_FALSE(reader);
  EXPECT_NE(reader.error().text().find("(the directory is open for writing in another Collection object or process)"),
            std::string::npos)
      << reader.error().text();
  auto refused = PersistentCollection::open(dir.str(), config(2), intent(OpenIntent::OpenOrCreate, true));
  ASSERT_FALSE(refused);
}

TEST(RecordsThreads, SearchesRunWhileWritesAreSerialised) {
  ScratchDir dir;
  auto c = open_ok(dir.str(), config(4));
  for (std::uint64_t id = 0; id < 200; ++id) ASSERT_TRUE(c->insert(id, {1, 2, 3, static_cast<float>(id)}, payload("p", id % 2)));
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  Filter odd = filter(R"({"p": 1})");
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      std::vector<float> q{1, 2, 3, 0};
      while (!stop) {
        auto hits = c->search(q.data(), 4, 5, &odd);
        if (!hits) ++bad;
        for (const SearchResult& r : *hits) bad += r.payload != payload("p", std::uint64_t{1});
        auto got = c->get(7);
        if (!got) ++bad;
      }
    });
  }
  std::mt19937 gen(7);
  for (int i = 0; i < 400; ++i) {
    const std::uint64_t id = gen() % 300;
    if (i % 3 == 0) {
      ASSERT_TRUE(c->remove(id));
    } else {
      ASSERT_TRUE(c->insert(id, {1, 2, 3, static_cast<float>(id)}, payload("p", id % 2)));
    }
    if (i % 100 == 0) {
      ASSERT_TRUE(c->compact());
    }
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad, 0);
}

}  // namespace
}  // namespace velmoradb::testing
