// A collection whose load goes on after open() returned: searches answered
// from the data file meanwhile, every other method after the load, and a
// failed load reported by the calls that follow.
#include <gtest/gtest.h>

#include <bit>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "collection_fixture.h"
#include "support/faulty_fs.h"

namespace velmoradb::testing {
namespace {

constexpr std::size_t kDim = 8;

CollectionConfig background(DistanceMetric metric = DistanceMetric::Euclidean) {
  CollectionConfig cfg = config(kDim, metric);
  cfg.load_in_background = true;
  cfg.background_load_min_bytes = 0;
  return cfg;
}

std::vector<float> random_vector(std::mt19937& gen) {
  std::normal_distribution<float> normal;
  std::vector<float> v(kDim);
  for (float& x : v) x = normal(gen);
  return v;
}

// 2,000 records with payloads, a tenth deleted and a tenth replaced, all in
// the data file and none in the log.
void fill(const std::string& dir, DistanceMetric metric) {
  auto c = open_ok(dir, config(kDim, metric));
  std::mt19937 gen(3);
  for (std::uint64_t id = 0; id < 2000; ++id) {
    ASSERT_TRUE(c->insert(id, random_vector(gen), payload("n", static_cast<double>(id % 5))));
  }
  for (std::uint64_t id = 0; id < 2000; id += 10) ASSERT_TRUE(c->remove(id));
  for (std::uint64_t id = 5; id < 2000; id += 10) ASSERT_TRUE(c->insert(id, random_vector(gen)));
  ASSERT_TRUE(c->close());
}

// The real file system, except that the reads of files opened by threads
// other than the test's wait for open_gate(): a load held at its first
// read, while the test's own calls go through.
class GatedFileSystem final : public FileSystem {
 public:
  void open_gate() {
    {
      std::lock_guard lock(m_);
      open_ = true;
    }
    changed_.notify_all();
  }

  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override {
    auto file = inner().open(path, mode);
    if (!file || std::this_thread::get_id() == test_thread_) return file;
    return std::unique_ptr<File>(std::make_unique<GatedFile>(std::move(*file), *this));
  }
  bool exists(const std::string& path) override { return inner().exists(path); }
  Status create_dirs(const std::string& path) override { return inner().create_dirs(path); }
  Status rename(const std::string& from, const std::string& to) override { return inner().rename(from, to); }
  Status sync_dir(const std::string& path) override { return inner().sync_dir(path); }
  Result<bool> is_directory(const std::string& path) override { return inner().is_directory(path); }
  Result<std::unique_ptr<DirLock>> lock_dir(const std::string& path, LockMode mode) override {
    return inner().lock_dir(path, mode);
  }

 private:
  class GatedFile final : public File {
   public:
    GatedFile(std::unique_ptr<File> file, GatedFileSystem& fs) : file_(std::move(file)), fs_(fs) {}
    Result<std::size_t> read(std::uint8_t* buf, std::size_t n) override {
      fs_.wait();
      return file_->read(buf, n);
    }
    Status write(const std::uint8_t* buf, std::size_t n) override { return file_->write(buf, n); }
    Status seek(std::uint64_t offset) override { return file_->seek(offset); }
    Status sync() override { return file_->sync(); }
    Result<std::uint64_t> length() override { return file_->length(); }
    Status truncate(std::uint64_t length) override { return file_->truncate(length); }

   private:
    std::unique_ptr<File> file_;
    GatedFileSystem& fs_;
  };

  static FileSystem& inner() { return default_file_system(); }
  void wait() {
    std::unique_lock lock(m_);
    // A test whose calls wait for the load would wait here for ever.
    if (!changed_.wait_for(lock, std::chrono::seconds(10), [this] { return open_; })) timed_out_ = true;
  }

  const std::thread::id test_thread_ = std::this_thread::get_id();
  std::mutex m_;
  std::condition_variable changed_;
  bool open_ = false;
  bool timed_out_ = false;

 public:
  // Whether a read went on without open_gate() (after ten seconds).
  bool timed_out() {
    std::lock_guard lock(m_);
    return timed_out_;
  }
};

// A collection filled, then opened with its load held at the gate.
struct HeldLoad {
  HeldLoad(const std::string& dir, DistanceMetric metric) {
    fill(dir, metric);
    auto opened = PersistentCollection::open_or_create(dir, background(metric), fs);
    EXPECT_TRUE(opened) << opened.error().message();
    if (opened) collection = std::move(*opened);
  }

