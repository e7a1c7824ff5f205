// SearchPathChooser: which of the two exact paths of a single-query search
// costs less on this index, this data and this machine: the bound codes or
// the plain scan. Both give the same results (the codes' bounds only skip
// vectors that cannot be among the k), so the choice changes the time of a
// search and nothing else. Where the codes separate the vectors poorly (in
// hundreds of dimensions of noise-like data, at sizes where a query's
// tables are a large part of its cost) the plain scan wins; elsewhere the
// codes do, by several times.
//
// The choice is by measured time: an exponential average of each path's
// time per query, the cheaper path taken, the other tried again on every
// kProbeEvery-th query, so that a change of the data, the size or the
// machine's load is followed. The average falls faster than it rises: noise
// on a shared machine only ever makes a query slower, and the path not
// taken is measured once in kProbeEvery queries, so one slow measurement
// (the first query, say, touching memory for the first time) would
// otherwise keep a path off for a hundred queries or more. Safe for concurrent searches (the averages
// are updated without a lock; a lost update only delays the average).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace velmoradb {

class SearchPathChooser {
 public:
  static constexpr std::uint64_t kProbeEvery = 16;

  // True: take the bound codes for this query.
  bool use_codes() {
    const std::uint64_t q = queries_.fetch_add(1, std::memory_order_relaxed);
    const double codes = ns_[kCodes].load(std::memory_order_relaxed);
    const double scan = ns_[kScan].load(std::memory_order_relaxed);
    if (codes < 0) return true;  // each path measured once first
    if (scan < 0) return false;
    const bool codes_cheaper = codes <= scan;
    return q % kProbeEvery == 0 ? !codes_cheaper : codes_cheaper;
  }

  void record(bool codes, std::chrono::steady_clock::duration took) {
    std::atomic<double>& average = ns_[codes ? kCodes : kScan];
    const double t = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count());
    const double old = average.load(std::memory_order_relaxed);
    const double weight = t < old ? kFasterWeight : kWeight;
    average.store(old < 0 ? t : old + (t - old) * weight, std::memory_order_relaxed);
  }

 private:
  static constexpr int kCodes = 0;
  static constexpr int kScan = 1;
  static constexpr double kWeight = 0.25;        // of a newest time above the average
  static constexpr double kFasterWeight = 0.75;  // of one below it

  std::atomic<std::uint64_t> queries_{0};
  std::atomic<double> ns_[2] = {-1.0, -1.0};  // negative: not measured yet
};

}  // namespace velmoradb
