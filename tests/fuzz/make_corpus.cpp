// Writes the seed corpus of the fuzz targets with our own encoders:
//   make_corpus <dir>   creates <dir>/<target>/<name> for every target.
// The files are committed; run this again after a format change.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "collection/collection.h"
#include "storage/endian.h"
#include "storage/json/json.h"
#include "storage/wal.h"

using namespace velmoradb;
namespace fs = std::filesystem;

namespace {

fs::path root;

void put(const std::string& target, const std::string& name, const std::string& bytes) {
  fs::create_directories(root / target);
  std::ofstream out(root / target / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string slurp(const fs::path& p) {
  if (!fs::exists(p)) return {};
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Payload rich_payload() {
  Payload p;
  p.data["tag"] = "a\n\t\x1b/\xc3\xa9";
  p.data["n"] = std::uint64_t{18446744073709551615u};
  p.data["neg"] = std::int64_t{-9223372036854775807 - 1};
  p.data["f"] = 1e-7;
  p.data["arr"] = JsonArray{nullptr, true, false, 2.5, JsonArray{}, JsonObject{{"b", 1.0}, {"a", 2.0}}};
  return p;
}

std::vector<WalEntry> entries() {
  return {
      {WalEntryKind::Insert, 1, {1.0f, 2.5f}, {}},
      {WalEntryKind::Insert, 7, {0.1f, -0.0f}, rich_payload()},
      {WalEntryKind::Update, 1, {1e-7f, 1e13f}, {}},
      {WalEntryKind::Delete, 7, {}, {}},
      {WalEntryKind::Checkpoint, 0, {}, {}},
      {WalEntryKind::Insert, std::numeric_limits<std::uint64_t>::max(),
       {3.4028235e38f, -1.17549435e-38f}, {}},
  };
}

// A log file of the entries, written by the log itself.
std::string log_of(const std::vector<WalEntry>& list) {
  fs::path p = root / ".scratch.log";
  fs::remove(p);
  {
    auto wal = WriteAheadLog::open(default_file_system(), p.string(), WalSyncPolicy::Never);
    for (const WalEntry& e : list) (void)(*wal)->append(e);
  }
  std::string bytes = slurp(p);
  fs::remove(p);
  return bytes;
}

// A data file of records, written by the data file itself.
std::string data_of(std::size_t dim, int records, bool mark_first) {
  fs::path p = root / ".scratch.vdb";
  fs::remove(p);
  {
    auto df = VectorDataFile::open(default_file_system(), p.string());
    for (int i = 0; i < records; ++i) {
      std::vector<float> v(dim, static_cast<float>(i) + 0.5f);
      (void)(*df)->append(static_cast<std::uint64_t>(i + 1), v.data(), v.size(),
                          i == 1 ? rich_payload() : Payload{});
    }
    if (mark_first) (void)(*df)->mark_deleted(0);
  }
  std::string bytes = slurp(p);
  fs::remove(p);
  return bytes;
}

// The fuzz_open input: flags, two lengths, meta.json, wal.log, data.vdb.
std::string open_input(std::size_t dim, const std::string& meta, const std::string& wal,
                       const std::string& data, int present) {
  std::string out;
  out += static_cast<char>(present | ((dim - 1) << 3));
  out += static_cast<char>(meta.size() & 0xff);
  out += static_cast<char>(meta.size() >> 8);
  out += static_cast<char>(wal.size() & 0xff);
  out += static_cast<char>(wal.size() >> 8);
  return out + meta + wal + data;
}

// A collection directory made through the collection, as the fuzz_open input.
std::string collection_input(std::size_t dim, int flushed, int unflushed) {
  fs::path dir = root / ".scratch-coll";
  fs::remove_all(dir);
  {
    auto c = PersistentCollection::open_or_create(dir.string(), {dim, DistanceMetric::Euclidean,
                                                                 WalSyncPolicy::Batched});
    for (int i = 0; i < flushed + unflushed; ++i) {
      (void)(*c)->insert(static_cast<std::uint64_t>(i % 3 == 2 ? i - 1 : i),
                         std::vector<float>(dim, static_cast<float>(i) / 3.0f));
      if (i + 1 == flushed) (void)(*c)->flush();
    }
  }
  std::string out = open_input(dim, slurp(dir / "meta.json"), slurp(dir / "wal.log"),
                               slurp(dir / "data.vdb"), 7);
  fs::remove_all(dir);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
    return 2;
  }
  root = argv[1];
  fs::create_directories(root);

  put("fuzz_json_payload", "empty", json::encode_payload({}));
  put("fuzz_json_payload", "rich", json::encode_payload(rich_payload()));
  put("fuzz_json_payload", "array_form", "[{}]");
  int n = 0;
  for (const WalEntry& e : entries()) {
    put("fuzz_json_wal_entry", "entry" + std::to_string(n++), json::encode_wal_entry(e));
  }
  put("fuzz_json_wal_entry", "array_form", R"(["Insert",3,[1,2e3,-0.5],{"data":{}}])");
  CollectionMeta meta{128, "Cosine", 0, 1};
  put("fuzz_json_meta", "cosine", json::encode_meta(meta));
  put("fuzz_json_meta", "large", json::encode_meta({3, "DotProduct", 1u << 20, ~std::uint64_t{0}}));
  put("fuzz_json_meta", "array_form", R"([128,"Cosine",0,1])");

  const std::string log = log_of(entries());
  put("fuzz_wal_read", "entries", log);
  put("fuzz_wal_read", "torn", log.substr(0, log.size() - 5));
  put("fuzz_wal_read", "one", log_of({entries()[0]}));

  put("fuzz_data_load", "dim2", data_of(2, 4, false));
  put("fuzz_data_load", "dim3_marked", data_of(3, 3, true));
  const std::string torn = data_of(2, 3, false);
  put("fuzz_data_load", "torn", torn.substr(0, torn.size() - 3));

  put("fuzz_open", "new", open_input(2, "", "", "", 0));
  put("fuzz_open", "flushed_and_logged", collection_input(2, 3, 2));
  put("fuzz_open", "logged_only", collection_input(3, 0, 4));
  put("fuzz_open", "hand_made", open_input(2, json::encode_meta({2, "Euclidean", 2, 8}),
                                           log_of({entries()[0], entries()[2], entries()[3]}),
                                           data_of(2, 3, true), 7));
  return 0;
}
