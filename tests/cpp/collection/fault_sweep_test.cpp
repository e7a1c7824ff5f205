// Walks every file-system call of open, insert, delete, flush and compact:
// fail call 1, then
// call 2, and so on until the workload runs past the last call. After each
// injected failure the error must be one of the known texts, the collection
// must stay usable, and a reopen without faults must hold exactly the
// acknowledged operations. The faults: a failing call (EIO), a write that puts
// part of its bytes in the file and fails (a disk that fills up), the same
// from one call on for good (a disk that stays full, a device that goes
// away) until the fault is lifted, and reads that return a few bytes at a
// time (which must change nothing). Each sweep counts the distinct failing
// calls it injected and survived; the total is printed at the end.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <iostream>
#include <map>
#include <set>

#include "collection/collection.h"
#include "collection_fixture.h"
#include "support/faulty_fs.h"

namespace velmoradb::testing {
namespace {

using Map = std::map<std::uint64_t, std::vector<float>>;
constexpr std::size_t kDim = 32;

std::vector<float> vec(std::uint64_t id) {
  std::vector<float> v(kDim);
  for (std::size_t i = 0; i < kDim; ++i) v[i] = static_cast<float>(id) + static_cast<float>(i) / 8.0f;
  return v;
}

// Every text an injected failure with `errno_value` may surface as.
::testing::AssertionResult is_known_failure(const VectorError& e, int errno_value = EIO) {
  static const std::set<std::string> phrases = {
      "collection error: create dir failed: ",  "collection error: lock failed: ",
      "collection error: read meta failed: ",   "collection error: write meta failed: ",
      "io error: failed to open WAL: ",         "io error: failed to open data file: ",
      "io error: metadata failed: ",            "io error: open for iter failed: ",
      "io error: failed to open WAL for read: ", "io error: read checksum failed: ",
      "io error: read length failed: ",         "io error: read data failed: ",
      "io error: write checksum failed: ",      "io error: write length failed: ",
      "io error: write data failed: ",          "io error: flush failed: ",
      "io error: sync failed: ",                "io error: truncate failed: ",
      "io error: write deleted marker failed: ", "io error: write id failed: ",
      "io error: write dim failed: ",           "io error: write vector failed: ",
      "io error: write payload_len failed: ",   "io error: write payload failed: ",
      "io error: open for delete failed: ",     "io error: seek failed: ",
      "io error: write delete marker failed: ", "io error: read deleted failed: ",
      "io error: read id failed: ",             "io error: read dim failed: ",
      "io error: read vector failed: ",         "io error: read payload_len failed: ",
      "io error: read payload failed: ",        "io error: rename failed: ",
      "io error: write failed: ",               "io error: write bulk marker failed: ",
      "io error: read bulk marker failed: ",
  };
  std::string m = e.message();
  std::string cause = std::strerror(errno_value);
  for (const std::string& p : phrases) {
    if (m == p + cause) return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "unexpected error text: " << m;
}

// Distinct failing calls injected and survived (the run's error was a known
// text and the reopen held exactly the acknowledged inserts), per sweep.
class Tally : public ::testing::Environment {
 public:
  static void add(const std::string& sweep, std::size_t survived) { counts()[sweep] += survived; }
  void TearDown() override {
    std::size_t total = 0;
    for (auto& [sweep, n] : counts()) {
      std::cout << "[fault sweep] " << sweep << ": " << n << " failing calls survived\n";
      total += n;
    }
    std::cout << "[fault sweep] total: " << total
              << " distinct failing I/O calls injected and survived, nothing lost\n";
  }

 private:
  static std::map<std::string, std::size_t>& counts() {
    static std::map<std::string, std::size_t> m;
    return m;
  }
};
const auto* const kTally = ::testing::AddGlobalTestEnvironment(new Tally);

// Counts one injected run, if the test has not failed by the end of it.
class Survived {
 public:
  explicit Survived(std::string sweep) : sweep_(std::move(sweep)) {}
  ~Survived() { Tally::add(sweep_, n_); }
  void count() {
    if (!::testing::Test::HasFailure()) ++n_;
  }
  std::size_t n() const { return n_; }

 private:
  std::string sweep_;
  std::size_t n_ = 0;
};

// Names the ids on which two states differ, instead of printing both.
::testing::AssertionResult same_state(const Map& got, const Map& want) {
  std::string diff;
  for (auto& [id, v] : got) {
    auto it = want.find(id);
    if (it == want.end()) diff += " extra " + std::to_string(id) + "(" + std::to_string(v[0]) + ")";
    else if (it->second != v) diff += " changed " + std::to_string(id) + "(" + std::to_string(v[0]) + ")";
  }
  for (auto& [id, v] : want) {
    if (!got.count(id)) diff += " missing " + std::to_string(id);
  }
  if (diff.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "states differ:" << diff;
}

// A collection with flushed inserts 1..3 and unflushed insert 4 in its log.
Map seed(const std::string& dir) {
  auto c = open_ok(dir, config(kDim));
  Map m;
  for (std::uint64_t id = 1; id <= 4; ++id) {
    EXPECT_TRUE(c->insert(id, vec(id)));
    m[id] = vec(id);
    if (id == 3) { EXPECT_TRUE(c->flush()); }
  }
  return m;
}

// One fault of a sweep: how to arm it n calls ahead, and the errno its
// failures carry.
struct Fault {
  std::string name;
  int errno_value;
  void (*arm)(FaultyFileSystem& fs, std::size_t n);
};

// Every fault of the sweeps below. Partial writes count only writes; the
// others count every call.
std::vector<Fault> faults() {
  return {
      {"fail once", EIO, [](FaultyFileSystem& fs, std::size_t n) { fs.fail_call(n); }},
      {"fail from then on", EIO,
       [](FaultyFileSystem& fs, std::size_t n) { fs.fail_call(n, EIO, /*persistent=*/true); }},
      {"disk full mid-write", ENOSPC,
       [](FaultyFileSystem& fs, std::size_t n) { fs.partial_write(n, 5); }},
      {"disk full for good", ENOSPC,
       [](FaultyFileSystem& fs, std::size_t n) { fs.partial_write(n, 5, ENOSPC, true); }},
      {"no space, nothing written", ENOSPC,
       [](FaultyFileSystem& fs, std::size_t n) { fs.fail_call(FsCall::Write, n, ENOSPC); }},
  };
}

class FaultSweep : public ::testing::TestWithParam<Fault> {};

std::string fault_name(const ::testing::TestParamInfo<Fault>& info) {
  std::string name;
  for (char ch : info.param.name) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
}

TEST_P(FaultSweep, OpenOfANewCollection) {
  const Fault& fault = GetParam();
  Survived survived("open of a new collection, " + fault.name);
  for (std::size_t n = 1;; ++n) {
    ScratchDir dir;
    std::string path = dir.file("new/coll");
    FaultyFileSystem fs;
    fault.arm(fs, n);
    {
      auto r = PersistentCollection::open_or_create(path, config(kDim), fs);
      if (fs.injected() == 0) {
        ASSERT_TRUE(r);
        break;
      }
      if (!r) {
        EXPECT_TRUE(is_known_failure(r.error(), fault.errno_value)) << "call " << n;
      }
      fs.clear();  // the fault is lifted before the collection closes
    }
    auto c = open_ok(path, config(kDim));
    ASSERT_TRUE(c) << "call " << n;
    EXPECT_TRUE(c->snapshot().empty());
    survived.count();
  }
  EXPECT_GT(survived.n(), 0u);
}

TEST_P(FaultSweep, OpenOfAnExistingCollectionWithALog) {
  const Fault& fault = GetParam();
  Survived survived("open of a collection with a log, " + fault.name);
  for (std::size_t n = 1;; ++n) {
    ScratchDir dir;
    Map expected = seed(dir.str());
    FaultyFileSystem fs;
    fault.arm(fs, n);
    {
      auto r = PersistentCollection::open_or_create(dir.str(), config(kDim), fs);
      if (fs.injected() == 0) {
        ASSERT_TRUE(r);
        EXPECT_TRUE(same_state((*r)->snapshot(), expected));
        break;
      }
      if (r) {
        EXPECT_TRUE(same_state((*r)->snapshot(), expected)) << "call " << n;
      } else {
        EXPECT_TRUE(is_known_failure(r.error(), fault.errno_value)) << "call " << n;
      }
      fs.clear();
    }
    auto c = open_ok(dir.str(), config(kDim));
    ASSERT_TRUE(c) << "call " << n;
    EXPECT_TRUE(same_state(c->snapshot(), expected)) << "call " << n;
    survived.count();
  }
  EXPECT_GT(survived.n(), 0u);
}

TEST_P(FaultSweep, InsertsAndFlushKeepExactlyTheAcknowledged) {
  const Fault& fault = GetParam();
  constexpr std::uint64_t kInserts = 120;  // past one batched sync and buffer write-outs
  Survived survived("inserts and flush, " + fault.name);
  for (std::size_t n = 1;; ++n) {
    ScratchDir dir;
    Map acknowledged = seed(dir.str());
    FaultyFileSystem fs;
    {
      auto opened = PersistentCollection::open_or_create(dir.str(), config(kDim), fs);
      ASSERT_TRUE(opened);
      auto& c = *opened;
      fault.arm(fs, n);
      std::size_t failures = 0;
      for (std::uint64_t id = 10; id < 10 + kInserts; ++id) {
        // Every fifth insert replaces an earlier id.
        std::uint64_t target = id % 5 == 0 ? id - 7 : id;
        if (auto r = c->insert(target, vec(id))) {
          acknowledged[target] = vec(id);
        } else {
          ++failures;
          EXPECT_TRUE(is_known_failure(r.error(), fault.errno_value)) << "call " << n;
        }
      }
      if (auto r = c->flush(); !r) {
        ++failures;
        EXPECT_TRUE(is_known_failure(r.error(), fault.errno_value)) << "call " << n;
      }
      if (fs.injected() == 0) {
        EXPECT_EQ(failures, 0u);
        break;
      }
      // Retiring a replaced record is allowed to fail quietly: the latest
      // record of an id wins at load anyway.
      EXPECT_LE(failures, fs.injected()) << "call " << n;
      // Still usable once the fault is gone.
      fs.clear();
      ASSERT_TRUE(c->insert(1000, vec(1000))) << "call " << n;
      acknowledged[1000] = vec(1000);
      EXPECT_TRUE(same_state(c->snapshot(), acknowledged)) << "call " << n;
    }
    auto c = open_ok(dir.str(), config(kDim));
    ASSERT_TRUE(c) << "call " << n;
    EXPECT_TRUE(same_state(c->snapshot(), acknowledged)) << "call " << n;
    survived.count();
  }
  EXPECT_GT(survived.n(), 0u);
}

// Ids with their vector and payload, as the collection returns them.
using Records = std::map<std::uint64_t, std::pair<std::vector<float>, Payload>>;

Records records_of(const PersistentCollection& c) {
  Records out;
  for (auto& [id, v] : c.snapshot()) {
    auto r = c.get(id);
    if (!r || !*r) {
      ADD_FAILURE() << "get(" << id << ") failed for a listed id";
      continue;
    }
    out[id] = {(*r)->vector, (*r)->payload};
  }
  return out;
}

// Names the ids on which two states differ.
::testing::AssertionResult same_records(const Records& got, const Records& want) {
  std::string diff;
  for (auto& [id, rec] : got) {
    auto it = want.find(id);
    if (it == want.end()) diff += " extra " + std::to_string(id);
    else if (it->second.first != rec.first) diff += " vector of " + std::to_string(id);
    else if (!(it->second.second == rec.second)) diff += " payload of " + std::to_string(id);
  }
  for (auto& [id, rec] : want) {
    if (!got.count(id)) diff += " missing " + std::to_string(id);
  }
  if (diff.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "states differ:" << diff;
}

Payload payload_of(std::uint64_t n) {
  Payload p;
  if (n % 3 == 0) return p;  // none
  p.data["n"] = JsonValue(n);
  p.data["tags"] = JsonValue(JsonArray{JsonValue("t" + std::to_string(n % 4)), JsonValue(n % 2 == 0)});
  return p;
}

// Inserts with payloads, replacements, deletes of present and absent ids,
// a batch delete, a compaction and a flush; every failing call of it.
TEST_P(FaultSweep, DeletesAndCompactionKeepExactlyTheAcknowledged) {
  const Fault& fault = GetParam();
  Survived survived("deletes and compaction, " + fault.name);
  for (std::size_t n = 1;; ++n) {
    ScratchDir dir;
    Records acknowledged;
    for (auto& [id, v] : seed(dir.str())) acknowledged[id] = {v, Payload{}};
    FaultyFileSystem fs;
    {
      auto opened = PersistentCollection::open_or_create(dir.str(), config(kDim), fs);
      ASSERT_TRUE(opened);
      auto& c = *opened;
      fault.arm(fs, n);
      std::size_t failures = 0;
      auto failed = [&](const VectorError& e) {
        ++failures;
        EXPECT_TRUE(is_known_failure(e, fault.errno_value)) << "call " << n;
      };
      auto insert = [&](std::uint64_t id, std::uint64_t n_vec) {
        if (auto r = c->insert(id, vec(n_vec), payload_of(n_vec))) {
          acknowledged[id] = {vec(n_vec), payload_of(n_vec)};
        } else {
          failed(r.error());
        }
      };
      auto remove = [&](std::uint64_t id) {
        if (auto r = c->remove(id)) {
          EXPECT_EQ(*r, acknowledged.erase(id) == 1) << "call " << n << ", id " << id;
        } else {
          failed(r.error());
        }
      };
      for (std::uint64_t k = 10; k < 70; ++k) {
        insert(k % 7 == 0 ? k - 5 : k, k);     // every seventh replaces
        if (k % 4 == 0) remove(k - 3);          // present, or already gone
        if (k % 13 == 0) remove(5000 + k);      // never present
      }
      // A failed batch keeps the deletes before its failure: which ones is
      // settled below, once the fault is lifted (nothing after the batch
      // touches these ids).
      const std::vector<std::uint64_t> batch = {2, 11, 12, 4000, 11};
      bool batch_failed = false;
      if (auto r = c->remove_batch(batch.data(), batch.size())) {
        std::size_t present = 0;
        for (std::uint64_t id : batch) present += acknowledged.erase(id);
        EXPECT_EQ(*r, present) << "call " << n;
      } else {
        failed(r.error());
        batch_failed = true;
      }
      if (auto r = c->compact(); !r) failed(r.error());
      insert(100, 100);
      remove(13);
      if (auto r = c->flush(); !r) failed(r.error());
      if (fs.injected() == 0) {
        EXPECT_EQ(failures, 0u);
        break;
      }
      EXPECT_LE(failures, fs.injected()) << "call " << n;
      // Still usable once the fault is gone, compaction included.
      fs.clear();
      const Records now = records_of(*c);
      if (batch_failed) {
        // Exactly the deletes of some prefix of the batch took effect.
        Records kept = acknowledged;
        bool settled = now == kept;
        for (std::size_t k = 0; k < batch.size() && !settled; ++k) {
          kept.erase(batch[k]);
          settled = now == kept;
        }
        EXPECT_TRUE(settled) << "call " << n << ": the failed batch left no prefix of its deletes";
        if (settled) acknowledged = kept;
      }
      EXPECT_TRUE(same_records(now, acknowledged)) << "call " << n;
      remove(14);
      insert(1000, 1000);
      auto compacted = c->compact();
      ASSERT_TRUE(compacted) << "call " << n << ": " << compacted.error().message();
      EXPECT_TRUE(same_records(records_of(*c), acknowledged)) << "call " << n;
    }
    auto c = open_ok(dir.str(), config(kDim));
    ASSERT_TRUE(c) << "call " << n;
    EXPECT_TRUE(same_records(records_of(*c), acknowledged)) << "call " << n;
    survived.count();
  }
  EXPECT_GT(survived.n(), 0u);
}

// A bulk insert under a failing call: the whole batch or none of it, in the
// running collection and after a reopen; a collection whose undo failed too
// refuses writes until it is reopened, and the reopen finishes the undo.
TEST_P(FaultSweep, BulkInsertIsAllOrNothing) {
  const Fault& fault = GetParam();
  Survived survived("bulk insert, " + fault.name);
  for (std::size_t n = 1;; ++n) {
    ScratchDir dir;
    Records acknowledged;
    for (auto& [id, v] : seed(dir.str())) acknowledged[id] = {v, Payload{}};
    FaultyFileSystem fs;
    {
      auto opened = PersistentCollection::open_or_create(dir.str(), config(kDim), fs);
      ASSERT_TRUE(opened);
      auto& c = *opened;
      for (std::uint64_t id = 20; id < 26; ++id) {
        ASSERT_TRUE(c->insert(id, vec(id), payload_of(id)));
        acknowledged[id] = {vec(id), payload_of(id)};
      }
      ASSERT_TRUE(c->remove(21));
      acknowledged.erase(21);
      // New ids, replacements of flushed and unflushed records, an id twice.
      const std::vector<std::uint64_t> ids = {3, 22, 40, 41, 40, 21};
      std::vector<Payload> payloads;
      for (std::size_t i = 0; i < ids.size(); ++i) payloads.push_back(payload_of(500 + i));
      const auto row = [&](std::size_t i) {
        static thread_local std::vector<float> v;
        v = vec(500 + i);
        return std::pair<const float*, std::size_t>(v.data(), v.size());
      };
      fault.arm(fs, n);
      std::vector<Payload> moved = payloads;
      std::size_t inserted = 0;
      Status bulk = c->insert_batch_direct(ids.data(), ids.size(), row, moved.data(), &inserted);
      EXPECT_TRUE(inserted == 0 || inserted == ids.size()) << "call " << n;
      if (inserted == ids.size()) {
        for (std::size_t i = 0; i < ids.size(); ++i) acknowledged[ids[i]] = {vec(500 + i), payloads[i]};
      }
      if (!bulk) {
        EXPECT_TRUE(is_known_failure(bulk.error(), fault.errno_value)) << "call " << n;
      }
      if (fs.injected() == 0) {
        ASSERT_TRUE(bulk);
        EXPECT_TRUE(same_records(records_of(*c), acknowledged));
        break;
      }
      fs.clear();
      EXPECT_TRUE(same_records(records_of(*c), acknowledged)) << "call " << n;
      Status later = c->insert(60, vec(60));
      if (later) {
        acknowledged[60] = {vec(60), Payload{}};
      } else {
        EXPECT_EQ(later.error().message(),
                  "collection error: a failed bulk insert could not be undone: reopen the collection")
            << "call " << n;
      }
    }
    auto c = open_ok(dir.str(), config(kDim));
    ASSERT_TRUE(c) << "call " << n;
    EXPECT_TRUE(same_records(records_of(*c), acknowledged)) << "call " << n;
    survived.count();
  }
  EXPECT_GT(survived.n(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultSweep, ::testing::ValuesIn(faults()), fault_name);

// A flush that failed is retried once the fault is lifted, and the retry
// leaves the log empty and everything in the data file.
TEST(FaultSweepRetry, AFailedFlushSucceedsWhenRetried) {
  Survived survived("flush retried after a failure");
  for (std::size_t n = 1;; ++n) {
    ScratchDir dir;
    Map acknowledged = seed(dir.str());
    FaultyFileSystem fs;
    {
      auto c = open_ok(dir.str(), config(kDim), fs);
      ASSERT_TRUE(c);
      for (std::uint64_t id = 20; id < 30; ++id) {
        ASSERT_TRUE(c->insert(id, vec(id)));
        acknowledged[id] = vec(id);
      }
      fs.fail_call(n);
      Status flushed = c->flush();
      if (fs.injected() == 0) {
        ASSERT_TRUE(flushed);
        break;
      }
      if (!flushed) {
        EXPECT_TRUE(is_known_failure(flushed.error())) << "call " << n;
      }
      fs.clear();
      ASSERT_TRUE(c->flush()) << "call " << n;
    }
    EXPECT_EQ(file_size(dir.file("wal.log")), 0u) << "call " << n;
    auto c = open_ok(dir.str(), config(kDim));
    ASSERT_TRUE(c) << "call " << n;
    EXPECT_TRUE(same_state(c->snapshot(), acknowledged)) << "call " << n;
    survived.count();
  }
  EXPECT_GT(survived.n(), 3u);
}

// Reads that return at most a few bytes each, starting at any read of the
// open: the open must not notice.
TEST(FaultSweepShortReads, AnOpenReadInPiecesYieldsTheSameCollection) {
  for (std::size_t bytes : {1u, 3u, 4096u}) {
    for (std::size_t n = 1;; ++n) {
      ScratchDir dir;
      Map expected = seed(dir.str());
      FaultyFileSystem fs;
      fs.short_read(n, bytes, /*persistent=*/true);
      auto c = open_ok(dir.str(), config(kDim), fs);
      ASSERT_TRUE(c) << "read " << n << ", " << bytes << " bytes";
      EXPECT_TRUE(same_state(c->snapshot(), expected)) << "read " << n;
      if (fs.injected() == 0) break;
    }
  }
}

}  // namespace
}  // namespace velmoradb::testing
