// VectorDataFile::load_live_records of a data file holding the fuzz input.
//
// Properties of a load (which never fails on a readable file): the live
// records come in file order at increasing offsets inside the file; each
// one read again with read_record at its offset is the same record; the
// scan ends exactly at the end of the file unless a record stopped it; and a load through a file
// layer that returns at most a few bytes per read gives the same records.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "storage/data_file.h"
#include "support/faulty_fs.h"

using namespace velmoradb;

namespace {

bool same_record(const StoredRecord& a, const StoredRecord& b) {
  return a.id == b.id && a.deleted == b.deleted && a.offset == b.offset &&
         velmoradb::fuzz::same_bits(a.vector, b.vector) && a.payload == b.payload;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmoradb::fuzz;
  std::string_view file(reinterpret_cast<const char*>(data), size);
  const std::string path = fresh_dir("data") + "/data.vdb";
  write_file(path, file);

  LoadedRecords loaded;
  {
    auto df = VectorDataFile::open(default_file_system(), path);
    FUZZ_CHECK(df, "open failed: %s", df.error().message().c_str());
    auto r = (*df)->load_live_records();
    FUZZ_CHECK(r, "load failed: %s", r.error().message().c_str());
    loaded = std::move(*r);
    FUZZ_CHECK(loaded.file_length == size, "file_length");
    FUZZ_CHECK(loaded.end_offset <= loaded.file_length, "end_offset %llu beyond the file",
               static_cast<unsigned long long>(loaded.end_offset));
    // Records follow each other by their stored lengths: a scan that read
    // every record ends exactly at the end of the file.
    FUZZ_CHECK((loaded.stop == LoadedRecords::Stop::EndOfFile) == (loaded.end_offset == size),
               "stop %d at %llu of %zu", static_cast<int>(loaded.stop),
               static_cast<unsigned long long>(loaded.end_offset), size);
    std::uint64_t last_end = 0;
    for (const StoredRecord& rec : loaded.records) {
      FUZZ_CHECK(!rec.deleted, "a deleted record was returned");
      FUZZ_CHECK(rec.offset >= last_end && rec.offset < size, "offset %llu out of order",
                 static_cast<unsigned long long>(rec.offset));
      last_end = rec.offset + 17 + 4 * rec.vector.size();
      auto again = (*df)->read_record(rec.offset);
      FUZZ_CHECK(again, "read_record failed: %s", again.error().message().c_str());
      FUZZ_CHECK(same_record(*again, rec), "read_record differs at %llu",
                 static_cast<unsigned long long>(rec.offset));
    }
  }

  FaultyFileSystem trickle;
  trickle.short_read(1, 1 + size % 29, /*persistent=*/true);
  auto df = VectorDataFile::open(trickle, path);
  FUZZ_CHECK(df, "open failed");
  auto slow = (*df)->load_live_records();
  FUZZ_CHECK(slow, "chunked load failed: %s", slow.error().message().c_str());
  FUZZ_CHECK(slow->records.size() == loaded.records.size() &&
                 slow->end_offset == loaded.end_offset && slow->stop == loaded.stop,
             "chunked load differs");
  for (std::size_t i = 0; i < loaded.records.size(); ++i) {
    FUZZ_CHECK(same_record(slow->records[i], loaded.records[i]), "chunked load differs at %zu", i);
  }
  return 0;
}
