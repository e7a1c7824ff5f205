// VectorIndex's bound codes: building them from the arena, keeping them
// current, and the single-query search through them.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/index/vector_index.h"

namespace velmoradb {

namespace {

// The codes' cells are built from at most this many evenly spaced vectors
// plus, per component, the vectors holding its smallest and largest finite
// value (so every stored vector falls within the cells): a copy of the
// sample, not of every vector, is what a build holds beside the arena (a
// whole copy would double the memory of a large index for a moment).
constexpr std::size_t kCodeSampleRows = 16384;
// A build asked to stop looks at its stop token every this many blocks.
constexpr std::size_t kStopCheckBlocks = 64;

// Copies the vectors of slots [first_slot, first_slot + count) into
// `rows`, one after the other, a block at a time.
void gather_rows(const float* arena, std::size_t dim, std::size_t first_slot, std::size_t count,
                        float* rows) {
  const std::size_t end = first_slot + count;
  for (std::size_t slot = first_slot; slot < end;) {
    const std::size_t block_end = std::min(end, (slot / kBlockWidth + 1) * kBlockWidth);
    const float* block = arena + (slot / kBlockWidth) * dim * kBlockWidth;
    for (std::size_t i = 0; i < dim; ++i) {
      const float* lane = block + i * kBlockWidth;
      for (std::size_t s = slot; s < block_end; ++s) rows[(s - first_slot) * dim + i] = lane[s % kBlockWidth];
    }
    slot = block_end;
  }
}

}  // namespace

void VectorIndex::use_bound_codes(bool on) {
  codes_on_ = on;
  if (!on) {
    codes_.reset();
    return;
  }
  maintain_codes();
}

void VectorIndex::set_bound_codes_min_size(std::size_t size) {
  codes_min_size_ = size;
  maintain_codes();
}

void VectorIndex::maintain_codes() {
  if (!codes_on_ || dimension_ == 0 || metric_ == DistanceMetric::Hamming) return;
  if (codes_ == nullptr) {
    if (size() >= codes_min_size_) build_codes();
    return;
  }
  // Vectors with non-finite components or (cosine) a zero norm are exact
  // only whatever the cells: the count must have grown by inserts since the
  // last build, not merely be high, or every insert would build again.
  if (codes_->needs_rebuild() && codes_->exact_only_count() > codes_rebuild_above_) build_codes();
}

void VectorIndex::append_codes(std::size_t first_slot, std::size_t count) {
  if (codes_ != nullptr && count > 0) {
    // A block's worth of rows at a time.
    std::vector<float> rows(std::min(count, kBlockWidth) * dimension_);
    for (std::size_t s = first_slot; s < first_slot + count;) {
      const std::size_t n = std::min(first_slot + count - s, kBlockWidth - s % kBlockWidth);
      gather_rows(arena_.data(), dimension_, s, n, rows.data());
      for (std::size_t r = 0; r < n; ++r) codes_->append(rows.data() + r * dimension_);
      s += n;
    }
  }
  maintain_codes();
}

std::vector<std::uint32_t> VectorIndex::code_sample_slots(const std::stop_token& stop) const {
  const std::size_t n = size();
  std::vector<std::uint32_t> slots;
  if (n <= kCodeSampleRows) {
    slots.resize(n);
    for (std::size_t s = 0; s < n; ++s) slots[s] = static_cast<std::uint32_t>(s);
    return slots;
  }
  slots.reserve(kCodeSampleRows + 2 * dimension_);
  for (std::size_t r = 0; r < kCodeSampleRows; ++r) slots.push_back(static_cast<std::uint32_t>(r * n / kCodeSampleRows));
  // One pass over the blocks for each component's extremes.
  std::vector<float> lo(dimension_, std::numeric_limits<float>::infinity());
  std::vector<float> hi(dimension_, -std::numeric_limits<float>::infinity());
  std::vector<std::uint32_t> lo_slot(dimension_, 0), hi_slot(dimension_, 0);
  const std::size_t nblocks = blocks_for(n);
  for (std::size_t b = 0; b < nblocks; ++b) {
    if (b % kStopCheckBlocks == 0 && stop.stop_requested()) return {};
    const float* block = arena_.data() + b * block_floats();
    const std::size_t lanes = std::min(kBlockWidth, n - b * kBlockWidth);
    for (std::size_t i = 0; i < dimension_; ++i) {
      const float* lane = block + i * kBlockWidth;
      for (std::size_t j = 0; j < lanes; ++j) {
        const float x = lane[j];
        if (!std::isfinite(x)) continue;
        if (x < lo[i]) {
          lo[i] = x;
          lo_slot[i] = static_cast<std::uint32_t>(b * kBlockWidth + j);
        }
        if (x > hi[i]) {
          hi[i] = x;
          hi_slot[i] = static_cast<std::uint32_t>(b * kBlockWidth + j);
        }
      }
    }
  }
  for (std::size_t i = 0; i < dimension_; ++i) {
    if (lo[i] <= hi[i]) {
      slots.push_back(lo_slot[i]);
      slots.push_back(hi_slot[i]);
    }
  }
  std::sort(slots.begin(), slots.end());
  slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
  return slots;
}

std::optional<BoundCodesBuild> VectorIndex::code_cells(const std::stop_token& stop) const {
  const std::size_t n = size();
  BoundCodesBuild build;
  build.removals = removals_;
  build.codes = make_pruning_codes(metric_, dimension_, *kernels_);
  // Codes that learn nothing from the vectors are appended from slot 0.
  std::vector<std::uint32_t> sample;
  if (build.codes->learns_from_rows()) sample = code_sample_slots(stop);
  if (stop.stop_requested()) return std::nullopt;
  {
    std::vector<float> rows(sample.size() * dimension_);
    for (std::size_t r = 0; r < sample.size(); ++r) read_slot(sample[r], rows.data() + r * dimension_);
    build.codes->build(rows.data(), sample.size());
  }
  if (sample.size() < n) {
    // The cells come from the sample; the codes are those of every slot,
    // appended by extend_bound_codes.
    while (build.codes->size() > 0) (void)build.codes->remove(static_cast<std::uint32_t>(build.codes->size() - 1));
    build.appended = true;
  }
  // Room for every slot, and for a reserve() in progress (a bulk insert
  // that reached the minimum size part way).
  build.codes->reserve(std::max(size(), reserved_));
  build.reserved_bytes = build.codes->memory_bytes();
  build.done = build.codes->size();
  return build;
}

std::optional<BoundCodesBuild> VectorIndex::begin_bound_codes(std::stop_token stop) const {
  if (stop.stop_requested()) return std::nullopt;
  if (dimension_ == 0 || metric_ == DistanceMetric::Hamming || size() < codes_min_size_) {
    BoundCodesBuild none;
    none.removals = removals_;
    return none;
  }
  return code_cells(stop);
}

VectorIndex::BuildStep VectorIndex::extend_bound_codes(BoundCodesBuild& build, std::size_t max_slots,
                                                       std::stop_token stop) const {
  if (stop.stop_requested()) return BuildStep::Cancelled;
  if (build.removals != removals_) return BuildStep::Stale;
  const std::size_t n = size();
  if (build.codes == nullptr) return BuildStep::Done;
  const std::size_t end = build.done + std::min(max_slots, n - build.done);
  std::vector<float> rows(kBlockWidth * dimension_);
  for (std::size_t s = build.done; s < end;) {
    if (s / kBlockWidth % kStopCheckBlocks == 0 && stop.stop_requested()) return BuildStep::Cancelled;
    const std::size_t lanes = std::min(end - s, kBlockWidth - s % kBlockWidth);
    gather_rows(arena_.data(), dimension_, s, lanes, rows.data());
    for (std::size_t r = 0; r < lanes; ++r) build.codes->append(rows.data() + r * dimension_);
    s += lanes;
    build.done = s;
  }
  if (end < n) return BuildStep::More;
  if (build.appended) {
    // Room was reserved for every slot (and for a reserve() in progress);
    // slots inserted during the build may have grown the buffers by
    // doubling, and a copy then holds exactly what they need.
    if (build.codes->memory_bytes() > build.reserved_bytes + build.reserved_bytes / 8)
      build.codes = build.codes->clone();
    build.appended = false;
  }
  return BuildStep::Done;
}

bool VectorIndex::install_bound_codes(BoundCodesBuild build) {
  if (build.removals != removals_) return false;
  codes_on_ = true;
  codes_ = std::move(build.codes);
  if (codes_ != nullptr) codes_rebuild_above_ = codes_->exact_only_count() + build.done / 16;
  // The slots not coded yet (inserted since the build began, mostly) are
  // coded as inserts code them; below the minimum size this builds the
  // codes when the size has reached it since.
  append_codes(build.done, codes_ != nullptr ? size() - build.done : 0);
  return true;
}

void VectorIndex::build_codes() {
  codes_.reset();  // the old codes go before the new ones are made
  const std::size_t n = size();
  std::optional<BoundCodesBuild> build = code_cells({});
  (void)extend_bound_codes(*build, n, {});
  codes_ = std::move(build->codes);
  codes_rebuild_above_ = codes_->exact_only_count() + n / 16;
}

std::vector<SearchResult> VectorIndex::search_codes(const float* query, std::size_t k,
                                                    const SlotBitmap* only) const {
  // Survivors arrive in slot order, so each block of the arena is read
  // once however many of its slots survive.
  SlotDistances distance(*this, query);
  const ExactDistances exact = [&](std::size_t, const std::uint32_t* slots, std::size_t n, float* out) {
    for (std::size_t i = 0; i < n; ++i) out[i] = distance(slots[i]);
  };
  return to_results(codes_->search(query, k, exact, only));
}

}  // namespace velmoradb
