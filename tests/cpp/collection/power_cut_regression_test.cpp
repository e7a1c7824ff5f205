// One test for each way a power cut used to break the collection's
// promises; each names the fault it pins. The sweep in power_cut_test.cpp
// covers them all among many other states; these show them one at a time.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "collection/collection.h"
#include "collection_fixture.h"
#include "support/power_cut_fs.h"

namespace velmoradb::testing {
namespace {

const std::string kDir = "/db/coll";
const std::string kWal = kDir + "/wal.log";
const std::string kData = kDir + "/data.vdb";
using Kept = PowerCutFileSystem::Kept;
using State = std::map<std::uint64_t, std::vector<float>>;

std::vector<float> v(float x) { return {x, x + 1, x + 2, x + 3}; }

State reopen(const DiskImage& image) {
  PowerCutFileSystem disk(image);
  auto c = PersistentCollection::open_or_create(kDir, config(4), disk);
  EXPECT_TRUE(c) << c.error().message();
  return c ? (*c)->snapshot() : State{};
}

// Fault: the deleted marker of a replaced record, written in place, reached
// the disk without the new record and its log frame: the flushed id vanished.
TEST(PowerCutRegression, AReplacementAfterAFlushNeverLosesTheFlushedVector) {
  PowerCutFileSystem fs({"/db"});
  {
    auto c = open_ok(kDir, config(4), fs);
    ASSERT_TRUE(c->insert(1, v(1)));
    ASSERT_TRUE(c->flush());
    ASSERT_TRUE(c->insert(1, v(2)));
    // The cut comes before the collection is closed: the marker landed,
    // and of the log only the checkpoint's truncation.
    EXPECT_EQ(reopen(fs.cut({{kData, Kept::OverwritesOnly}, {kWal, Kept::FirstChange}}, true)), (State{{1, v(1)}}));
  }
}

// Fault: the data file reached the disk further than the forced part of
// the log, and replaying the log over it brought back an older vector
// while a later insert stayed: no prefix of the operations.
TEST(PowerCutRegression, TheDataFileNeverGetsAheadOfTheForcedLog) {
  PowerCutFileSystem fs({"/db"});
  {
    auto c = open_ok(kDir, config(4), fs);
    for (std::uint64_t id = 1; id <= 100; ++id) ASSERT_TRUE(c->insert(id, v(static_cast<float>(id))));
    ASSERT_TRUE(c->insert(1, v(500)));
    ASSERT_TRUE(c->insert(200, v(200)));
  }
  State got = reopen(fs.cut({{kData, Kept::Everything}, {kWal, Kept::Synced}}, true));
  ASSERT_EQ(got.size(), 101u);
  EXPECT_EQ(got[1], v(500));  // id 200 is there, so the replacement before it is too
}

// Fault: a log or data file ending in zeros (grown before its data reached
// the disk) failed the open; a zero tail of the data file was kept aside as
// damage.
TEST(PowerCutRegression, ZeroTailsAreCutAndTheCollectionOpens) {
  ScratchDir dir;
  {
    auto c = open_ok(dir.str(), config(4));
    for (std::uint64_t id = 1; id <= 5; ++id) ASSERT_TRUE(c->insert(id, v(static_cast<float>(id))));
  }
  const auto wal_size = std::filesystem::file_size(dir.file("wal.log"));
  {
    std::ofstream(dir.file("wal.log"), std::ios::binary | std::ios::app) << std::string(3000, '\0');
    std::ofstream(dir.file("data.vdb"), std::ios::binary | std::ios::app) << std::string(5000, '\0');
  }
  {
    auto c = open_ok(dir.str(), config(4));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->size(), 5u);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("data.vdb.damaged")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("wal.log.damaged")));
  EXPECT_LT(std::filesystem::file_size(dir.file("wal.log")), wal_size + 1);
}

// A page of an append lost inside the log, with frames after it: the log
// ends before it, and the bytes after it are kept aside, not destroyed.
TEST(PowerCutRegression, ALostPageInsideTheLogEndsItAndKeepsACopy) {
  ScratchDir dir;
  {
    auto c = open_ok(dir.str(), config(4));
    for (std::uint64_t id = 1; id <= 200; ++id) ASSERT_TRUE(c->insert(id, v(static_cast<float>(id))));
  }
  std::string log = read_bytes(dir.file("wal.log"));
  ASSERT_GT(log.size(), 3 * 4096u);
  std::fill(log.begin() + 4096, log.begin() + 8192, '\0');
  std::ofstream(dir.file("wal.log"), std::ios::binary | std::ios::trunc) << log;
  std::filesystem::resize_file(dir.file("data.vdb"), 0);  // only the log tells
  auto c = open_ok(dir.str(), config(4));
  ASSERT_TRUE(c);
  const std::size_t kept = c->size();
  EXPECT_GT(kept, 0u);
  EXPECT_LT(kept, 200u);
  for (std::uint64_t id = 1; id <= kept; ++id) EXPECT_EQ(c->snapshot().count(id), 1u);  // a prefix
  EXPECT_TRUE(std::filesystem::exists(dir.file("wal.log.damaged")));
}

// Fault: neither the new collection directory in its parent nor the log's
// truncation at a checkpoint was forced: a power cut took the flushed
// collection away, or brought back frames from before the checkpoint that
// replayed older vectors over newer records.
TEST(PowerCutRegression, TheDirectoryAndTheEmptiedLogAreForced) {
  PowerCutFileSystem fs({"/db"});
  {
    auto c = open_ok(kDir, config(4), fs);
    ASSERT_TRUE(c->insert(1, v(1)));
    ASSERT_TRUE(c->flush());
    EXPECT_EQ(reopen(fs.cut({}, /*unsynced_names=*/false)), (State{{1, v(1)}}));
    ASSERT_TRUE(c->insert(1, v(2)));
    ASSERT_TRUE(c->insert(2, v(3)));
  }
  State got = reopen(fs.cut({{kWal, Kept::Synced}, {kData, Kept::Everything}}, false));
  EXPECT_TRUE(got == (State{{1, v(1)}}) || got == (State{{1, v(2)}, {2, v(3)}}));
}

// Fault: every open of an unflushed collection appended the whole log to
// the data file again, so the file grew with every open.
TEST(PowerCutRegression, ASecondOpenChangesNoFile) {
  ScratchDir dir;
  {
    auto c = open_ok(dir.str(), config(4));
    for (std::uint64_t id = 1; id <= 10; ++id) ASSERT_TRUE(c->insert(id, v(static_cast<float>(id))));
  }
  auto files = [&] {
    return std::vector<std::string>{read_bytes(dir.file("meta.json")), read_bytes(dir.file("wal.log")),
                                    read_bytes(dir.file("data.vdb"))};
  };
  open_ok(dir.str(), config(4)).reset();
  const auto first = files();
  EXPECT_TRUE(first[1].empty());  // the recovery ended with a checkpoint
  for (int i = 0; i < 3; ++i) open_ok(dir.str(), config(4)).reset();
  EXPECT_EQ(files(), first);
}

}  // namespace
}  // namespace velmoradb::testing
