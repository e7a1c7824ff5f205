#include "engine/index/vector_index.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

#include "engine/codes/euclidean_sum_bound.h"
#include "engine/codes/int8_bounds.h"
#include "engine/codes/int8_codes.h"
#include "engine/index/top_k.h"

namespace velmoradb {

namespace {

// Distances computed per kernel call in a scan: small enough to stay in L1/L2.
constexpr std::size_t kScanBlocks = 256;
// A batch search passes every query over one chunk of about this many bytes
// of vectors before moving on; the queries go to the kernel in groups of
// kBatchGroup, whose distances fill one buffer.
constexpr std::size_t kBatchChunkBytes = std::size_t{256} << 10;
constexpr std::size_t kBatchGroup = 48;
// A write of this many bytes of vectors or more goes past the cache.
constexpr std::size_t kStreamBytes = std::size_t{64} << 10;

// The source of a write: row j holds `dim` floats, in native byte order and
// at any alignment (a load hands rows straight out of its read buffer).
// Either an array of row pointers or rows `stride` bytes apart.
struct Rows {
  const std::uint8_t* const* ptrs;
  const std::uint8_t* base;
  std::size_t stride;
  const std::uint8_t* row(std::size_t j) const { return ptrs ? ptrs[j] : base + j * stride; }
};

float load_float(const std::uint8_t* p) {
  float f;
  std::memcpy(&f, p, sizeof f);
  return f;
}

#if defined(__SSE2__)
__m128 load4(const std::uint8_t* p) { return _mm_loadu_ps(reinterpret_cast<const float*>(p)); }

// Transposes a 4 x 4 tile: components i..i+3 of rows src[0..3] go to
// lanes 0..3 of block rows i..i+3 from `d` on. Only moves, so the bits
// stay as they are; `store` writes one block row's four lanes.
template <typename Store>
void write_tile(float* d, const std::uint8_t* const* src, std::size_t i, Store store) {
  __m128 r0 = load4(src[0] + 4 * i);
  __m128 r1 = load4(src[1] + 4 * i);
  __m128 r2 = load4(src[2] + 4 * i);
  __m128 r3 = load4(src[3] + 4 * i);
  _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
  store(d, r0);
  store(d + kBlockWidth, r1);
  store(d + 2 * kBlockWidth, r2);
  store(d + 3 * kBlockWidth, r3);
}

// Writes kBlockWidth rows into the whole block at `dst` (64-byte aligned)
// four block rows at a time, each (one cache line) written whole by
// streaming stores: they do not read the line from memory first, which
// halves the memory traffic of a large batch (whose blocks are not read
// back soon). Callers finish with _mm_sfence.
void stream_block(float* dst, const std::uint8_t* const* src, std::size_t dim) {
  std::size_t i = 0;
  for (; i + 4 <= dim; i += 4) {
    for (std::size_t j = 0; j < kBlockWidth; j += 4) {
      write_tile(dst + i * kBlockWidth + j, src + j, i, [](float* d, __m128 r) { _mm_stream_ps(d, r); });
    }
  }
  for (; i < dim; ++i) {
    for (std::size_t j = 0; j < kBlockWidth; ++j) dst[i * kBlockWidth + j] = load_float(src[j] + 4 * i);
  }
}
#endif

// Writes `lanes` rows into consecutive lanes of a block from `dst` (the
// first lane's component 0) on: a transposition, component by component,
// so each row of lanes (one cache line) is written in one go rather than
// once per vector. At large dimensions a block is bigger than L1, and a
// vector at a time would miss the cache on every component.
void write_lanes(float* dst, const std::uint8_t* const* src, std::size_t lanes, std::size_t dim) {
  std::size_t j = 0;
#if defined(__SSE2__)
  // Four vectors at a time, in 4 x 4 tiles: a scalar loop does one float
  // per load and store and is compute-bound, where the tiles keep up with
  // memory. Only moves, so the bits stay as they are.
  for (; j + 4 <= lanes; j += 4) {
    std::size_t i = 0;
    for (; i + 4 <= dim; i += 4) {
      write_tile(dst + i * kBlockWidth + j, src + j, i, [](float* d, __m128 r) { _mm_storeu_ps(d, r); });
    }
    for (; i < dim; ++i) {
      for (std::size_t k = 0; k < 4; ++k) dst[i * kBlockWidth + j + k] = load_float(src[j + k] + 4 * i);
    }
  }
#endif
  if (j == lanes) return;
  for (std::size_t i = 0; i < dim; ++i) {
    float* row = dst + i * kBlockWidth;
    for (std::size_t k = j; k < lanes; ++k) row[k] = load_float(src[k] + 4 * i);
  }
}

// Writes the rows of `src` into the slots from `first_slot` on, a block at
// a time, into `arena` (already large enough). With `stream`, whole blocks
// go past the cache (for large writes, whose blocks are not read back
// soon); a small write stays in the cache, where the next search finds it.
void write_rows(float* arena, std::size_t dim, std::size_t first_slot, const Rows& src, std::size_t count,
                [[maybe_unused]] bool stream) {
  const std::size_t end = first_slot + count;
  const std::uint8_t* rows[kBlockWidth];
  for (std::size_t slot = first_slot; slot < end;) {
    const std::size_t block_end = std::min(end, (slot / kBlockWidth + 1) * kBlockWidth);
    const std::size_t lanes = block_end - slot;
    for (std::size_t k = 0; k < lanes; ++k) rows[k] = src.row(slot - first_slot + k);
    float* block = arena + (slot / kBlockWidth) * dim * kBlockWidth;
#if defined(__SSE2__)
    if (stream && lanes == kBlockWidth) {
      stream_block(block, rows, dim);
      slot = block_end;
      continue;
    }
#endif
    write_lanes(block + slot % kBlockWidth, rows, lanes, dim);
    slot = block_end;
  }
#if defined(__SSE2__)
  // Streaming stores are weakly ordered: make them visible before the
  // index is unlocked.
  if (stream) _mm_sfence();
#endif
}

bool large_write(std::size_t count, std::size_t dim) { return count * dim * sizeof(float) >= kStreamBytes; }

static_assert(kBlockWidth == 16, "a block's bits are a quarter of a bitmap word");


// Offers the distances of `count` blocks from `first_block` on (dist holds
// kBlockWidth per block) to `top`, those of slots whose bit is set only.
void push_masked(TopK& top, const float* dist, std::size_t first_block, std::size_t count,
                 const std::vector<std::uint64_t>& words) {
  for (std::size_t j = 0; j < count; ++j) {
    std::uint32_t bits = block_bits(words, first_block + j);
    const float* d = dist + j * kBlockWidth;
    const auto first = static_cast<std::uint32_t>((first_block + j) * kBlockWidth);
    if (bits == 0xFFFFu) {
      top.push(d, first, kBlockWidth);
      continue;
    }
    top.push_selected(d, first, bits);
  }
}

// Whether any slot of blocks [first_block, end_block) has its bit set.
bool any_bits(const std::vector<std::uint64_t>& words, std::size_t first_block, std::size_t end_block) {
  for (std::size_t b = first_block; b < end_block; ++b) {
    if (b % 4 == 0 && b + 4 <= end_block) {
      if (words[b / 4] != 0) return true;
      b += 3;
      continue;
    }
    if (block_bits(words, b) != 0) return true;
  }
  return false;
}

}  // namespace

void VectorIndex::pack_rows(float* blocks, std::size_t dim, std::size_t first, const std::uint8_t* const* rows,
                            std::size_t count) {
  write_rows(blocks, dim, first, Rows{rows, nullptr, 0}, count, false);
}

VectorIndex::VectorIndex(DistanceMetric metric, std::size_t dimension)
    : metric_(metric), dimension_(dimension), kernels_(&best_kernels()) {}

float* VectorIndex::slot_component(std::uint32_t slot, std::size_t i) {
  return arena_.data() + (slot / kBlockWidth) * block_floats() + i * kBlockWidth + (slot % kBlockWidth);
}

// Writes `count` vectors, one after the other at `vectors`, into the slots
// from `first_slot` on.
void VectorIndex::write_slots(std::size_t first_slot, const float* vectors, std::size_t count) {
  arena_.reserve(blocks_for(first_slot + count) * block_floats());
  const Rows rows{nullptr, reinterpret_cast<const std::uint8_t*>(vectors), dimension_ * sizeof(float)};
  write_rows(arena_.data(), dimension_, first_slot, rows, count, large_write(count, dimension_));
}

void VectorIndex::copy_slot(std::uint32_t from, std::uint32_t to) {
  const float* src = slot_component(from, 0);
  float* dst = slot_component(to, 0);
  for (std::size_t i = 0; i < dimension_; ++i) dst[i * kBlockWidth] = src[i * kBlockWidth];
}

void VectorIndex::clear_slot(std::uint32_t slot) {
  float* p = slot_component(slot, 0);
  for (std::size_t i = 0; i < dimension_; ++i) p[i * kBlockWidth] = 0.0f;
}

void VectorIndex::reserve(std::size_t entries) {
  slots_.reserve(entries);
  arena_.reserve(blocks_for(entries) * block_floats());
  reserved_ = std::max(reserved_, entries);
  if (codes_) codes_->reserve(entries);
}

std::span<std::byte> VectorIndex::storage_ahead(std::size_t entries) {
  if (dimension_ == 0 || entries == 0) return {};
  const std::size_t first_block = size() / kBlockWidth;
  const std::size_t end_block = blocks_for(size() + entries);
  const std::size_t begin = first_block * block_floats();
  const std::size_t end = std::min(end_block * block_floats(), arena_.capacity());
  if (end <= begin) return {};
  return {reinterpret_cast<std::byte*>(arena_.data() + begin), (end - begin) * sizeof(float)};
}

const std::byte* VectorIndex::storage_end() const {
  return reinterpret_cast<const std::byte*>(arena_.data() + blocks_for(size()) * block_floats());
}

Status VectorIndex::insert(std::uint64_t id, const float* vector, std::size_t len,
                           Payload payload) {
  if (len != dimension_) return VectorError::dimension_mismatch(dimension_, len);
  if (contains(id)) return VectorError::duplicate_id(id);
  std::uint32_t slot = slots_.append(id);
  if (dimension_ > 0) write_slots(slot, vector, 1);
  if (!payload.empty()) {
    (void)payload_index_.add(slot, payload);  // a new slot: the rules hold
    payloads_->put(slot, std::move(payload));
  }
  if (codes_on_) append_codes(slot, 1);
  return {};
}

// Appends ids[0..) until the first one present; the slots appended are
// those from the old size() on.
Status VectorIndex::append_ids(const std::uint64_t* ids, std::size_t count, std::size_t& done) {
  reserve(size() + count);
  constexpr std::size_t kPrefetchAhead = 8;
  for (std::size_t i = 0; i < std::min(count, kPrefetchAhead); ++i) slots_.prefetch(ids[i]);
  for (done = 0; done < count; ++done) {
    if (done + kPrefetchAhead < count) slots_.prefetch(ids[done + kPrefetchAhead]);
    if (slots_.append_if_absent(ids[done]) == IdSlotMap::kNone) {
      return VectorError::duplicate_id(ids[done]);
    }
  }
  return {};
}

Status VectorIndex::insert_batch(const std::uint64_t* ids, const float* vectors, std::size_t count) {
  const std::size_t first = size();
  std::size_t done = 0;
  Status status = append_ids(ids, count, done);
  if (dimension_ > 0) write_slots(first, vectors, done);
  if (codes_on_) append_codes(first, done);
  return status;
}

Status VectorIndex::insert_rows(const std::uint64_t* ids, const std::uint8_t* const* rows, std::size_t count,
                                const Payload* const* payloads, const std::string_view* texts) {
  const std::size_t first = size();
  std::size_t done = 0;
  Status status = append_ids(ids, count, done);
  if (dimension_ > 0) {
    write_rows(arena_.data(), dimension_, first, Rows{rows, nullptr, 0}, done, large_write(done, dimension_));
  }
  for (std::size_t i = 0; payloads != nullptr && i < done; ++i) {
    if (payloads[i] == nullptr) continue;
    attach_payload(static_cast<std::uint32_t>(first + i), *payloads[i], texts != nullptr ? texts[i] : "");
  }
  if (codes_on_) append_codes(first, done);
  return status;
}

void VectorIndex::attach_payload(std::uint32_t slot, const Payload& payload, std::string_view text) {
  if (payload.empty()) return;
  // A slot without a payload: the rules hold.
  if (!text.empty()) {
    (void)payload_index_.add(slot, payload, text);
    payloads_->put_decoded(slot, payload, text);
  } else {
    (void)payload_index_.add(slot, payload);
    payloads_->put(slot, payload);
  }
}

std::size_t StagedRows::block_rows() const {
  return staged < head_rows ? head_rows - staged : kBlockWidth;
}

StagedRows VectorIndex::begin_staging(std::size_t count) {
  StagedRows staging;
  staging.count = count;
  staging.first_slot = blocks_for(size()) * kBlockWidth;
  staging.head_rows = std::min(count, staging.first_slot - size());
  staging.head.resize(staging.head_rows * dimension_);
  reserve(size() + count);
  // Grown to hold the staged slots themselves, whichever rows publish
  // moves where.
  if (dimension_ > 0) {
    arena_.reserve(blocks_for(staging.first_slot + count - staging.head_rows) * block_floats());
  }
  return staging;
}

void VectorIndex::stage_rows(StagedRows& staging, const float* rows, std::size_t n) {
  if (dimension_ == 0) {
    staging.staged += n;
    return;
  }
  const std::size_t into_head = std::min(n, staging.head_rows - std::min(staging.head_rows, staging.staged));
  if (into_head > 0) {
    std::copy(rows, rows + into_head * dimension_, staging.head.begin() + staging.staged * dimension_);
    staging.staged += into_head;
  }
  const std::size_t rest = n - into_head;
  if (rest == 0) return;
  const Rows src{nullptr, reinterpret_cast<const std::uint8_t*>(rows + into_head * dimension_),
                 dimension_ * sizeof(float)};
  write_rows(arena_.data(), dimension_, staging.first_slot + (staging.staged - staging.head_rows), src, rest,
             true);
  staging.staged += rest;
}

void VectorIndex::publish_staged(StagedRows& staging, const std::uint64_t* ids, Payload* payloads) {
  // Rows go in order, each into the next slot. A replaced id (present, or
  // earlier in the batch) frees a slot below size() and lowers it, so a
  // staged row may have to move down; it never moves onto a staged row
  // still to come, as the next slot stays below the current row's own.
  std::size_t uncoded = size();  // the first slot the codes do not hold yet
  constexpr std::size_t kPrefetchAhead = 8;
  for (std::size_t i = 0; i < std::min(staging.count, kPrefetchAhead); ++i) slots_.prefetch(ids[i]);
  for (std::size_t i = 0; i < staging.count; ++i) {
    if (i + kPrefetchAhead < staging.count) slots_.prefetch(ids[i + kPrefetchAhead]);
    std::uint32_t slot = slots_.append_if_absent(ids[i]);
    if (slot == IdSlotMap::kNone) {
      // The codes follow every remove: they hold each slot up to it.
      if (codes_on_) append_codes(uncoded, size() - uncoded);
      (void)remove(ids[i]);
      uncoded = size();
      slot = slots_.append(ids[i]);
    }
    if (dimension_ > 0) {
      if (i < staging.head_rows) {
        const Rows src{nullptr, reinterpret_cast<const std::uint8_t*>(staging.head.data() + i * dimension_), 0};
        write_rows(arena_.data(), dimension_, slot, src, 1, false);
      } else if (const std::size_t from = staging.first_slot + (i - staging.head_rows); from != slot) {
        copy_slot(static_cast<std::uint32_t>(from), slot);
      }
    }
    if (payloads != nullptr && !payloads[i].empty()) {
      (void)payload_index_.add(slot, payloads[i]);  // a new slot: the rules hold
      payloads_->put(slot, std::move(payloads[i]));
    }
  }
  if (codes_on_) append_codes(uncoded, size() - uncoded);
  // What moved down left its staged slot behind.
  clear_staged(std::max(size(), staging.first_slot), staging.first_slot + (staging.count - staging.head_rows));
  staging = {};
}

void VectorIndex::discard_staged(StagedRows& staging) {
  clear_staged(staging.first_slot, staging.first_slot + (staging.staged - std::min(staging.staged, staging.head_rows)));
  staging = {};
}

void VectorIndex::clear_staged(std::size_t from, std::size_t to) {
  if (dimension_ == 0 || from >= to) return;
  // Lanes of a partly cleared block one by one, whole blocks at once.
  while (from < to && from % kBlockWidth != 0) clear_slot(static_cast<std::uint32_t>(from++));
  const std::size_t whole = (to - from) / kBlockWidth;
  std::fill_n(arena_.data() + from / kBlockWidth * block_floats(), whole * block_floats(), 0.0f);
  for (from += whole * kBlockWidth; from < to; ++from) clear_slot(static_cast<std::uint32_t>(from));
}

void VectorIndex::choose_search_path_by_time(bool on) {
  for (auto& chooser : choosers_) chooser = on ? std::make_unique<SearchPathChooser>() : nullptr;
}

std::optional<IndexEntry> VectorIndex::remove(std::uint64_t id) {
  std::uint32_t slot = slots_.find(id);
  if (slot == IdSlotMap::kNone) return std::nullopt;
  IndexEntry entry{id, {}, {}};
  entry.vector.resize(dimension_);
  if (dimension_ > 0) {
    const float* p = slot_component(slot, 0);
    for (std::size_t i = 0; i < dimension_; ++i) entry.vector[i] = p[i * kBlockWidth];
  }
  if (payloads_->take(slot, &entry.payload)) (void)payload_index_.remove(slot, entry.payload);
  std::uint32_t moved = slots_.remove_slot(slot);
  ++removals_;
  // The codes follow the same rule: the last slot's code fills the hole.
  // Their size is the index's, so the slot is always theirs.
  if (codes_) (void)codes_->remove(slot);
  if (moved != IdSlotMap::kNone) {
    // The payload of the last slot's id follows it into the freed slot.
    if (Payload p; payloads_->get(moved, p)) {
      (void)payload_index_.move(moved, slot, p);
      payloads_->move(moved, slot);
    }
  }
  if (dimension_ > 0) {
    // Keep slots dense: the last vector fills the hole, and the vacated lane
    // goes back to zero so kernels read no stale values.
    if (moved != IdSlotMap::kNone) {
      copy_slot(moved, slot);
      clear_slot(moved);
    } else {
      clear_slot(slot);
    }
  }
  return entry;
}

std::optional<std::vector<float>> VectorIndex::vector_of(std::uint64_t id) const {
  std::uint32_t slot = slots_.find(id);
  if (slot == IdSlotMap::kNone) return std::nullopt;
  std::vector<float> v(dimension_);
  if (dimension_ > 0) read_slot(slot, v.data());  // at dimension 0 the arena may be null
  return v;
}

void VectorIndex::read_slot(std::uint32_t slot, float* out) const {
  if (dimension_ == 0) return;
  const float* p = arena_.data() + (slot / kBlockWidth) * block_floats() + (slot % kBlockWidth);
  for (std::size_t i = 0; i < dimension_; ++i) out[i] = p[i * kBlockWidth];
}

std::optional<Payload> VectorIndex::payload_of(std::uint64_t id) const {
  if (payloads_->empty()) return std::nullopt;
  const std::uint32_t slot = slots_.find(id);
  Payload payload;
  if (slot == IdSlotMap::kNone || !payloads_->get(slot, payload)) return std::nullopt;
  return payload;
}

void VectorIndex::use_payload_store(std::unique_ptr<PayloadStore> store) {
  if (payloads_->empty()) payloads_ = std::move(store);
}

SlotBitmap VectorIndex::matching(const Filter& where) const {
  const std::size_t n = size();
  // Long strings are read from the store, one payload at a time.
  Payload read;
  SlotBitmap out = payload_index_.evaluate(where, n, [this, &read](std::uint32_t slot) -> const Payload* {
    return payloads_->get(slot, read) ? &read : nullptr;
  });
  // The slots without a payload read as an empty one: all of them match,
  // or none does.
  if (where.matches(Payload{})) {
    SlotBitmap rest(n);
    const std::vector<std::uint64_t> ones(rest.words().size(), ~std::uint64_t{0});
    rest.set_words(0, ones.data(), ones.size());
    if (!payloads_->empty()) rest.subtract(payload_index_.evaluate(Filter(), n, {}));
    out.unite(rest);
  }
  return out;
}

std::vector<SearchResult> VectorIndex::to_results(const std::vector<Candidate>& picked) const {
  std::vector<SearchResult> out;
  out.reserve(picked.size());
  for (const Candidate& c : picked) {
    std::uint64_t id = slots_.id_at(c.slot);
    SearchResult r{id, c.distance, {}};
    if (!payloads_->empty()) (void)payloads_->get(c.slot, r.payload);
    out.push_back(std::move(r));
  }
  return out;
}

std::vector<SearchResult> VectorIndex::search(const float* query, std::size_t len,
                                              std::size_t k) const {
  if (len != dimension_ || k == 0) return {};
  std::size_t n = size();
  if (n == 0) return {};
  if (bound_codes_active()) {
    SearchPathChooser* chooser = choosers_[0].get();
    if (chooser == nullptr) return search_codes(query, k, nullptr);
    const bool codes = chooser->use_codes();
    const auto start = std::chrono::steady_clock::now();
    std::vector<SearchResult> found = codes ? search_codes(query, k, nullptr) : scan(query, k);
    chooser->record(codes, std::chrono::steady_clock::now() - start);
    return found;
  }
  return scan(query, k);
}

std::vector<SearchResult> VectorIndex::scan(const float* query, std::size_t k) const {
  const std::size_t n = size();
  std::size_t nblocks = blocks_for(n);
  if (dimension_ == 0) {
    // No components: every distance is the metric's value for empty vectors.
    std::vector<float> d(n, distance(metric_, query, query, 0));
    return to_results(select_top_k(d.data(), n, k));
  }
  BlockKernel kernel = kernels_->block[static_cast<std::size_t>(metric_)];
  std::vector<float> dist(std::min(nblocks, kScanBlocks) * kBlockWidth);
  TopK top(k);
  for (std::size_t b = 0; b < nblocks; b += kScanBlocks) {
    std::size_t count = std::min(kScanBlocks, nblocks - b);
    kernel(query, arena_.data() + b * block_floats(), count, dimension_, dist.data());
    std::size_t first = b * kBlockWidth;
    std::size_t valid = std::min(count * kBlockWidth, n - first);
    top.push(dist.data(), static_cast<std::uint32_t>(first), valid);
  }
  return to_results(top.take());
}

// The batch's bounds of one chunk of blocks for a group of queries: the
// int8 bound (euclidean and dot) where the kernel set has it and the
// dimension suits it, else (euclidean) the fused sums, else none (on()
// false: the caller computes every distance). Cosine takes the dot bound
// against the kept int8 codes and their norms (cosine_bounds), only where
// the index keeps them: the norms come with the codes.
class VectorIndex::BoundedBatch {
 public:
  BoundedBatch(const VectorIndex& index, const float* queries, std::size_t nq) : index_(index), queries_(queries) {
    const KernelSet& set = *index.kernels_;
    const std::size_t dim = index.dimension_;
    const bool int8_dim = dim >= kInt8MinDim && dim <= kInt8MaxDim;
    // The codes kept for single queries, where they are int8 codes of every
    // slot, serve the batch too: no chunk is quantized again.
    const PruningCodes* codes = index.codes_.get();
    if (codes != nullptr && codes->size() == index.size()) stored_ = codes->int8_chunk();
    if (index.metric_ == DistanceMetric::DotProduct) {
      int8_kernel_ = int8_dim ? set.int8_dot_lower_bounds : nullptr;
    } else if (index.metric_ == DistanceMetric::Euclidean) {
      int8_kernel_ = int8_dim ? set.int8_lower_bounds : nullptr;
      if (int8_kernel_ == nullptr) fused_ = set.fused_euclidean_sums;
    } else if (index.metric_ == DistanceMetric::Cosine && stored_ != nullptr) {
      cosine_norms_ = codes->int8_cosine_norms();
      if (cosine_norms_ != nullptr) {
        int8_kernel_ = int8_dim ? set.int8_dot_lower_bounds : nullptr;
        query_norms_.resize(nq);
        for (std::size_t q = 0; q < nq; ++q) query_norms_[q] = cosine_norm(queries + q * dim, dim);
      }
    }
    if (int8_kernel_ == nullptr) stored_ = nullptr;
    if (int8_kernel_ != nullptr) {
      int8_queries_.resize(nq);
      int8_pointers_.resize(nq);
      for (std::size_t q = 0; q < nq; ++q) {
        quantize_query(queries + q * dim, dim, int8_queries_[q]);
        int8_pointers_[q] = &int8_queries_[q];
      }
    }
  }
  bool on() const { return int8_kernel_ != nullptr || fused_ != nullptr; }
  void begin_chunk(const float* chunk, std::size_t count) {
    if (int8_kernel_ != nullptr && stored_ == nullptr)
      index_.kernels_->int8_quantize(chunk, count, index_.dimension_, chunk_);
  }
  // Bounds of queries [q0, q0 + m) against the chunk (blocks first_block ..
  // first_block + count - 1) into out (rows of count * kBlockWidth); false
  // when off.
  bool bounds(std::size_t q0, std::size_t m, const float* chunk, std::size_t first_block, std::size_t count,
              float* out) const {
    const std::size_t dim = index_.dimension_;
    if (int8_kernel_ != nullptr) {
      if (stored_ != nullptr) {
        int8_kernel_(int8_pointers_.data() + q0, m, *stored_, first_block, count, dim, out, count * kBlockWidth);
        if (cosine_norms_ != nullptr) {
          for (std::size_t q = 0; q < m; ++q) {
            cosine_bounds(out + q * count * kBlockWidth, cosine_norms_ + first_block * kBlockWidth,
                          count * kBlockWidth, query_norms_[q0 + q]);
          }
        }
      } else {
        int8_kernel_(int8_pointers_.data() + q0, m, chunk_, 0, count, dim, out, count * kBlockWidth);
      }
      return true;
    }
    if (fused_ == nullptr) return false;
    fused_(queries_ + q0 * dim, m, chunk, count, dim, out, count * kBlockWidth);
    return true;
  }

