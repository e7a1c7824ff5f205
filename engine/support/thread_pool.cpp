#include "engine/support/thread_pool.h"

#include <algorithm>
#include <atomic>
#include <memory>

namespace velmoradb {

namespace {

// One run(): the next index to take, and how many calls have returned.
struct Job {
  const std::function<void(std::size_t)>* fn;
  std::size_t count;
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::condition_variable all_done;
  std::size_t done = 0;

  // Takes indices until none is left; returns how many it ran.
  void drain() {
    std::size_t ran = 0;
    for (std::size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
      (*fn)(i);
      ++ran;
    }
    if (ran == 0) return;
    std::lock_guard lock(mutex);
    done += ran;
    if (done == count) all_done.notify_all();
  }
};

}  // namespace

ThreadPool& ThreadPool::shared() {
  // Never destroyed: workers may still be parked when static objects are
  // torn down at exit.
  static ThreadPool* pool = new ThreadPool(std::max(1u, std::thread::hardware_concurrency()));
  return *pool;
}

ThreadPool::ThreadPool(std::size_t workers) {
  threads_.reserve(workers);
  for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void ThreadPool::work() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (tasks_.empty()) return;  // stopping
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

void ThreadPool::run(std::size_t count, std::size_t parts, const std::function<void(std::size_t)>& fn) {
  if (count == 0) return;
  const std::size_t helpers = std::min({parts > 0 ? parts - 1 : 0, count - 1, threads_.size()});
  if (helpers == 0) {
    for (std::size_t i = 0; i < count; ++i) fn(i);
    return;
  }
  // Shared with the helper tasks, which may start after every index is
  // taken (and then do nothing) or even after run() has returned.
  auto job = std::make_shared<Job>();
  job->fn = &fn;
  job->count = count;
  {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < helpers; ++i) tasks_.emplace_back([job] { job->drain(); });
  }
  if (helpers == 1) {
    wake_.notify_one();
  } else {
    wake_.notify_all();
  }
  job->drain();
  std::unique_lock lock(job->mutex);
  job->all_done.wait(lock, [&] { return job->done == count; });
}

}  // namespace velmoradb
