// FaultyFileSystem: a FileSystem that passes every call to another one and
// can make chosen calls fail, for tests that walk every failure path:
//
//   for (std::size_t n = 1;; ++n) {
//     FaultyFileSystem fs;
//     fs.fail_call(n);                 // the n-th call from now fails with EIO
//     auto r = run_workload(fs);
//     if (fs.injected() == 0) break;   // ran past the last call: r succeeded
//     // check r's error text and what the files hold
//   }
//
// Every call of the file system and of the files it opened counts, by kind
// and overall. A rule picks the n-th call from the moment it is armed,
// overall or of one kind, and optionally every later one too. Effects: an
// error with a chosen errno (whose text is the system's description), a
// short read (at most some bytes; 0 bytes is an early end of file), or a
// write that puts part of its bytes in the file and then fails.
//
// Not thread-safe; the wrapped file system must outlive it, and it must
// outlive the files it opened.
#pragma once

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "storage/file.h"

namespace velmoradb {

enum class FsCall : std::uint8_t {
  Open, Read, Write, Seek, Sync, Length, Truncate, Rename, SyncDir, CreateDirs, Lock, Exists,
  IsDirectory,
};
inline constexpr std::size_t kFsCallKinds = 13;

class FaultyFileSystem final : public FileSystem {
 public:
  explicit FaultyFileSystem(FileSystem& inner = default_file_system()) : inner_(inner) {}

  // The n-th call from now (1-based), of any kind, fails with errno_value;
  // with `persistent`, every later call fails as well. n = 0 arms nothing.
  void fail_call(std::size_t n, int errno_value = EIO, bool persistent = false);
  // The same, counting only the calls of `kind`.
  void fail_call(FsCall kind, std::size_t n, int errno_value = EIO, bool persistent = false);
  // The n-th read from now returns at most max_bytes (0: the end of the file).
  void short_read(std::size_t n, std::size_t max_bytes, bool persistent = false);
  // The n-th write from now puts its first `bytes` bytes in the file, then
  // fails with errno_value (a disk that fills up mid-write); with
  // `persistent`, every later write does the same (a disk that stays full).
  void partial_write(std::size_t n, std::size_t bytes, int errno_value = ENOSPC,
                     bool persistent = false);
  // Disarms every rule; the counts stay.
  void clear() { rules_.clear(); }

  std::size_t calls() const { return total_; }
  std::size_t calls(FsCall kind) const { return per_kind_[static_cast<std::size_t>(kind)]; }
  std::size_t injected() const { return injected_; }

  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override;
  bool exists(const std::string& path) override;
  Status create_dirs(const std::string& path) override;
  Status rename(const std::string& from, const std::string& to) override;
  Status sync_dir(const std::string& path) override;
  Result<bool> is_directory(const std::string& path) override;
  Result<std::unique_ptr<DirLock>> lock_dir(const std::string& path, LockMode mode) override;

  // What a counted call should do (used by the files this opened).
  struct Fault {
    enum class Effect : std::uint8_t { Error, ShortRead, PartialWrite } effect;
    int errno_value;
    std::size_t bytes;
  };
  std::optional<Fault> on_call(FsCall kind);

 private:
  struct Rule {
    std::optional<FsCall> kind;  // none: every kind counts
    std::size_t target;          // the count at which it fires
    bool persistent;
    Fault fault;
  };
  void arm(std::optional<FsCall> kind, std::size_t n, bool persistent, Fault fault);

  FileSystem& inner_;
  std::vector<Rule> rules_;
  std::size_t total_ = 0;
  std::array<std::size_t, kFsCallKinds> per_kind_{};
  std::size_t injected_ = 0;
};

}  // namespace velmoradb
