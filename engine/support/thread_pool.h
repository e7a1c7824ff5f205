// ThreadPool: the engine's own worker threads, for work that a caller asks
// to spread over the cores (a batch of queries).
//
// shared() is created on first use with one worker per hardware thread
// (std::thread::hardware_concurrency, at least 1) and lives until the
// process ends. run(count, parts, fn) calls fn(i) once for every i below
// count, on the caller's thread and up to parts - 1 workers, and returns
// when every call has returned. Any number of callers may run at once;
// each takes indices from its own job, so a busy pool only means that the
// caller does more of its own work. fn must not throw.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace velmoradb {

class ThreadPool {
 public:
  static ThreadPool& shared();

  explicit ThreadPool(std::size_t workers);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  std::size_t workers() const { return threads_.size(); }
  void run(std::size_t count, std::size_t parts, const std::function<void(std::size_t)>& fn);

 private:
  void work();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace velmoradb
