// Walks every file-system call of open, insert and flush: fail call 1, then
// call 2, and so on until the workload runs past the last call. After each
// injected failure the error must be one of the known texts, the collection
// must stay usable, and a reopen without faults must hold exactly the
// acknowledged inserts.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "collection/collection.h"
#include "collection_fixture.h"
#include "storage/faulty_fs.h"

namespace velmoradb::testing {
namespace {

using Map = std::map<std::uint64_t, std::vector<float>>;
constexpr std::size_t kDim = 32;

std::vector<float> vec(std::uint64_t id) {
  std::vector<float> v(kDim);
  for (std::size_t i = 0; i < kDim; ++i) v[i] = static_cast<float>(id) + static_cast<float>(i) / 8.0f;
  return v;
}

// Every text an injected EIO may surface as.
::testing::AssertionResult is_known_failure(const VectorError& e) {
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
      "io error: read payload failed: ",
  };
  std::string m = e.message();
  std::string cause = std::strerror(EIO);
  for (const std::string& p : phrases) {
    if (m == p + cause) return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "unexpected error text: " << m;
}

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
    if (id == 3) EXPECT_TRUE(c->flush());
  }
  return m;
}

TEST(FaultSweep, OpenOfANewCollection) {
  std::size_t injected_runs = 0;
  for (std::size_t n = 1;; ++n) {
    ScratchDir dir;
    std::string path = dir.file("new/coll");
    FaultyFileSystem fs;
    fs.fail_call(n);
    auto r = PersistentCollection::open_or_create(path, config(kDim), fs);
    if (fs.injected() == 0) {
      ASSERT_TRUE(r);
      break;
    }
    ++injected_runs;
    if (!r) EXPECT_TRUE(is_known_failure(r.error())) << "call " << n;
    r = Result<std::unique_ptr<PersistentCollection>>(VectorError::io(""));  // close it
    auto c = open_ok(path, config(kDim));
    ASSERT_TRUE(c) << "call " << n;
    EXPECT_TRUE(c->snapshot().empty());
  }
  EXPECT_GT(injected_runs, 5u);
}

TEST(FaultSweep, OpenOfAnExistingCollectionWithALog) {
  std::size_t injected_runs = 0;
  for (std::size_t n = 1;; ++n) {
    ScratchDir dir;
    Map expected = seed(dir.str());
    FaultyFileSystem fs;
    fs.fail_call(n);
    {
      auto r = PersistentCollection::open_or_create(dir.str(), config(kDim), fs);
      if (fs.injected() == 0) {
        ASSERT_TRUE(r);
        EXPECT_TRUE(same_state((*r)->snapshot(), expected));
        break;
      }
      ++injected_runs;
      if (r) {
        EXPECT_TRUE(same_state((*r)->snapshot(), expected)) << "call " << n;
      } else {
        EXPECT_TRUE(is_known_failure(r.error())) << "call " << n;
      }
    }
    auto c = open_ok(dir.str(), config(kDim));
    ASSERT_TRUE(c) << "call " << n;
    EXPECT_TRUE(same_state(c->snapshot(), expected)) << "call " << n;
  }
  EXPECT_GT(injected_runs, 10u);
}

TEST(FaultSweep, InsertsAndFlushKeepExactlyTheAcknowledged) {
  constexpr std::uint64_t kInserts = 120;  // past one batched sync and buffer write-outs
  std::size_t injected_runs = 0;
  for (std::size_t n = 1;; ++n) {
    ScratchDir dir;
    Map acknowledged = seed(dir.str());
    FaultyFileSystem fs;
    {
      auto opened = PersistentCollection::open_or_create(dir.str(), config(kDim), fs);
      ASSERT_TRUE(opened);
      auto& c = *opened;
      fs.fail_call(n);
      std::size_t failures = 0;
      for (std::uint64_t id = 10; id < 10 + kInserts; ++id) {
        // Every fifth insert replaces an earlier id.
        std::uint64_t target = id % 5 == 0 ? id - 7 : id;
        if (auto r = c->insert(target, vec(id))) {
          acknowledged[target] = vec(id);
        } else {
          ++failures;
          EXPECT_TRUE(is_known_failure(r.error())) << "call " << n;
        }
      }
      if (auto r = c->flush(); !r) {
        ++failures;
        EXPECT_TRUE(is_known_failure(r.error())) << "call " << n;
      }
      if (fs.injected() == 0) {
        EXPECT_EQ(failures, 0u);
        break;
      }
      ++injected_runs;
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
  }
  EXPECT_GT(injected_runs, 10u);
}

}  // namespace
}  // namespace velmoradb::testing
