// The file layer: every open, read, write, seek, sync, truncate, rename and
// length query of the storage code goes through these two interfaces, so a
// test can swap in FaultyFileSystem (faulty_fs.h) and fail any single call.
//
// Errors: each failing call returns an IoError whose text() is the system's
// bare description of the failure (strerror-style, e.g. "No space left on
// device"); the caller builds its own error from a context phrase and that
// text. A read that meets the end of the file early is described as
// "failed to fill whole buffer" and marked EndOfFile. errno is turned into
// text here and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/support/result.h"

namespace velmoradb {

// The description of an early end of file.
inline constexpr std::string_view kEarlyEof = "failed to fill whole buffer";


// The IoError of a read that meets the end of the file early: kEarlyEof,
// marked EndOfFile.
VectorError early_end_of_file();

// The IoError that carries the description of `errno_value`.
VectorError io_error_from_errno(int errno_value);

enum class OpenMode : std::uint8_t {
  ReadAppendCreate,     // read + append, created if missing
  WriteOnly,            // write, must exist, positioned at 0
  ReadOnly,             // read, must exist
  WriteCreateTruncate,  // write, created if missing, emptied if present
};

enum class LockMode : std::uint8_t { Exclusive, Shared };

// One open handle; closed when destroyed. Handles of one file may coexist.
class File {
 public:
  virtual ~File() = default;
  // Reads up to n bytes at the current position; 0 means end of file.
  virtual Result<std::size_t> read(std::uint8_t* buf, std::size_t n) = 0;
  // Writes all n bytes (appending in ReadAppendCreate mode) or fails.
  virtual Status write(const std::uint8_t* buf, std::size_t n) = 0;
  virtual Status seek(std::uint64_t offset) = 0;
  // Forces the file's data to stable storage.
  virtual Status sync() = 0;
  virtual Result<std::uint64_t> length() = 0;
  virtual Status truncate(std::uint64_t length) = 0;
  // Asks the system to start writing bytes [offset, offset + length) to
  // disk now, without waiting for them, so that a later sync() finds less
  // left to do. A hint only: it makes nothing durable and reports nothing
  // (a write that fails on the way is sync()'s to report).
  virtual void start_writeback(std::uint64_t /*offset*/, std::uint64_t /*length*/) {}

  // Reads exactly n bytes; an early end of file fails with early_end_of_file().
  Status read_exact(std::uint8_t* buf, std::size_t n);
  // Whether every byte from `from` to the end of the file (of `length`
  // bytes) is zero. Moves the position.
  Result<bool> zeros_from(std::uint64_t from, std::uint64_t length);
};

// An advisory lock on a directory, held for its lifetime.
class DirLock {
 public:
  virtual ~DirLock() = default;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) = 0;
  // Whether the path's metadata can be read.
  virtual bool exists(const std::string& path) = 0;
  // Creates a directory and its missing parents.
  virtual Status create_dirs(const std::string& path) = 0;
  virtual Status rename(const std::string& from, const std::string& to) = 0;
  // Forces a directory's entries (a rename into it) to stable storage.
  virtual Status sync_dir(const std::string& path) = 0;
  // Whether the path names a directory (following symbolic links); an error
  // if its metadata cannot be read.
  virtual Result<bool> is_directory(const std::string& path) = 0;
  // Takes a non-blocking advisory lock on a directory: Exclusive (one
  // holder) or Shared (any number of Shared holders, no Exclusive one). A
  // lock that conflicts with one held already, by another lock of this
  // process or by another process, fails at once with the description of
  // EWOULDBLOCK (is_lock_held tells that failure from the others).
  virtual Result<std::unique_ptr<DirLock>> lock_dir(const std::string& path, LockMode mode) = 0;

  // Reads a whole small file.
  Result<std::string> read_file(const std::string& path);
};

// Whether `error` is lock_dir's failure for a lock that is held already.
bool is_lock_held(const VectorError& error);

// The real file system of this machine (POSIX).
FileSystem& default_file_system();

// `dir` joined with `name`.
std::string join_path(const std::string& dir, std::string_view name);
// The directory that holds `path` ("." for a bare name).
std::string parent_path(const std::string& path);

}  // namespace velmoradb
