// VectorIndex: the in-memory, exact, brute-force index.
//
// Vectors of one fixed dimension live under caller-chosen 64-bit ids, each
// with a Payload. Storage is the interleaved block layout of kernels.h in one
// arena: appending writes the next slot; removing an id moves the last slot's
// vector into the freed slot, so slots stay dense. Payloads are kept only for
// ids whose payload is not empty, and only those enter the payload index
// (payload_index.h) that turns a filter into a bitmap of slots: an index of
// empty payloads costs nothing for either.
//
// Optionally (use_bound_codes) the index keeps codes (pruning_codes.h: the
// int8 codes where the kernel set has their bound, else the cell codes)
// beside its vectors: a single-query search of an index of at least
// kBoundCodesMinSize vectors then computes the exact distance of only the
// vectors that can still be among the k. Its results are the plain scan's:
// the same distances bit for bit, the same ids except the order among equal
// distances (and which of several equal distances at the k-th place is
// kept). Batch searches always scan, bounded by int8 codes (their own
// per chunk, or the kept ones where those are int8 codes) or fused sums.
//
// No locking of its own: search only reads; insert and remove change it.
// The owner serialises access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <unordered_map>
#include <span>
#include <vector>

#include "engine/codes/pruning_codes.h"
#include "engine/index/id_map.h"
#include "engine/filter/filter.h"
#include "engine/kernels/kernels.h"
#include "engine/kernels/metric.h"
#include "engine/index/payload.h"
#include "engine/index/payload_index.h"
#include "engine/index/payload_store.h"
#include "engine/support/result.h"
#include "engine/codes/search_path_chooser.h"
#include "engine/index/slot_bitmap.h"
#include "engine/index/top_k.h"
#include "engine/index/vector_arena.h"

namespace velmoradb {

// The size from which a single-query search uses the bound codes, when they
// are switched on: below it a scan is as fast and the codes are not kept.
constexpr std::size_t kBoundCodesMinSize = 16384;

struct IndexEntry {
  std::uint64_t id;
  Payload payload;
  std::vector<float> vector;
};

// Bound codes being built apart from an index (VectorIndex::begin_bound_codes),
// for the owner to build under a shared lock while searches go on, and
// install under an exclusive one.
struct BoundCodesBuild {
  // Null when the index keeps none (below the minimum size, dimension 0,
  // the Hamming metric).
  std::unique_ptr<PruningCodes> codes;
  // The slots coded so far: 0 .. done-1.
  std::size_t done = 0;
  // The index's removal_count() when the build began: a remove moves a
  // slot, which makes the codes built so far stale.
  std::uint64_t removals = 0;
  // The codes were appended slot by slot into reserved room; the last step
  // copies them to hold exactly what they need when inserts during the
  // build outgrew the room (buffers then grow by doubling).
  bool appended = false;
  std::size_t reserved_bytes = 0;  // memory_bytes() once the room was reserved
};

// A large insert whose vectors reach the arena ahead of its ids
// (VectorIndex::begin_staging). Rows 0 .. head_rows-1 belong to the block
// that size() leaves partly filled, which searches read: they are kept
// here until publish. The others are staged from `first_slot`, the first
// whole block past size(), where no search reads.
struct StagedRows {
  static constexpr std::size_t kMaxBlockRows = kBlockWidth;

  std::size_t count = 0;       // rows of the insert
  std::size_t staged = 0;      // rows handed to stage_rows so far
  std::size_t head_rows = 0;
  std::size_t first_slot = 0;  // where row head_rows is staged
  std::vector<float> head;

  // How many rows the next stage_rows call should bring to fill its block
  // (a whole block is written with streaming stores).
  std::size_t block_rows() const;
};

struct SearchResult {
  std::uint64_t id;
  float distance;
  Payload payload;  // an independent copy
};

class VectorIndex {
 public:
  // Always succeeds; neither argument is validated (dimension 0 is fine).
  VectorIndex(DistanceMetric metric, std::size_t dimension);
  VectorIndex(VectorIndex&&) noexcept = default;
  VectorIndex& operator=(VectorIndex&&) noexcept = default;