 private:
  const VectorIndex& index_;
  const float* queries_;
  Int8BoundKernel int8_kernel_ = nullptr;
  BatchKernel fused_ = nullptr;
  std::vector<Int8Query> int8_queries_;
  std::vector<const Int8Query*> int8_pointers_;
  Int8Chunk chunk_;
  const Int8Chunk* stored_ = nullptr;  // the index's int8 codes, when it keeps them
  const float* cosine_norms_ = nullptr;  // cosine: their norms, by slot
  std::vector<float> query_norms_;       // cosine: the queries' norms
};

float VectorIndex::SlotDistances::operator()(std::uint32_t slot) {
  const std::size_t b = slot / kBlockWidth;
  if (b != held_) {
    index_.kernels_->block[static_cast<std::size_t>(index_.metric_)](
        query_, index_.arena_.data() + b * index_.block_floats(), 1, index_.dimension_, lanes_);
    held_ = b;
  }
  return lanes_[slot % kBlockWidth];
}

void VectorIndex::offer_bounded(TopK& top, const float* query, const float* bounds, std::size_t first_block,
                                std::size_t count, std::size_t valid, const std::vector<std::uint64_t>* words) const {
  SlotDistances exact(*this, query);
  // Euclidean bounds are of the squared distance (euclidean_sum_bound.h);
  // dot and cosine bounds of the distance itself.
  const std::size_t dim = dimension_;
  const bool squared = metric_ == DistanceMetric::Euclidean;
  auto limit = [dim, squared](float kth) { return squared ? euclidean_sum_limit(kth, dim) : kth; };
  if (words == nullptr) {
    top.push_bounded(bounds, static_cast<std::uint32_t>(first_block * kBlockWidth), valid, limit, exact);
    return;
  }
  for (std::size_t j = 0; j < count; ++j) {
    const std::uint32_t bits = block_bits(*words, first_block + j);
    if (bits != 0)
      top.push_selected_bounded(bounds + j * kBlockWidth, static_cast<std::uint32_t>((first_block + j) * kBlockWidth),
                                bits, limit, exact);
  }
}

std::vector<std::vector<SearchResult>> VectorIndex::search_batch(const float* queries,
                                                                 std::size_t nq,
                                                                 std::size_t k) const {
  std::vector<std::vector<SearchResult>> out(nq);
  std::size_t n = size();
  if (nq == 0 || k == 0 || n == 0) return out;
  // One query (a caller that always batches, such as a shard answering for
  // a sharded collection) goes where a single search goes: the codes.
  if (dimension_ == 0 || (nq == 1 && bound_codes_active())) {
    for (std::size_t q = 0; q < nq; ++q) out[q] = search(queries + q * dimension_, dimension_, k);
    return out;
  }
  // The vectors are cut into chunks of about kBatchChunkBytes that stay in
  // the core's L2 cache while every query passes over them, so each vector
  // comes from memory once per batch instead of once per query.
  std::size_t nblocks = blocks_for(n);
  std::size_t chunk_blocks =
      std::clamp<std::size_t>(kBatchChunkBytes / (block_floats() * sizeof(float)), 1, kScanBlocks);
  std::size_t group = std::min(nq, kBatchGroup);
  std::vector<float> dist(group * chunk_blocks * kBlockWidth);
  std::vector<TopK> tops(nq, TopK(k));
  BatchKernel kernel = kernels_->batch[static_cast<std::size_t>(metric_)];
  // Euclidean: a bound that leaves few exact distances, from 8-bit codes
  // or from fused sums.
  BoundedBatch bounded(*this, queries, nq);
  for (std::size_t b = 0; b < nblocks; b += chunk_blocks) {
    std::size_t count = std::min(chunk_blocks, nblocks - b);
    std::size_t first = b * kBlockWidth;
    std::size_t valid = std::min(count * kBlockWidth, n - first);
    const float* chunk = arena_.data() + b * block_floats();
    bounded.begin_chunk(chunk, count);
    for (std::size_t q0 = 0; q0 < nq; q0 += group) {
      std::size_t m = std::min(group, nq - q0);
      if (!bounded.bounds(q0, m, chunk, b, count, dist.data()))
        kernel(queries + q0 * dimension_, m, chunk, count, dimension_, dist.data(), count * kBlockWidth);
      for (std::size_t q = 0; q < m; ++q) {
        if (bounded.on()) {
          offer_bounded(tops[q0 + q], queries + (q0 + q) * dimension_, dist.data() + q * count * kBlockWidth, b,
                        count, valid, nullptr);
        } else {
          tops[q0 + q].push(dist.data() + q * count * kBlockWidth, static_cast<std::uint32_t>(first), valid);
        }
      }
    }
  }
  for (std::size_t q = 0; q < nq; ++q) out[q] = to_results(tops[q].take());
  return out;
}

std::vector<SearchResult> VectorIndex::search(const float* query, std::size_t len, std::size_t k,
                                              const SlotBitmap& only) const {
  const std::size_t n = size();
  if (len != dimension_ || k == 0 || n == 0 || only.size() != n) return {};
  if (bound_codes_active()) {
    SearchPathChooser* chooser = choosers_[1].get();
    if (chooser == nullptr) return search_codes(query, k, &only);
    const bool codes = chooser->use_codes();
    const auto start = std::chrono::steady_clock::now();
    std::vector<SearchResult> found = codes ? search_codes(query, k, &only) : scan(query, k, only);
    chooser->record(codes, std::chrono::steady_clock::now() - start);
    return found;
  }
  return scan(query, k, only);
}

std::vector<SearchResult> VectorIndex::scan(const float* query, std::size_t k, const SlotBitmap& only) const {
  const std::size_t n = size();
  TopK top(k);
  if (dimension_ == 0) {
    const float d = distance(metric_, query, query, 0);
    only.for_each([&](std::size_t slot) { top.push(&d, static_cast<std::uint32_t>(slot), 1); });
    return to_results(top.take());
  }
  // Runs of blocks holding a selected slot go to the kernel, at most
  // kScanBlocks at a time; the others are never read. A block's distances
  // do not depend on its neighbours, so they are those of a full scan.
  const std::vector<std::uint64_t>& words = only.words();
  BlockKernel kernel = kernels_->block[static_cast<std::size_t>(metric_)];
  const std::size_t nblocks = blocks_for(n);
  std::vector<float> dist(std::min(nblocks, kScanBlocks) * kBlockWidth);
  for (std::size_t b = 0; b < nblocks;) {
    if (words[b / 4] == 0 && b % 4 == 0) {
      b += 4;
      continue;
    }
    if (block_bits(words, b) == 0) {
      ++b;
      continue;
    }
    std::size_t end = b + 1;
    while (end < nblocks && end - b < kScanBlocks && block_bits(words, end) != 0) ++end;
    kernel(query, arena_.data() + b * block_floats(), end - b, dimension_, dist.data());
    push_masked(top, dist.data(), b, end - b, words);
    b = end;
  }
  return to_results(top.take());
}

std::vector<std::vector<SearchResult>> VectorIndex::search_batch(const float* queries, std::size_t nq,
                                                                 std::size_t k, const SlotBitmap& only) const {
  std::vector<std::vector<SearchResult>> out(nq);
  const std::size_t n = size();
  if (nq == 0 || k == 0 || n == 0 || only.size() != n) return out;
  if (dimension_ == 0 || (nq == 1 && bound_codes_active())) {
    for (std::size_t q = 0; q < nq; ++q) out[q] = search(queries + q * dimension_, dimension_, k, only);
    return out;
  }
  // As the unfiltered batch, skipping the chunks without a selected slot.
  const std::vector<std::uint64_t>& words = only.words();
  const std::size_t nblocks = blocks_for(n);
  const std::size_t chunk_blocks =
      std::clamp<std::size_t>(kBatchChunkBytes / (block_floats() * sizeof(float)), 1, kScanBlocks);
  const std::size_t group = std::min(nq, kBatchGroup);
  std::vector<float> dist(group * chunk_blocks * kBlockWidth);
  std::vector<TopK> tops(nq, TopK(k));
  BatchKernel kernel = kernels_->batch[static_cast<std::size_t>(metric_)];
  BoundedBatch bounded(*this, queries, nq);
  for (std::size_t b = 0; b < nblocks; b += chunk_blocks) {
    const std::size_t count = std::min(chunk_blocks, nblocks - b);
    if (!any_bits(words, b, b + count)) continue;
    const float* chunk = arena_.data() + b * block_floats();
    bounded.begin_chunk(chunk, count);
    for (std::size_t q0 = 0; q0 < nq; q0 += group) {
      const std::size_t m = std::min(group, nq - q0);
      if (!bounded.bounds(q0, m, chunk, b, count, dist.data()))
        kernel(queries + q0 * dimension_, m, chunk, count, dimension_, dist.data(), count * kBlockWidth);
      for (std::size_t q = 0; q < m; ++q) {
        if (bounded.on()) {
          offer_bounded(tops[q0 + q], queries + (q0 + q) * dimension_, dist.data() + q * count * kBlockWidth, b,
                        count, 0, &words);
        } else {
          push_masked(tops[q0 + q], dist.data() + q * count * kBlockWidth, b, count, words);
        }
      }
    }
  }
  for (std::size_t q = 0; q < nq; ++q) out[q] = to_results(tops[q].take());
  return out;
}

}  // namespace velmoradb
