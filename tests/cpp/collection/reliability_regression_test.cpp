// Faults found by the fuzz targets, the fault sweeps and the crash soak,
// each pinned by a test that failed before its mend.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "collection/collection.h"
#include "collection_fixture.h"
#include "engine/filter_reference.h"
#include "storage/endian.h"

namespace velmoradb::testing {
namespace {

using Map = std::map<std::uint64_t, std::vector<float>>;

// One data-file record, built by hand.
std::string record(std::uint64_t id, const std::vector<float>& v, const std::string& payload,
                   std::uint8_t marker = 0) {
  std::string out(17 + 4 * v.size() + payload.size(), '\0');
  auto* p = reinterpret_cast<std::uint8_t*>(out.data());
  p[0] = marker;
  le::store64(p + 1, id);
  le::store32(p + 9, static_cast<std::uint32_t>(v.size()));
  std::memcpy(p + 13, v.data(), 4 * v.size());
  le::store32(p + 13 + 4 * v.size(), static_cast<std::uint32_t>(payload.size()));
  std::memcpy(p + 17 + 4 * v.size(), payload.data(), payload.size());
  return out;
}

// Fault: the load stepped over a payload by its re-encoded length, so a
// payload in another spelling ("1e5", spaces) ended the scan there and the
// open cut off every record behind it, flushed inserts included.
TEST(ReliabilityRegression, RecordsBehindAPayloadInAnotherSpellingSurviveFlushAndReopen) {
  ScratchDir dir;
  write_bytes(dir.file("data.vdb"), record(1, {1, 1}, R"({"data":{"n":1e5}})") +
                                        record(2, {2, 2}, R"({"data":{}} )"));
  {
    auto c = open_ok(dir.str(), config(2));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->size(), 2u);
    ASSERT_TRUE(c->insert(3, {3, 3}));
    ASSERT_TRUE(c->flush());
  }
  auto c = open_ok(dir.str(), config(2));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->snapshot(), (Map{{1, {1, 1}}, {2, {2, 2}}, {3, {3, 3}}}));
}

// Fault: of two live records of one id, a replayed Delete marked only the
// latest; after a flush emptied the log, the next open loaded the older one
// and the deleted id came back.
TEST(ReliabilityRegression, ADeletedIdStaysDeletedAfterFlushWhenTheDataFileHeldItTwice) {
  ScratchDir dir;
  write_bytes(dir.file("data.vdb"), record(7, {1, 1}, R"({"data":{}})") +
                                        record(7, {2, 2}, R"({"data":{}})") +
                                        record(8, {3, 3}, R"({"data":{}})"));
  write_log(dir.file("wal.log"), {entry(WalEntryKind::Delete, 7)});
  {
    auto c = open_ok(dir.str(), config(2));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->snapshot(), (Map{{8, {3, 3}}}));
    ASSERT_TRUE(c->flush());
  }
  auto c = open_ok(dir.str(), config(2));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->snapshot(), (Map{{8, {3, 3}}}));
}

// Fault: reclaimable_bytes measured each payload by its encoding afresh,
// while a compaction copies the live records byte for byte: a payload
// stored in another spelling made the figure miss what compaction frees.
TEST(ReliabilityRegression, ReclaimableBytesIsWhatACompactionFreesWhateverThePayloadsSpelling) {
  ScratchDir dir;
  write_bytes(dir.file("data.vdb"), record(1, {1, 1}, R"({"data":{"n":1e5}})") +
                                        record(2, {2, 2}, R"({ "data" : { "tag" : "a" } })") +
                                        record(3, {3, 3}, R"({"data":{}})") +
                                        record(4, {4, 4}, R"({"data":{"tag":"b"}})") +
                                        record(4, {5, 5}, R"({"data":{"tag" :"c"}})"));
  auto c = open_ok(dir.str(), config(2));
  ASSERT_TRUE(c);
  ASSERT_TRUE(c->insert(5, {6, 6}, payload("tag", JsonValue(std::string("d")))));
  ASSERT_TRUE(c->remove(3));
  ASSERT_TRUE(c->flush());
  const std::uint64_t reclaimable = *c->reclaimable_bytes();
  auto stats = c->compact();
  ASSERT_TRUE(stats) << stats.error().message();
  EXPECT_EQ(stats->bytes_before - stats->bytes_after, reclaimable);
  EXPECT_EQ(*c->reclaimable_bytes(), 0u);
}

// A load decodes a payload text met before once and enters its slot in the
// sets found for it then. A record replaced during the load (another
// program wrote the id twice) takes its value's only slot with it, so the
// set of that value is made anew when the same text comes again; the
// filters of the reopened collection see every record.
TEST(RepeatedPayloadLoad, FiltersSeeEveryRecordWhenAReplacedRecordTookItsValuesOnlySlot) {
  ScratchDir dir;
  const std::string a = R"({"data":{"tag":"a"}})";
  const std::string only = R"({"data":{"tag":"only"}})";
  write_bytes(dir.file("data.vdb"), record(1, {1, 1}, a) + record(2, {2, 2}, only) + record(3, {3, 3}, a) +
                                        record(2, {4, 4}, only) + record(4, {5, 5}, a) + record(5, {6, 6}, only) +
                                        record(6, {7, 7}, R"({"data":{"tag" : "a"}})"));
  auto c = open_ok(dir.str(), config(2));
  ASSERT_TRUE(c);
  const auto ids_where = [&](const char* text) {
    auto f = Filter::compile(*filter_reference::parse_json(text));
    EXPECT_TRUE(f) << text;
    auto ids = c->ids(&*f);
    EXPECT_TRUE(ids);
    std::vector<std::uint64_t> sorted = ids ? *ids : std::vector<std::uint64_t>{};
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  };
  EXPECT_EQ(ids_where(R"({"tag": "only"})"), (std::vector<std::uint64_t>{2, 5}));
  EXPECT_EQ(ids_where(R"({"tag": "a"})"), (std::vector<std::uint64_t>{1, 3, 4, 6}));
  auto two = c->get(2);
  ASSERT_TRUE(two && *two);
  EXPECT_EQ((*two)->vector, (std::vector<float>{4, 4}));
}

}  // namespace
}  // namespace velmoradb::testing
