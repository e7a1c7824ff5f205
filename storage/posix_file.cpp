// The real file system (POSIX). Every descriptor is opened with O_CLOEXEC, so
// a child process started by the host program never inherits the files.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "storage/file.h"

namespace velmoradb {

namespace {

VectorError last_error() { return io_error_from_errno(errno); }

// Owns one descriptor; the destructor closes it. A failed close after the
// data went out (or was forced by sync) has nothing left to report.
class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }

  Result<std::size_t> read(std::uint8_t* buf, std::size_t n) override {
    for (;;) {
      ssize_t got = ::read(fd_, buf, n);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) return last_error();
    }
  }

  Status write(const std::uint8_t* buf, std::size_t n) override {
    // write(2) may accept fewer bytes than asked (a signal, a full pipe);
    // keep going until all are in or a real error comes back.
    while (n > 0) {
      ssize_t put = ::write(fd_, buf, n);
      if (put < 0) {
        if (errno == EINTR) continue;
        return last_error();
      }
      if (put == 0) return io_error_from_errno(EIO);
      buf += put;
      n -= static_cast<std::size_t>(put);
    }
    return {};
  }

  Status seek(std::uint64_t offset) override {
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return last_error();
    return {};
  }

  Status sync() override {
    while (::fsync(fd_) != 0) {
      if (errno != EINTR) return last_error();
    }
    return {};
  }

  Result<std::uint64_t> length() override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return last_error();
    return static_cast<std::uint64_t>(st.st_size);
  }

  void start_writeback(std::uint64_t offset, std::uint64_t length) override {
#ifdef __linux__
    // Only SYNC_FILE_RANGE_WRITE: the wait flags would take the error a
    // failed write-back leaves for the next fsync, which must report it.
    (void)::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
#else
    (void)offset;
    (void)length;
#endif
  }

  Status truncate(std::uint64_t length) override {
    while (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
      if (errno != EINTR) return last_error();
    }
    return {};
  }

 private:
  int fd_;
};

class PosixDirLock final : public DirLock {
 public:
  explicit PosixDirLock(int fd) : fd_(fd) {}
  ~PosixDirLock() override { ::close(fd_); }  // closing releases the flock

 private:
  int fd_;
};

int open_flags(OpenMode mode) {
  switch (mode) {
    case OpenMode::ReadAppendCreate: return O_RDWR | O_APPEND | O_CREAT;
    case OpenMode::WriteOnly: return O_WRONLY;
    case OpenMode::ReadOnly: return O_RDONLY;
    case OpenMode::WriteCreateTruncate: return O_WRONLY | O_CREAT | O_TRUNC;
  }
  return O_RDONLY;
}

class PosixFileSystem final : public FileSystem {
 public:
  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override {
    int fd;
    do {
      fd = ::open(path.c_str(), open_flags(mode) | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return last_error();
    return std::unique_ptr<File>(new PosixFile(fd));
  }

  bool exists(const std::string& path) override {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
  }

  Status create_dirs(const std::string& path) override {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) return io_error_from_errno(ec.value());
    return {};
  }

  Status rename(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) return last_error();
    return {};
  }

  Status sync_dir(const std::string& path) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return last_error();
    PosixDirLock closer(fd);  // only for closing the descriptor
    while (::fsync(fd) != 0) {
      if (errno != EINTR) return last_error();
    }
    return {};
  }

  Result<bool> is_directory(const std::string& path) override {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return last_error();
    return S_ISDIR(st.st_mode);
  }

  Result<std::unique_ptr<DirLock>> lock_dir(const std::string& path, LockMode mode) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return last_error();
    auto lock = std::make_unique<PosixDirLock>(fd);
    // flock locks belong to the open file description, so a second open of
    // the same directory in this process is refused as well.
    const int kind = mode == LockMode::Shared ? LOCK_SH : LOCK_EX;
    while (::flock(fd, kind | LOCK_NB) != 0) {
      if (errno != EINTR) return last_error();
    }
    return std::unique_ptr<DirLock>(std::move(lock));
  }
};

}  // namespace

FileSystem& default_file_system() {
  static PosixFileSystem fs;
  return fs;
}

}  // namespace velmoradb
