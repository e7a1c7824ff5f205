// A child process inserts and replaces in a loop and is killed with SIGKILL
// at a random moment. Every reopen must succeed and hold exactly the result
// of a prefix of the operations, covering every operation acknowledged by a
// completed flush; the next child carries on from there.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "collection/collection.h"
#include "collection_fixture.h"

namespace velmoradb::testing {
namespace {

constexpr std::size_t kDim = 8;
constexpr std::uint64_t kFlushEvery = 300;
constexpr int kCycles = 24;

struct Op {
  std::uint64_t id;
  std::vector<float> vector;  // component 0 is the operation's index
};

// Operation i: every fourth replaces the id of an earlier operation, the
// others insert the new id i.
Op op(std::uint64_t i) {
  std::uint64_t id = i;
  if (i % 4 == 3) {
    id = (i * 7919) % i;
    if (id % 4 == 3) id -= 1;
  }
  std::vector<float> v(kDim);
  v[0] = static_cast<float>(i);
  for (std::size_t k = 1; k < kDim; ++k) v[k] = static_cast<float>((i * 31 + k * 17) % 1000) / 7.0f;
  return {id, std::move(v)};
}

std::map<std::uint64_t, std::vector<float>> apply_prefix(std::uint64_t n) {
  std::map<std::uint64_t, std::vector<float>> state;
  for (std::uint64_t i = 0; i < n; ++i) {
    Op o = op(i);
    state[o.id] = std::move(o.vector);
  }
  return state;
}

[[noreturn]] void run_child(const std::string& dir, std::uint64_t start, int ack_fd) {
  auto c = PersistentCollection::open_or_create(dir, config(kDim));
  if (!c) _exit(2);
  for (std::uint64_t i = start;; ++i) {
    Op o = op(i);
    if (!(*c)->insert(o.id, std::move(o.vector))) _exit(3);
    if ((i + 1) % kFlushEvery == 0) {
      if (!(*c)->flush()) _exit(4);
      std::uint64_t acked = i + 1;  // every operation before this one is durable
      if (write(ack_fd, &acked, sizeof acked) != sizeof acked) _exit(5);
    }
  }
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
    auto state = (*c)->snapshot();
    std::uint64_t prefix = 0;
    for (auto& [id, v] : state) prefix = std::max(prefix, static_cast<std::uint64_t>(v[0]) + 1);
    ASSERT_GE(prefix, acked) << "cycle " << cycle << " lost flushed operations";
    ASSERT_GE(prefix, durable) << "cycle " << cycle << " lost operations an earlier open held";
    ASSERT_EQ(state, apply_prefix(prefix)) << "cycle " << cycle << " is no prefix";
    durable = prefix;
  }
  EXPECT_GT(durable, kFlushEvery);
  // Afterwards the collection still takes inserts, flushes and reopens.
  {
    auto c = open_ok(dir.str(), config(kDim));
    Op o = op(durable);
    ASSERT_TRUE(c->insert(o.id, o.vector));
    ASSERT_TRUE(c->flush());
  }
  auto c = open_ok(dir.str(), config(kDim));
  EXPECT_EQ(c->snapshot(), apply_prefix(durable + 1));
}

}  // namespace
}  // namespace velmoradb::testing
