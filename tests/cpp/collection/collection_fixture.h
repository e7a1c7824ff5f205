// Verbs of the collection scenarios: collections, and logs made by hand.
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
#include "storage/temp_dir.h"
#include "storage/wal.h"

namespace velmoradb::testing {

// The scratch directory and the byte-level file verbs are the storage tests'.
using ScratchDir = TempDir;

inline CollectionConfig config(std::size_t dimension,
                               DistanceMetric metric = DistanceMetric::Euclidean) {
  return CollectionConfig{dimension, metric, WalSyncPolicy::Batched};
}

// A payload of one field.
inline Payload payload(std::string key, JsonValue value) {
  Payload p;
  p.data[std::move(key)] = std::move(value);
  return p;
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