  DistanceMetric metric() const { return metric_; }
  std::size_t dimension() const { return dimension_; }
  std::size_t size() const { return slots_.size(); }
  bool contains(std::uint64_t id) const { return slots_.find(id) != IdSlotMap::kNone; }
  // Every stored id, in slot order (unspecified to callers).
  const IdArray& ids() const { return slots_.ids(); }
  // Which slot each id holds: slots are 0 .. size()-1, an insert takes the
  // next one, and a remove moves the last slot's entry into the freed one.
  // A caller can keep data of its own per slot by following those rules.
  const IdSlotMap& slot_map() const { return slots_; }

  // DimensionMismatch when len != dimension, DuplicateId when the id is
  // present; a failed insert changes nothing.
  Status insert(std::uint64_t id, const float* vector, std::size_t len, Payload payload = {});
  Status insert(std::uint64_t id, const std::vector<float>& vector, Payload payload = {}) {
    return insert(id, vector.data(), vector.size(), std::move(payload));
  }
  // Inserts `count` pairs with empty payloads, in order, each exactly as
  // insert() would: ids[i] with the `dimension` floats at vectors + i *
  // dimension. Stops at the first error (a duplicate id, also one repeated
  // within the batch) and returns it; the pairs before it stay inserted.
  // Faster than a loop of insert: whole rows of blocks are written at once.
  Status insert_batch(const std::uint64_t* ids, const float* vectors, std::size_t count);
  // insert_batch with the vector of ids[i] read from rows[i]: `dimension`
  // floats in native byte order at any alignment, such as a record in a
  // read buffer.
  // With `payloads` (not null), *payloads[i] goes with ids[i] (a null
  // pointer: an empty payload); with `texts` too, texts[i] is the stored
  // text *payloads[i] was decoded from, or empty (PayloadStore::put_decoded).
  Status insert_rows(const std::uint64_t* ids, const std::uint8_t* const* rows, std::size_t count,
                     const Payload* const* payloads = nullptr, const std::string_view* texts = nullptr);
  // Gives `slot`, which holds no payload (as insert_rows leaves a slot
  // given none), `payload`; `text` as for insert_rows. It touches only the
  // payloads and their index, so a load may run it on a thread of its own
  // while this one goes on inserting rows without payloads, as long as
  // nothing else reads or changes a payload meanwhile.
  void attach_payload(std::uint32_t slot, const Payload& payload, std::string_view text);
  // Takes the id's entry out; nothing when absent.
  std::optional<IndexEntry> remove(std::uint64_t id);
  // A large insert in steps, so that its vectors reach the arena while the
  // owner writes them elsewhere (a file) and searches go on:
  //  - begin_staging, with no search running: room for `count` more rows
  //    (the arena is not grown again until publish_staged or
  //    discard_staged);
  //  - stage_rows, `n` rows of `dimension` floats one after the other,
  //    in order, with searches running and nothing else changing the
  //    index: no search reads a staged slot;
  //  - publish_staged, with no search running, once every row is staged:
  //    each ids[i] is inserted with row i as insert() would (an id present,
  //    or given twice, is replaced), with payloads[i] when payloads is not
  //    null (moved from);
  //  - or discard_staged instead: the index is as before begin_staging.
  StagedRows begin_staging(std::size_t count);
  void stage_rows(StagedRows& staging, const float* rows, std::size_t n);
  void publish_staged(StagedRows& staging, const std::uint64_t* ids, Payload* payloads);
  void discard_staged(StagedRows& staging);
  // A copy of the stored vector of `id`.
  std::optional<std::vector<float>> vector_of(std::uint64_t id) const;
  // The vector at `slot` (< size()) into out[0 .. dimension).
  void read_slot(std::uint32_t slot, float* out) const;
  // A copy of the payload of `id`; nothing when absent or empty.
  std::optional<Payload> payload_of(std::uint64_t id) const;
  // How many ids hold a payload that is not empty.
  std::size_t payload_count() const { return payloads_->size(); }
  // The bytes of their stored text, where the payload store keeps it
  // (PayloadStore::text_bytes).
  std::optional<std::size_t> payload_text_bytes() const { return payloads_->text_bytes(); }
  // Keeps the payloads in `store` from now on (payload_store.h). Only
  // while the index holds no payload: one held already is not moved over.
  void use_payload_store(std::unique_ptr<PayloadStore> store);

