#include "engine/bound_codes.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace velmoradb {

namespace {

constexpr std::size_t kEnds = kCodeCells + 1;
// Rows sampled for the inner cell ends.
constexpr std::size_t kSampleRows = 4096;
// Vectors scanned between two updates of the k-th distance: each chunk's
// survivors go to the exact function in one call.
constexpr std::size_t kChunk = 256;
// Queries whose tables are held at once in a batch: each group makes one
// pass over the codes (a table is dim KiB).
constexpr std::size_t kQueryGroup = 8;

// The k nearest distances offered so far, with the ordering of top_k.h:
// NaN is farther than every number and is kept when fewer than k numbers
// are; once full, only a strictly nearer distance enters.
class Nearest {
 public:
  explicit Nearest(std::size_t k) : k_(k) {}
  bool full() const { return heap_.size() == k_; }
  // The k-th distance once full; NaN (prunes nothing) before.
  float worst() const { return full() ? heap_.front().distance : std::numeric_limits<float>::quiet_NaN(); }
  void offer(float d, std::uint32_t slot) {
    if (k_ == 0) return;
    if (full()) {
      if (!farther(heap_.front(), Candidate{d, slot})) return;
      std::pop_heap(heap_.begin(), heap_.end(), farther_than);
      heap_.back() = {d, slot};
    } else {
      heap_.push_back({d, slot});
    }
    std::push_heap(heap_.begin(), heap_.end(), farther_than);
  }
  std::vector<Candidate> take() {
    std::sort_heap(heap_.begin(), heap_.end(), farther_than);
    return std::move(heap_);
  }

 private:
  // a is strictly farther than b.
  static bool farther(const Candidate& a, const Candidate& b) {
    if (std::isnan(b.distance)) return false;
    return std::isnan(a.distance) || a.distance > b.distance;
  }
  // Heap order: the farthest on top; sort_heap then gives nearest first.
  static bool farther_than(const Candidate& a, const Candidate& b) { return farther(b, a); }

  std::size_t k_;
  std::vector<Candidate> heap_;
};

bool all_finite(const float* row, std::size_t dim) {
  for (std::size_t i = 0; i < dim; ++i) {
    if (!std::isfinite(row[i])) return false;
  }
  return true;
}

VectorError slot_error(std::uint32_t slot, std::size_t size) {
  return VectorError::collection("bound codes: slot " + std::to_string(slot) + " is not below the size " +
                                 std::to_string(size));
}

}  // namespace

struct BoundCodes::QueryScan {
  QueryScan(std::size_t index, const float* q, std::size_t k) : query(index), vector(q), nearest(k) {}
  std::size_t query;
  const float* vector;
  QueryBounds bounds;
  Nearest nearest;
};

BoundCodes::BoundCodes(DistanceMetric metric, std::size_t dimension)
    : metric_(metric), dim_(dimension), ends_(dimension * kEnds, 0.0f) {}

bool BoundCodes::needs_rebuild() const {
  return exact_only_count_ > 64 && exact_only_count_ > size() / 16;
}

std::size_t BoundCodes::memory_bytes() const {
  return codes_.capacity() + exact_only_.capacity() + norms_.capacity() * sizeof(float) +
         ends_.capacity() * sizeof(float);
}

