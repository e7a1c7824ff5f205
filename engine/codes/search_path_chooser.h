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
// time per query, the cheaper path taken, the other tried again now and
// then, so that a change of the data, the size or the machine's load is
// followed. A try of the slower path costs its time: the tries are spaced
// so that they take at most 1 / kProbeEvery of the time the cheaper path
// takes (a path three times slower is tried every 48th query, one ten
// times slower every 160th, at most every kProbeEvery * kMaxSpacing-th);
// at a fixed every 16th query, a scan seven times slower than the codes
// made the mean query 40 % slower than the median. A path measured fewer
// than kSettleTries times is tried every kProbeEvery-th query: one slow
// measurement (the first query, say, touching memory for the first time)
// would otherwise keep a path off for hundreds of queries. For the same
// reason the average falls faster than it rises: noise on a shared machine
// only ever makes a query slower. Safe for concurrent searches (the
// averages are updated without a lock; a lost update only delays the
// average, a lost count only moves a try).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace velmoradb {

class SearchPathChooser {
 public:
  static constexpr std::uint64_t kProbeEvery = 16;
  static constexpr std::uint64_t kMaxSpacing = 16;
  static constexpr std::uint64_t kSettleTries = 3;

  // True: take the bound codes for this query.
  bool use_codes() {
    const double codes = ns_[kCodes].load(std::memory_order_relaxed);
    const double scan = ns_[kScan].load(std::memory_order_relaxed);
    if (codes < 0) return true;  // each path measured once first
    if (scan < 0) return false;
    const bool codes_cheaper = codes <= scan;
    const int other = codes_cheaper ? kScan : kCodes;
    std::uint64_t spacing = kProbeEvery;
    if (tries_[other].load(std::memory_order_relaxed) >= kSettleTries) {
      const double cheaper = codes_cheaper ? codes : scan;
      const double ratio = cheaper > 0 ? (codes_cheaper ? scan : codes) / cheaper : 1.0;
      spacing = static_cast<std::uint64_t>(static_cast<double>(kProbeEvery) *
                                           std::clamp(ratio, 1.0, static_cast<double>(kMaxSpacing)));
    }
    if (since_try_.fetch_add(1, std::memory_order_relaxed) + 1 < spacing) return codes_cheaper;
    since_try_.store(0, std::memory_order_relaxed);
    return !codes_cheaper;
  }

  void record(bool codes, std::chrono::steady_clock::duration took) {
    const int path = codes ? kCodes : kScan;
    std::atomic<double>& average = ns_[path];
    const double t = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count());
    const double old = average.load(std::memory_order_relaxed);
    const double weight = t < old ? kFasterWeight : kWeight;
    average.store(old < 0 ? t : old + (t - old) * weight, std::memory_order_relaxed);
    tries_[path].fetch_add(1, std::memory_order_relaxed);
  }

 private:
  static constexpr int kCodes = 0;
  static constexpr int kScan = 1;
  static constexpr double kWeight = 0.25;        // of a newest time above the average
  static constexpr double kFasterWeight = 0.75;  // of one below it

  std::atomic<std::uint64_t> since_try_{0};  // queries since the slower path was last tried
  std::atomic<std::uint64_t> tries_[2] = {0, 0};  // measurements of each path
  std::atomic<double> ns_[2] = {-1.0, -1.0};  // negative: not measured yet
};

}  // namespace velmoradb
