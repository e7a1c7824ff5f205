// The search of data.vdb before the load: each run of live records the scan
// hands out is packed, a chunk at a time, into blocks of the index's layout
// in a small buffer that stays in the cache, and given to the block kernel
// of the index's path, so every distance has the bits the index's own scan
// gives it. A record's number in the scan stands for its slot.
#include "collection/data_file_search.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <span>

#include "engine/index/top_k.h"
#include "storage/record_codec.h"

namespace velmoradb {

namespace {

// Records packed and measured at a time: 64 KiB of floats at 128
// dimensions, well inside the L2 cache.
constexpr std::size_t kChunkRows = 8 * kBlockWidth;

struct AlignedFree {
  void operator()(float* p) const { ::operator delete[](p, std::align_val_t{64}); }
};

// Whether a live record after position `pos` has `id` (a load keeps that
// one). `later` is a 4096-bit filter of the ids of the results: a record
// whose id misses it is passed over with a multiply and a bit test.
class LaterRecords {
 public:
  explicit LaterRecords(const std::vector<Candidate>& picked, const std::vector<std::uint64_t>& ids)
      : picked_(picked), ids_(ids) {
    for (const Candidate& c : picked_) {
      const std::uint64_t h = hash(ids_[c.slot]);
      filter_[h / 64] |= std::uint64_t{1} << (h % 64);
    }
  }

  // Whether any result's id comes again after the result's own record.
  bool any() const {
    const std::size_t first = std::min_element(picked_.begin(), picked_.end(), [](const Candidate& a, const Candidate& b) {
                                return a.slot < b.slot;
                              })->slot;
    for (std::size_t pos = first + 1; pos < ids_.size(); ++pos) {
      const std::uint64_t h = hash(ids_[pos]);
      if ((filter_[h / 64] >> (h % 64) & 1) == 0) continue;
      for (const Candidate& c : picked_) {
        if (c.slot < pos && ids_[c.slot] == ids_[pos]) return true;
      }
    }
    return false;
  }

 private:
  static std::uint64_t hash(std::uint64_t id) { return (id * 0x9E3779B97F4A7C15ull) >> 52; }

  const std::vector<Candidate>& picked_;
  const std::vector<std::uint64_t>& ids_;
  std::uint64_t filter_[4096 / 64] = {};
};

}  // namespace

std::optional<std::vector<SearchResult>> search_data_file(VectorDataFile& file, DistanceMetric metric,
                                                          std::size_t dim, const float* query, std::size_t k,
                                                          const KernelSet& kernels) {
  if (k == 0 || k > kMaxDataFileSearchK || dim == 0) return std::nullopt;
  const BlockKernel kernel = kernels.block[static_cast<std::size_t>(metric)];
  std::unique_ptr<float[], AlignedFree> blocks(
      static_cast<float*>(::operator new[](kChunkRows * dim * sizeof(float), std::align_val_t{64})));
  std::fill_n(blocks.get(), kChunkRows * dim, 0.0f);
  std::vector<float> dist(kChunkRows);
  TopK top(k);
  // Per record of the scan, by its number: the id, and where it lies (for
  // the payloads of the results).
  std::vector<std::uint64_t> ids;
  std::vector<std::uint64_t> offsets;
  // As many as the file can hold: grown, they would be copied and their
  // memory faulted in twice over.
  const std::uint64_t most = file.position() / record_codec::min_record_size(dim);
  ids.reserve(static_cast<std::size_t>(most));
  offsets.reserve(static_cast<std::size_t>(most));
  // Rows are packed as each run comes (they point into the scan's buffer)
  // and measured kChunkRows at a time, whatever the runs' lengths.
  const std::uint8_t* rows[kChunkRows];
  std::size_t packed = 0;
  auto measure = [&] {
    kernel(query, blocks.get(), blocks_for(packed), dim, dist.data());
    top.push(dist.data(), static_cast<std::uint32_t>(ids.size() - packed), packed);
    packed = 0;
  };
  auto pack = [&](std::size_t count) {
    VectorIndex::pack_rows(blocks.get(), dim, packed, rows, count);
    packed += count;
    if (packed == kChunkRows) measure();
  };
  // Reads of at least 16 records, and of 64 KiB at the least: they stay in
  // the L2 cache between the read and the packing.
  const auto record = static_cast<std::size_t>(record_codec::record_size(dim, 16));
  const std::size_t chunk = std::max(VectorDataFile::kCachedChunk, 16 * record);
  PayloadDecodeCache decoded;
  auto scanned = file.scan_live_runs([&](std::span<RecordView> run, std::uint64_t) {
    std::size_t count = 0;
    for (const RecordView& rec : run) {
      if (rec.dim != dim) continue;  // a load never indexes it
      rows[count++] = rec.vector;
      ids.push_back(rec.id);
      offsets.push_back(rec.offset);
      if (packed + count == kChunkRows) {
        pack(count);
        count = 0;
      }
    }
    if (count > 0) pack(count);
  }, decoded, chunk);
  if (packed > 0) measure();
  if (!scanned || ids.size() > std::uint64_t{UINT32_MAX}) return std::nullopt;
  const std::vector<Candidate> picked = top.take();
  if (picked.empty()) return std::vector<SearchResult>();
  if (LaterRecords(picked, ids).any()) return std::nullopt;
  std::vector<SearchResult> out;
  out.reserve(picked.size());
  for (const Candidate& c : picked) {
    SearchResult r{ids[c.slot], c.distance, {}};
    auto record = file.read_record(offsets[c.slot]);
    if (!record) return std::nullopt;
    r.payload = std::move(record->payload);
    out.push_back(std::move(r));
  }
  return out;
}

}  // namespace velmoradb