void BoundCodes::build(const float* rows, std::size_t count) {
  codes_.assign(count * dim_, 0);
  exact_only_.assign(count, 0);
  norms_.assign(metric_ == DistanceMetric::Cosine ? count : 0, 0.0f);
  exact_only_count_ = 0;
  // Cell ends per component: the exact minimum and maximum of the finite
  // values, and the quantiles of an even sample of rows in between, so
  // dense ranges get narrow cells.
  // One row-major pass for the extremes (a pass per component would read
  // every row dim times).
  std::vector<float> lo(dim_, std::numeric_limits<float>::infinity());
  std::vector<float> hi(dim_, -std::numeric_limits<float>::infinity());
  for (std::size_t r = 0; r < count; ++r) {
    const float* row = rows + r * dim_;
    for (std::size_t i = 0; i < dim_; ++i) {
      if (std::isfinite(row[i])) {
        lo[i] = std::min(lo[i], row[i]);
        hi[i] = std::max(hi[i], row[i]);
      }
    }
  }
  const std::size_t step = std::max<std::size_t>(1, count / kSampleRows);
  std::vector<float> sample;
  sample.reserve(count / step + 1);
  for (std::size_t i = 0; i < dim_; ++i) {
    float* e = ends_.data() + i * kEnds;
    if (lo[i] > hi[i]) {  // no finite value: any cells do
      std::fill(e, e + kEnds, 0.0f);
      continue;
    }
    sample.clear();
    for (std::size_t r = 0; r < count; r += step) {
      float x = rows[r * dim_ + i];
      if (std::isfinite(x)) sample.push_back(x);
    }
    std::sort(sample.begin(), sample.end());
    e[0] = lo[i];
    e[kCodeCells] = hi[i];
    for (std::size_t c = 1; c < kCodeCells; ++c) {
      float x = sample.empty() ? lo[i] : sample[c * sample.size() / kCodeCells];
      e[c] = std::clamp(x, lo[i], hi[i]);
    }
  }
  for (std::size_t r = 0; r < count; ++r) encode(r, rows + r * dim_);
}

void BoundCodes::encode(std::size_t slot, const float* row) {
  std::uint8_t* code = codes_.data() + slot * dim_;
  bool exact = !all_finite(row, dim_);
  for (std::size_t i = 0; i < dim_ && !exact; ++i) {
    const float* e = ends_.data() + i * kEnds;
    float x = row[i];
    if (!(x >= e[0] && x <= e[kCodeCells])) {
      exact = true;
      break;
    }
    // The cell c with e[c] <= x, and x <= e[c + 1]: the number of inner
    // ends at or below x.
    code[i] = static_cast<std::uint8_t>(std::upper_bound(e + 1, e + kCodeCells, x) - (e + 1));
  }
  if (metric_ == DistanceMetric::Cosine) {
    float norm = exact ? 0.0f : std::sqrt(dot_product(row, row, dim_));
    norms_[slot] = norm;
    if (!(norm > 0.0f) || std::isinf(norm)) exact = true;
  }
  if (exact) std::fill(code, code + dim_, 0);
  exact_only_count_ += static_cast<std::size_t>(exact) - exact_only_[slot];
  exact_only_[slot] = exact ? 1 : 0;
}

void BoundCodes::append(const float* row) {
  const std::size_t slot = size();
  codes_.resize(codes_.size() + dim_, 0);
  exact_only_.push_back(0);
  if (metric_ == DistanceMetric::Cosine) norms_.push_back(0.0f);
  encode(slot, row);
}

Status BoundCodes::replace(std::uint32_t slot, const float* row) {
  if (slot >= size()) return slot_error(slot, size());
  encode(slot, row);
  return {};
}

Status BoundCodes::remove(std::uint32_t slot) {
  if (slot >= size()) return slot_error(slot, size());
  const std::size_t last = size() - 1;
  exact_only_count_ -= exact_only_[slot];
  if (slot != last) {
    std::copy_n(codes_.data() + last * dim_, dim_, codes_.data() + std::size_t{slot} * dim_);
    exact_only_[slot] = exact_only_[last];
    if (!norms_.empty()) norms_[slot] = norms_[last];
  }
  codes_.resize(last * dim_);
  exact_only_.pop_back();
  if (!norms_.empty()) norms_.pop_back();
  return {};
}