  // The slots (0 .. size()-1) whose payload `where` matches, from the
  // payload index: no payload is read but long strings (see
  // payload_index.h).
  SlotBitmap matching(const Filter& where) const;
  void reserve(std::size_t entries);
  // The vector storage that the next `entries` slots (from size() on) will
  // fill, within what reserve() made usable: a load faults it in ahead of
  // its writes (background_prefault.h). Empty at dimension 0.
  std::span<std::byte> storage_ahead(std::size_t entries);
  // Room in the payload map for `entries` payloads in all, so a load that
  // knows roughly how many it brings does not rehash the map as it grows.
  void reserve_payloads(std::size_t entries) { payloads_->reserve(entries); }
  // Where the storage of slots 0 .. size()-1 ends.
  const std::byte* storage_end() const;

  // The k nearest entries, nearest first; empty when len != dimension or k == 0.
  std::vector<SearchResult> search(const float* query, std::size_t len, std::size_t k) const;
  std::vector<SearchResult> search(const std::vector<float>& query, std::size_t k) const {
    return search(query.data(), query.size(), k);
  }
  // `nq` queries of `dimension` floats each, one after the other: the same
  // lists as nq calls of search, computed in tiles for speed.
  std::vector<std::vector<SearchResult>> search_batch(const float* queries, std::size_t nq,
                                                      std::size_t k) const;
  // The same among the slots set in `only` (of size() bits, as matching()
  // gives): exactly the k nearest of those, each distance the bits an
  // unfiltered search gives. Blocks of slots without a set bit are not
  // read.
  std::vector<SearchResult> search(const float* query, std::size_t len, std::size_t k,
                                   const SlotBitmap& only) const;
  std::vector<std::vector<SearchResult>> search_batch(const float* queries, std::size_t nq,
                                                      std::size_t k, const SlotBitmap& only) const;
  // The same lists, the queries split over up to `threads` threads of
  // ThreadPool::shared() (the caller's among them): each part is a batch
  // of its own over every vector, so each list is the one-thread list.
  // `only` may be null (every slot).
  std::vector<std::vector<SearchResult>> search_batch_parallel(const float* queries, std::size_t nq,
                                                               std::size_t k, const SlotBitmap* only,
                                                               std::size_t threads) const;

  // Chooses the kernel path (tests run every path the CPU offers).
  void set_kernels(const KernelSet& kernels) { kernels_ = &kernels; }

  // Writes `count` rows of `dim` floats (each at any alignment) into the
  // lanes of `blocks` from lane `first` on, in the layout of the index's
  // storage (kernels.h): a block kernel then gives each row the distance a
  // search of the index gives it. `blocks` is 64-byte aligned and holds
  // ceil((first + count) / kBlockWidth) blocks; other lanes are left as
  // they are.
  static void pack_rows(float* blocks, std::size_t dim, std::size_t first, const std::uint8_t* const* rows,
                        std::size_t count);

  // Switches the bound codes on or off (off at construction). On: they are
  // built from the stored vectors once the index holds the minimum size
  // (now, or at the insert that reaches it), then kept current by every
  // insert and remove; an insert after which too many vectors fall outside
  // the codes' cells builds them anew (at most once per 1/16 of the size
  // inserted, so the cost per insert stays bounded). Off: they are freed.
  // Never kept for dimension 0 or the Hamming metric, whose searches scan.
  void use_bound_codes(bool on);
  bool bound_codes_enabled() const { return codes_on_; }
  // Whether the next single-query search uses the codes.
  bool bound_codes_active() const {
    return codes_ != nullptr && size() >= codes_min_size_ && codes_->size() == size();
  }
  // With `on`, a single-query search takes the codes or the plain scan,
  // whichever has been faster here (search_path_chooser.h): the same
  // results either way. Off (at construction): the codes whenever active.
  void choose_search_path_by_time(bool on);
  // Bytes the codes hold (0 when none are kept).
  std::size_t bound_codes_bytes() const { return codes_ ? codes_->memory_bytes() : 0; }
  // The minimum size; kBoundCodesMinSize unless set (tests and benchmarks).
  void set_bound_codes_min_size(std::size_t size);