  GatedFileSystem fs;
  std::unique_ptr<PersistentCollection> collection;  // closed before fs goes
};

// Opens the gate from another thread a moment from now: calls made
// meanwhile wait for the load (joined when it goes out of scope).
std::jthread open_gate_soon(GatedFileSystem& fs) {
  return std::jthread([&fs] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    fs.open_gate();
  });
}

class BackgroundLoad : public ::testing::TestWithParam<DistanceMetric> {};

TEST_P(BackgroundLoad, SearchesBeforeTheLoadEndsGiveTheLoadedAnswers) {
  const DistanceMetric metric = GetParam();
  std::mt19937 gen(11);
  std::vector<std::vector<float>> queries;
  for (int i = 0; i < 5; ++i) queries.push_back(random_vector(gen));
  ScratchDir dir;
  HeldLoad held(dir.str(), metric);
  ASSERT_TRUE(held.collection);
  PersistentCollection& c = *held.collection;
  GatedFileSystem& fs = held.fs;
  // The load is held at its first read: these come from the data file.
  std::vector<std::vector<SearchResult>> early;
  for (const auto& q : queries) {
    auto found = c.search(q.data(), q.size(), 10, nullptr);
    ASSERT_TRUE(found) << found.error().message();
    early.push_back(std::move(*found));
  }
  EXPECT_FALSE(fs.timed_out()) << "a search waited for the load";
  fs.open_gate();
  EXPECT_EQ(c.size(), 1800u);
  for (std::size_t i = 0; i < queries.size(); ++i) {
    auto loaded = c.search(queries[i].data(), kDim, 10, nullptr);
    ASSERT_TRUE(loaded);
    ASSERT_EQ(early[i].size(), loaded->size());
    for (std::size_t r = 0; r < loaded->size(); ++r) {
      EXPECT_EQ(early[i][r].id, (*loaded)[r].id);
      EXPECT_EQ(std::bit_cast<std::uint32_t>(early[i][r].distance),
                std::bit_cast<std::uint32_t>((*loaded)[r].distance));
      EXPECT_EQ(early[i][r].payload, (*loaded)[r].payload);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Metrics, BackgroundLoad,
                         ::testing::Values(DistanceMetric::Euclidean, DistanceMetric::Cosine,
                                           DistanceMetric::DotProduct));

// Every other call waits for the load, whether it began before or after it
// ended, and the collection then works as after a plain open.
TEST(BackgroundLoad, OtherCallsWaitForTheLoad) {
  ScratchDir dir;
  HeldLoad held(dir.str(), DistanceMetric::Euclidean);
  ASSERT_TRUE(held.collection);
  PersistentCollection& c = *held.collection;
  std::jthread release = open_gate_soon(held.fs);
  const std::vector<float> v(kDim, 0.5f);
  // A filtered search does not read the data file: it waits.
  JsonObject n_is_1;
  n_is_1["n"] = 1.0;
  auto where = Filter::compile(JsonValue(std::move(n_is_1)));
  ASSERT_TRUE(where);
  auto filtered = c.search(v.data(), kDim, 5, &*where);
  release.join();
  ASSERT_TRUE(filtered);
  EXPECT_EQ(filtered->size(), 5u);
  auto got = c.get(3);
  ASSERT_TRUE(got && *got);
  EXPECT_EQ((*got)->payload, payload("n", 3.0));
  EXPECT_FALSE(*c.contains(0));
  ASSERT_TRUE(c.insert(5000, v));
  ASSERT_TRUE(c.close());
  auto again = open_ok(dir.str(), config(kDim));
  EXPECT_EQ(again->size(), 1801u);
}

// A close or a destruction while the load runs waits for it and loses nothing.
class EndedWhileLoading : public ::testing::TestWithParam<bool> {};

TEST_P(EndedWhileLoading, KeepsEveryRecord) {
  ScratchDir dir;
  {
    HeldLoad held(dir.str(), DistanceMetric::Euclidean);
    ASSERT_TRUE(held.collection);
    std::jthread release = open_gate_soon(held.fs);
    if (GetParam()) {
      EXPECT_TRUE(held.collection->close());
    }
    held.collection.reset();  // the destructor, after a close or alone
    release.join();
  }
  auto c = open_ok(dir.str(), config(kDim));
  EXPECT_EQ(c->size(), 1800u);
}

INSTANTIATE_TEST_SUITE_P(CloseOrDestructor, EndedWhileLoading, ::testing::Bool());

// A read of the data file that fails: with nothing in the log the open has
// returned, and the failure is every later call's; with a log to replay the
// load is the open's own, which fails. Nothing on disk changes either way.
class FailedLoad : public ::testing::TestWithParam<bool> {};

TEST_P(FailedLoad, IsReportedAndChangesNothing) {
  const bool log_to_replay = GetParam();
  ScratchDir dir;
  fill(dir.str(), DistanceMetric::Euclidean);
  if (log_to_replay) write_log(dir.file("wal.log"), {entry(WalEntryKind::Delete, 1)});
  const std::string data_before = read_bytes(dir.file("data.vdb"));
  const std::string log_before = read_bytes(dir.file("wal.log"));
  // Every read from the n-th on fails: the first n whose open returns has
  // the load's reads fail (none, when the load is the open's).
  bool failed_after_open = false;
  for (std::size_t n = 1; n < 100; ++n) {
    SCOPED_TRACE("reads fail from the " + std::to_string(n) + "th");
    FaultyFileSystem fs;
    fs.fail_call(FsCall::Read, n, EIO, /*persistent=*/true);
    auto opened = PersistentCollection::open_or_create(dir.str(), background(), fs);
    if (opened) {
      PersistentCollection& c = **opened;
      const std::size_t size = c.size();  // waits for the load: fs is this thread's again
      if (fs.injected() == 0) {
        EXPECT_EQ(size, log_to_replay ? 1799u : 1800u);
        break;
      }
      EXPECT_FALSE(log_to_replay);
      failed_after_open = true;
      EXPECT_EQ(size, 0u);
      auto found = c.search(std::vector<float>(kDim, 0.0f).data(), kDim, 3, nullptr);
      ASSERT_FALSE(found);
      EXPECT_NE(found.error().message().find("Input/output error"), std::string::npos) << found.error().message();
      EXPECT_FALSE(c.insert(9999, std::vector<float>(kDim, 1.0f)));
      EXPECT_FALSE(c.flush());
      EXPECT_FALSE(c.close());
    }
    EXPECT_EQ(read_bytes(dir.file("data.vdb")), data_before);
    EXPECT_EQ(read_bytes(dir.file("wal.log")), log_before);
  }
  EXPECT_EQ(failed_after_open, !log_to_replay);
  auto c = open_ok(dir.str(), config(kDim));
  EXPECT_EQ(c->size(), log_to_replay ? 1799u : 1800u);
}

INSTANTIATE_TEST_SUITE_P(LogOrNot, FailedLoad, ::testing::Bool());

}  // namespace
}  // namespace velmoradb::testing
