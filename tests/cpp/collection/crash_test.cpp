// A child process inserts (with and without payloads), replaces, deletes,
// flushes and compacts in a loop and is killed with SIGKILL at a random
// moment. Every reopen must succeed and hold exactly the result
// of a prefix of the operations, covering every operation acknowledged by a
// completed flush; the next child carries on from there.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <random>
#include <thread>

#include "collection/collection.h"
#include "collection_fixture.h"

namespace velmoradb::testing {
namespace {

constexpr std::size_t kDim = 8;
constexpr std::uint64_t kFlushEvery = 300;
constexpr std::uint64_t kCompactEvery = 1000;  // a compaction before the flush
constexpr int kCycles = 24;

struct Op {
  bool remove;
  std::uint64_t id;
  std::vector<float> vector;  // component 0 is the operation's index
  Payload payload;
};

// Operation i: every seventh deletes the id of an earlier operation, every
// fourth other replaces one, the rest insert the new id i; even ones carry
// a payload.
Op op(std::uint64_t i) {
  if (i % 7 == 6) return {true, (i * 104729) % i, {}, {}};
  std::uint64_t id = i;
  if (i % 4 == 3) {
    id = (i * 7919) % i;
    if (id % 4 == 3) id -= 1;
  }
  std::vector<float> v(kDim);
  v[0] = static_cast<float>(i);
  for (std::size_t k = 1; k < kDim; ++k) v[k] = static_cast<float>((i * 31 + k * 17) % 1000) / 7.0f;
  Payload p;
  if (i % 2 == 0) p.data["op"] = i;
  return {false, id, std::move(v), std::move(p)};
}

using State = std::map<std::uint64_t, Record>;

State apply_prefix(std::uint64_t n) {
  State state;
  for (std::uint64_t i = 0; i < n; ++i) {
    Op o = op(i);
    if (o.remove) {
      state.erase(o.id);
    } else {
      state[o.id] = Record{o.id, std::move(o.vector), std::move(o.payload)};
    }
  }
  return state;
}

State state_of(PersistentCollection& c) {
  State state;
  auto ids = c.ids();
  EXPECT_TRUE(ids);
  for (std::uint64_t id : ids ? *ids : std::vector<std::uint64_t>{}) state[id] = **c.get(id);
  return state;
}

[[noreturn]] void run_child(const std::string& dir, std::uint64_t start, int ack_fd) {
  auto c = PersistentCollection::open_or_create(dir, config(kDim));
  if (!c) _exit(2);
  for (std::uint64_t i = start;; ++i) {
    Op o = op(i);
    if (o.remove) {
      if (!(*c)->remove(o.id)) _exit(3);
    } else if (!(*c)->insert(o.id, std::move(o.vector), std::move(o.payload))) {
      _exit(3);
    }
    if ((i + 1) % kCompactEvery == 0 && !(*c)->compact()) _exit(6);
    if ((i + 1) % kFlushEvery == 0) {
      if (!(*c)->flush()) _exit(4);
      std::uint64_t acked = i + 1;  // every operation before this one is durable
      if (write(ack_fd, &acked, sizeof acked) != sizeof acked) _exit(5);
    }
  }
}

// The length of a prefix of the operations whose result `state` is, at
// least `least`; none when there is none.
std::optional<std::uint64_t> prefix_of(const State& state, std::uint64_t least) {
  std::uint64_t newest = 0;  // the last insert the state shows was done
  for (const auto& [id, rec] : state) newest = std::max(newest, static_cast<std::uint64_t>(rec.vector[0]) + 1);
  // Deletes may follow the newest insert it shows: a few operations more.
  for (std::uint64_t n = std::max(newest, least); n <= std::max(newest, least) + 8; ++n) {
    if (state == apply_prefix(n)) return n;
  }
  return std::nullopt;
}

TEST(CollectionCrash, EveryKillLeavesAPrefixWithAllFlushedOperations) {
  ScratchDir dir;
  std::mt19937 rng(12345);
  std::uint64_t durable = 0;  // operations the collection holds after the last reopen
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      run_child(dir.str(), durable, fds[1]);
    }
    close(fds[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + rng() % 80));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child ended by itself, status " << status;
    std::uint64_t acked = 0, value;
    while (read(fds[0], &value, sizeof value) == sizeof value) acked = value;
    close(fds[0]);

    auto c = PersistentCollection::open_or_create(dir.str(), config(kDim));
    ASSERT_TRUE(c) << "cycle " << cycle << ": " << c.error().message();
    const State state = state_of(**c);
    // Every flushed operation and every one an earlier open held is there.
    auto prefix = prefix_of(state, std::max(acked, durable));
    ASSERT_TRUE(prefix) << "cycle " << cycle << " holds no prefix of at least " << std::max(acked, durable)
                        << " operations";
    durable = *prefix;
  }
  EXPECT_GT(durable, 2 * kCompactEvery);  // compactions happened
  // Afterwards the collection still takes inserts, flushes and reopens.
  {
    auto c = open_ok(dir.str(), config(kDim));
    Op o = op(durable);
    ASSERT_TRUE(o.remove ? c->remove(o.id).ok() : c->insert(o.id, o.vector, o.payload).ok());
    ASSERT_TRUE(c->flush());
  }
  auto c = open_ok(dir.str(), config(kDim));
  EXPECT_EQ(state_of(*c), apply_prefix(durable + 1));
}

}  // namespace
}  // namespace velmoradb::testing