// The slots of [first, end) (filtered) whose bound does not rule them out
// against the query's current k-th distance.
void BoundCodes::scan_chunk(QueryScan& scan, std::size_t first, std::size_t end, const SlotBitmap* filter,
                            std::vector<std::uint32_t>& survivors) const {
  const QueryBounds& qb = scan.bounds;
  const float kth = scan.nearest.worst();
  const bool cosine = metric_ == DistanceMetric::Cosine;
  const std::int64_t limit = cosine ? kNoCodeLimit : code_sum_limit(qb, kth);
  const bool prune = qb.prunable && scan.nearest.full() && (cosine || limit < std::int64_t{1} << 32);
  const std::uint32_t* table = qb.table.data();
  for (std::size_t v = first; v < end; ++v) {
    if (filter && !filter->test(v)) continue;
    if (!prune || exact_only_[v]) {
      survivors.push_back(static_cast<std::uint32_t>(v));
      continue;
    }
    if (limit < 0) continue;
    const std::uint8_t* code = codes_.data() + v * dim_;
    // Entries are at most 2^32 / dim: the sum cannot wrap.
    std::uint32_t sum = 0;
    if (cosine) {
      for (std::size_t i = 0; i < dim_; ++i) sum += table[i * kCodeCells + code[i]];
      const float den = qb.query_norm * norms_[v];
      if (!(den > 0.0f) || std::isinf(den) || cosine_may_reach(qb, sum, den, kth))
        survivors.push_back(static_cast<std::uint32_t>(v));
      continue;
    }
    // Every entry is >= 0, so a partial sum above the limit rules the vector out.
    const std::uint32_t lim = static_cast<std::uint32_t>(limit);
    std::size_t i = 0;
    bool out = false;
    for (; i + 16 <= dim_; i += 16) {
      const std::uint32_t* t = table + i * kCodeCells;
      const std::uint8_t* c = code + i;
      for (std::size_t j = 0; j < 16; ++j) sum += t[j * kCodeCells + c[j]];
      if (sum > lim) {
        out = true;
        break;
      }
    }
    if (!out) {
      for (; i < dim_; ++i) sum += table[i * kCodeCells + code[i]];
      if (sum <= lim) survivors.push_back(static_cast<std::uint32_t>(v));
    }
  }
}

std::vector<Candidate> BoundCodes::search(const float* query, std::size_t k, const ExactDistances& exact,
                                          const SlotBitmap* filter, BoundSearchStats* stats) const {
  auto all = search_batch(query, 1, k, exact, filter, stats);
  return std::move(all.front());
}

std::vector<std::vector<Candidate>> BoundCodes::search_batch(const float* queries, std::size_t nq, std::size_t k,
                                                             const ExactDistances& exact,
                                                             const SlotBitmap* filter,
                                                             BoundSearchStats* stats) const {
  std::vector<std::vector<Candidate>> out(nq);
  const std::size_t n = size();
  if (k == 0 || n == 0) return out;
  std::vector<std::uint32_t> survivors;
  survivors.reserve(kChunk);
  std::vector<float> dist(kChunk);
  for (std::size_t g = 0; g < nq; g += kQueryGroup) {
    const std::size_t group = std::min(kQueryGroup, nq - g);
    std::vector<QueryScan> scans;
    scans.reserve(group);
    for (std::size_t q = 0; q < group; ++q) {
      scans.emplace_back(g + q, queries + (g + q) * dim_, k);
      prepare_query_bounds(metric_, scans.back().vector, ends_.data(), dim_, scans.back().bounds);
    }
    for (std::size_t first = 0; first < n; first += kChunk) {
      const std::size_t end = std::min(n, first + kChunk);
      for (QueryScan& scan : scans) {
        survivors.clear();
        scan_chunk(scan, first, end, filter, survivors);
        if (stats) {
          stats->candidates += filter ? 0 : end - first;
          stats->exact += survivors.size();
        }
        if (survivors.empty()) continue;
        exact(scan.query, survivors.data(), survivors.size(), dist.data());
        for (std::size_t s = 0; s < survivors.size(); ++s) scan.nearest.offer(dist[s], survivors[s]);
      }
    }
    if (stats && filter) {
      std::size_t passing = 0;
      for (std::size_t v = 0; v < n; ++v) passing += filter->test(v) ? 1 : 0;
      stats->candidates += passing * group;
    }
    for (QueryScan& scan : scans) out[scan.query] = scan.nearest.take();
  }
  return out;
}

ExactDistances exact_distances_of_rows(DistanceMetric metric, const float* queries, const float* rows,
                                       std::size_t dim) {
  return [metric, queries, rows, dim](std::size_t query, const std::uint32_t* slots, std::size_t n, float* out) {
    const float* q = queries + query * dim;
    for (std::size_t s = 0; s < n; ++s) out[s] = distance(metric, q, rows + std::size_t{slots[s]} * dim, dim);
  };
}

}  // namespace velmoradb
