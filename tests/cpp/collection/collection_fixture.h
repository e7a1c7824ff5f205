// Verbs of the collection scenarios: a scratch directory, files to read,
// write and damage, and logs and data files made by hand.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "collection/collection.h"
#include "storage/data_file.h"
#include "storage/wal.h"

namespace velmoradb::testing {

namespace fs = std::filesystem;

class ScratchDir {
 public:
  ScratchDir() {
    std::random_device rd;
    path_ = fs::temp_directory_path() / ("velmoradb-test-" + std::to_string(rd()) + std::to_string(rd()));
    fs::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string str() const { return path_.string(); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

inline std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::uint64_t file_size(const std::string& path) { return fs::file_size(path); }

inline CollectionConfig config(std::size_t dimension,
                               DistanceMetric metric = DistanceMetric::Euclidean) {
  return CollectionConfig{dimension, metric, WalSyncPolicy::Batched};
}

inline std::unique_ptr<PersistentCollection> open_ok(const std::string& dir,
                                                     const CollectionConfig& cfg,
                                                     FileSystem& fsys = default_file_system()) {
  auto r = PersistentCollection::open_or_create(dir, cfg, fsys);
  if (!r) ADD_FAILURE() << "open failed: " << r.error().message();
  return r ? std::move(*r) : nullptr;
}

// Writes the entries as a log file at `path` (replacing nothing: appends).
inline void write_log(const std::string& path, const std::vector<WalEntry>& entries) {
  auto wal = WriteAheadLog::open(default_file_system(), path, WalSyncPolicy::Never);
  ASSERT_TRUE(wal) << wal.error().message();
  for (const WalEntry& e : entries) ASSERT_TRUE((*wal)->append(e));
}

inline WalEntry entry(WalEntryKind kind, std::uint64_t id, std::vector<float> v = {}) {
  return WalEntry{kind, id, std::move(v), {}};
}

}  // namespace velmoradb::testing
