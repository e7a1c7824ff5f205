// PowerCutFileSystem: a file system in memory that records every change
// (write, truncation, creation, rename) and every sync, and builds the
// states in which a power cut could leave the disk at any point of that
// record. Test support only.
//
// What a power cut keeps, in this model:
// - of a file: what it held at its last sync, plus any prefix of the writes
//   and truncations made since; the last write of that prefix may be torn,
//   cut inside or with only some of its 4 KiB pages on disk (the others
//   holding zeros past the old end of the file, the old bytes before it),
//   and the file's length may have grown before any of the data arrived.
//   Or only the in-place overwrites since the sync reached the disk, without
//   the appends and truncations around them.
// - of a directory: a creation or rename in it survives only if the
//   directory was synced after it; those made since its last sync survive
//   as a prefix.
// A synced file whose name was lost is lost with it.
//
// Not thread-safe. Files opened from it must not outlive it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "storage/file.h"

namespace velmoradb::testing {

// The files and directories on a disk: names to contents.
struct DiskImage {
  static constexpr int kDirectory = -1;
  std::map<std::string, int> names;                     // path -> inode (kDirectory for one)
  std::map<int, std::vector<std::uint8_t>> contents;   // inode -> bytes

  // The bytes of the file at `path`, or nullptr.
  const std::vector<std::uint8_t>* file(const std::string& path) const;
  bool operator==(const DiskImage&) const = default;
};

// One recorded change.
struct Change {
  enum class Kind : std::uint8_t { Write, Truncate, Sync, Link, Rename, SyncDir };
  Kind kind;
  int inode = DiskImage::kDirectory;  // Write, Truncate, Sync, Link
  std::uint64_t offset = 0;           // Write: where; Truncate: the new length
  std::vector<std::uint8_t> bytes;    // Write
  std::string path;                   // Link, Rename (from), SyncDir; Sync: the file's name
  std::string to;                     // Rename
};

class PowerCutFileSystem final : public FileSystem {
 public:
  // An empty disk holding the directories of `dirs` (and their parents),
  // all of them durable.
  explicit PowerCutFileSystem(const std::vector<std::string>& dirs = {"/"});
  // A disk holding exactly `image`, all of it durable.
  explicit PowerCutFileSystem(DiskImage image);

  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override;
  bool exists(const std::string& path) override;
  Status create_dirs(const std::string& path) override;
  Status rename(const std::string& from, const std::string& to) override;
  Status sync_dir(const std::string& path) override;
  Result<bool> is_directory(const std::string& path) override;
  Result<std::unique_ptr<DirLock>> lock_dir(const std::string& path, LockMode mode) override;

  // What the files hold now (what a crash of the process would keep).
  const DiskImage& image() const { return live_; }
  const std::vector<Change>& changes() const { return changes_; }

  // Distinct disk states a power cut right after the first `point` changes
  // could leave. The extremes (nothing since the syncs, everything, only
  // the overwrites) are always there, combined across files; the states of
  // one file that lie between them are combined with the extremes of the
  // others, at most `per_file` of them a file (picked by `rng`).
  std::vector<DiskImage> crash_states(std::size_t point, std::size_t per_file, std::mt19937_64& rng) const;

  // One chosen state after every change so far: for each file (by its
  // name now), what reached the disk; and whether the names created or
  // renamed since their directory's last sync survived.
  enum class Kept : std::uint8_t { Synced, FirstChange, Everything, OverwritesOnly };
  DiskImage cut(const std::map<std::string, Kept>& files, bool unsynced_names) const;

  // Called by the files it opened.
  void write(int inode, std::uint64_t offset, const std::uint8_t* data, std::size_t n);
  void truncate(int inode, std::uint64_t length);
  void sync(int inode);
  std::vector<std::uint8_t>& contents(int inode) { return live_.contents[inode]; }

 private:
  int link(const std::string& path);

  DiskImage live_;
  DiskImage initial_;  // durable at the start
  int next_inode_ = 0;
  std::vector<Change> changes_;
};

}  // namespace velmoradb::testing
