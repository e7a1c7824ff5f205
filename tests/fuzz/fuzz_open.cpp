// PersistentCollection::open_or_create on a directory built from the fuzz
// input. Layout of the input: one flag byte (bit 0: meta.json present, bit 1:
// wal.log present, bit 2: data.vdb present, bits 3-4: the dimension asked
// for, 1 to 4), the lengths of meta.json and wal.log (2 bytes each,
// little-endian), then meta.json, wal.log and data.vdb, the last taking the
// rest.
//
// Properties: an open that fails reports a stored-state error and fails the
// same way a second time. After an open that succeeds the collection takes
// an insert of a new id and a replacement of an existing one, flushes, and
// reopens to exactly the first state plus those two inserts; and opening the
// same files twice without a flush yields that first state both times.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "collection/collection.h"
#include "fuzz_support.h"

using namespace velmoradb;

namespace {

using State = std::map<std::uint64_t, std::vector<float>>;

struct Layout {
  std::size_t dimension = 1;
  bool meta = false, wal = false, data = false;
  std::string_view meta_text, wal_bytes, data_bytes;
};

bool split(const std::uint8_t* in, std::size_t size, Layout& out) {
  if (size < 5) return false;
  const std::uint8_t flags = in[0];
  out.meta = flags & 1;
  out.wal = flags & 2;
  out.data = flags & 4;
  out.dimension = 1 + ((flags >> 3) & 3);
  const std::size_t meta_len = in[1] | (in[2] << 8);
  const std::size_t wal_len = in[3] | (in[4] << 8);
  std::string_view rest(reinterpret_cast<const char*>(in) + 5, size - 5);
  if (meta_len > rest.size()) return false;
  out.meta_text = rest.substr(0, meta_len);
  rest.remove_prefix(meta_len);
  if (wal_len > rest.size()) return false;
  out.wal_bytes = rest.substr(0, wal_len);
  out.data_bytes = rest.substr(wal_len);
  return true;
}

Result<State> open_state(const std::string& dir, const CollectionConfig& config) {
  auto c = PersistentCollection::open_or_create(dir, config);
  if (!c) return c.error();
  return (*c)->snapshot();
}

void build_dir(const std::string& dir, const Layout& layout) {
  using velmoradb::fuzz::write_file;
  if (layout.meta) write_file(dir + "/meta.json", layout.meta_text);
  if (layout.wal) write_file(dir + "/wal.log", layout.wal_bytes);
  if (layout.data) write_file(dir + "/data.vdb", layout.data_bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  using namespace velmoradb::fuzz;
  Layout layout;
  if (!split(input, size, layout)) return 0;
  const std::string dir = fresh_dir("coll");
  build_dir(dir, layout);
  const CollectionConfig config{layout.dimension, DistanceMetric::Euclidean, WalSyncPolicy::Batched};

  // First the life of one collection: open, inserts, flush, reopen.
  State first, expected;
  {
    auto c = PersistentCollection::open_or_create(dir, config);
    if (!c) {
      const VectorError& e = c.error();
      FUZZ_CHECK(e.kind() == VectorError::Kind::CollectionError ||
                     e.kind() == VectorError::Kind::WalCorrupted ||
                     e.kind() == VectorError::Kind::DimensionMismatch ||
                     e.kind() == VectorError::Kind::IoError,
                 "unexpected error kind: %s", e.message().c_str());
      auto second = open_state(dir, config);
      FUZZ_CHECK(!second && second.error().message() == e.message(),
                 "a failed open did not fail the same way again: %s", e.message().c_str());
      return 0;
    }
    first = (*c)->snapshot();
    expected = first;
    std::vector<float> fresh(config.dimension, 0.25f);
    const std::uint64_t fresh_id = (*c)->next_id();  // above every id held, or 0 after a wrap
    auto r = (*c)->insert(fresh_id, fresh);
    FUZZ_CHECK(r, "insert failed: %s", r.error().message().c_str());
    expected[fresh_id] = fresh;
    if (!first.empty()) {
      std::vector<float> replaced(config.dimension, -1.5f);
      const std::uint64_t old_id = first.begin()->first;
      r = (*c)->insert(old_id, replaced);
      FUZZ_CHECK(r, "replacing insert failed: %s", r.error().message().c_str());
      expected[old_id] = replaced;
    }
    FUZZ_CHECK(same_state((*c)->snapshot(), expected), "state after the inserts:%s",
               state_diff((*c)->snapshot(), expected).c_str());
    auto f = (*c)->flush();
    FUZZ_CHECK(f, "flush failed: %s", f.error().message().c_str());
  }
  auto reopened = open_state(dir, config);
  FUZZ_CHECK(reopened, "reopen after flush failed: %s", reopened.error().message().c_str());
  FUZZ_CHECK(same_state(*reopened, expected), "reopen after flush lost or changed data:%s",
             state_diff(*reopened, expected).c_str());

  // Then the same directory opened twice without a flush: the same state.
  const std::string again = fresh_dir("coll");
  build_dir(again, layout);
  auto once = open_state(again, config);
  FUZZ_CHECK(once && same_state(*once, first), "the open is not repeatable");
  auto twice = open_state(again, config);
  FUZZ_CHECK(twice, "the second open failed: %s", twice.error().message().c_str());
  FUZZ_CHECK(same_state(*twice, first), "the second open yields another state:%s",
             state_diff(*twice, first).c_str());
  return 0;
}