  // The same codes as use_bound_codes(true) builds, built in steps that only
  // read the index (so under a shared lock of the owner's, between changes)
  // and installed at the end. begin_bound_codes takes the cells from the
  // current vectors: nullopt when `stop` was requested. extend_bound_codes
  // codes up to `max_slots` more slots: Done once every slot is coded,
  // Stale when a remove since begin_bound_codes moved slots (the build must
  // begin again), Cancelled when `stop` was requested. install_bound_codes
  // switches the codes on with the build (Done or not: the slots inserted
  // since are coded then, as inserts code them) and returns true; false,
  // changing nothing, when the build is stale.
  enum class BuildStep : std::uint8_t { More, Done, Stale, Cancelled };
  std::optional<BoundCodesBuild> begin_bound_codes(std::stop_token stop = {}) const;
  BuildStep extend_bound_codes(BoundCodesBuild& build, std::size_t max_slots, std::stop_token stop = {}) const;
  bool install_bound_codes(BoundCodesBuild build);
  // Removes so far: a change of it means slots have moved.
  std::uint64_t removal_count() const { return removals_; }

 private:
  std::size_t block_floats() const { return dimension_ * kBlockWidth; }
  float* slot_component(std::uint32_t slot, std::size_t i);
  void write_slots(std::size_t first_slot, const float* vectors, std::size_t count);
  Status append_ids(const std::uint64_t* ids, std::size_t count, std::size_t& done);
  void copy_slot(std::uint32_t from, std::uint32_t to);
  void clear_slot(std::uint32_t slot);
  // Zeros the slots [from, to), past size().
  void clear_staged(std::size_t from, std::size_t to);
  std::vector<SearchResult> to_results(const std::vector<Candidate>& picked) const;
  // The plain scans of search (every slot, or those of `only`).
  std::vector<SearchResult> scan(const float* query, std::size_t k) const;
  std::vector<SearchResult> scan(const float* query, std::size_t k, const SlotBitmap& only) const;
  // The exact distance of one slot to one query, from the block kernel (a
  // lane's distance does not depend on the other lanes, so it has the plain
  // scan's bits). The block of the last slot asked for is kept: its other
  // slots then come at no further read of memory (slots are asked for in
  // order).
  class SlotDistances {
   public:
    SlotDistances(const VectorIndex& index, const float* query) : index_(index), query_(query) {}
    float operator()(std::uint32_t slot);

   private:
    const VectorIndex& index_;
    const float* query_;
    std::size_t held_ = static_cast<std::size_t>(-1);
    float lanes_[kBlockWidth];
  };
  // The euclidean batch's bounds of a chunk: int8 or fused sums (kernels.h).
  class BoundedBatch;
  // Offers to `top` the slots of blocks [first_block, first_block + count)
  // that the bounds of `query` (one per slot, euclidean_sum_bound.h) do
  // not rule out, each with its exact distance: the slots set in `words`
  // when given, else the first `valid` slots.
  void offer_bounded(TopK& top, const float* query, const float* bounds, std::size_t first_block,
                     std::size_t count, std::size_t valid, const std::vector<std::uint64_t>* words) const;
  // Bound codes (vector_index_codes.cpp).
  void maintain_codes();
  void build_codes();
  // Cells from a sample of the current vectors; nullopt when stopped.
  std::optional<BoundCodesBuild> code_cells(const std::stop_token& stop) const;
  std::vector<std::uint32_t> code_sample_slots(const std::stop_token& stop) const;
  void append_codes(std::size_t first_slot, std::size_t count);
  std::vector<SearchResult> search_codes(const float* query, std::size_t k, const SlotBitmap* only) const;

  DistanceMetric metric_;
  std::size_t dimension_;
  IdSlotMap slots_;
  VectorArena arena_;
  std::unique_ptr<PayloadStore> payloads_ = std::make_unique<ObjectPayloadStore>();  // non-empty ones only
  PayloadIndex payload_index_;  // the slots of payloads_, by value
  const KernelSet* kernels_;
  bool codes_on_ = false;
  std::size_t codes_min_size_ = kBoundCodesMinSize;
  std::unique_ptr<PruningCodes> codes_;  // kept when on and the minimum size was reached
  // The codes are built anew when their exact-only count exceeds this: the
  // count at the last build plus 1/16 of the size then.
  std::size_t codes_rebuild_above_ = 0;
  // The largest reserve() asked for: codes built later hold room for it.
  std::size_t reserved_ = 0;
  std::uint64_t removals_ = 0;
  // Set by choose_search_path_by_time: unfiltered and filtered searches
  // are timed apart (a filter changes what each path costs).
  std::unique_ptr<SearchPathChooser> choosers_[2];
};

}  // namespace velmoradb
