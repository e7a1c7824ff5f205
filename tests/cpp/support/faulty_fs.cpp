#include "support/faulty_fs.h"

#include <algorithm>

namespace velmoradb {

namespace {

using Effect = FaultyFileSystem::Fault::Effect;

class FaultyFile final : public File {
 public:
  FaultyFile(FaultyFileSystem& fs, std::unique_ptr<File> inner) : fs_(fs), inner_(std::move(inner)) {}

  Result<std::size_t> read(std::uint8_t* buf, std::size_t n) override {
    auto fault = fs_.on_call(FsCall::Read);
    if (!fault) return inner_->read(buf, n);
    if (fault->effect != Effect::ShortRead) return io_error_from_errno(fault->errno_value);
    if (fault->bytes == 0) return std::size_t{0};
    return inner_->read(buf, std::min(n, fault->bytes));
  }

  Status write(const std::uint8_t* buf, std::size_t n) override {
    auto fault = fs_.on_call(FsCall::Write);
    if (!fault) return inner_->write(buf, n);
    if (fault->effect == Effect::PartialWrite) {
      if (auto r = inner_->write(buf, std::min(n, fault->bytes)); !r) return r;
    }
    return io_error_from_errno(fault->errno_value);
  }

  Status seek(std::uint64_t offset) override {
    if (auto f = fs_.on_call(FsCall::Seek)) return io_error_from_errno(f->errno_value);
    return inner_->seek(offset);
  }
  Status sync() override {
    if (auto f = fs_.on_call(FsCall::Sync)) return io_error_from_errno(f->errno_value);
    return inner_->sync();
  }
  Result<std::uint64_t> length() override {
    if (auto f = fs_.on_call(FsCall::Length)) return io_error_from_errno(f->errno_value);
    return inner_->length();
  }
  void start_writeback(std::uint64_t offset, std::uint64_t length) override {
    inner_->start_writeback(offset, length);
  }
  Status truncate(std::uint64_t length) override {
    if (auto f = fs_.on_call(FsCall::Truncate)) return io_error_from_errno(f->errno_value);
    return inner_->truncate(length);
  }

 private:
  FaultyFileSystem& fs_;
  std::unique_ptr<File> inner_;
};

}  // namespace

void FaultyFileSystem::arm(std::optional<FsCall> kind, std::size_t n, bool persistent, Fault fault) {
  if (n == 0) return;
  std::size_t now = kind ? calls(*kind) : total_;
  rules_.push_back(Rule{kind, now + n, persistent, fault});
}

void FaultyFileSystem::fail_call(std::size_t n, int errno_value, bool persistent) {
  arm(std::nullopt, n, persistent, Fault{Effect::Error, errno_value, 0});
}

void FaultyFileSystem::fail_call(FsCall kind, std::size_t n, int errno_value, bool persistent) {
  arm(kind, n, persistent, Fault{Effect::Error, errno_value, 0});
}

void FaultyFileSystem::short_read(std::size_t n, std::size_t max_bytes, bool persistent) {
  arm(FsCall::Read, n, persistent, Fault{Effect::ShortRead, 0, max_bytes});
}

void FaultyFileSystem::partial_write(std::size_t n, std::size_t bytes, int errno_value,
                                     bool persistent) {
  arm(FsCall::Write, n, persistent, Fault{Effect::PartialWrite, errno_value, bytes});
}

std::optional<FaultyFileSystem::Fault> FaultyFileSystem::on_call(FsCall kind) {
  ++total_;
  ++per_kind_[static_cast<std::size_t>(kind)];
  for (const Rule& rule : rules_) {
    if (rule.kind && *rule.kind != kind) continue;
    std::size_t count = rule.kind ? calls(kind) : total_;
    if (count == rule.target || (rule.persistent && count > rule.target)) {
      ++injected_;
      return rule.fault;
    }
  }
  return std::nullopt;
}

Result<std::unique_ptr<File>> FaultyFileSystem::open(const std::string& path, OpenMode mode) {
  if (auto f = on_call(FsCall::Open)) return io_error_from_errno(f->errno_value);
  auto file = inner_.open(path, mode);
  if (!file) return file.error();
  return std::unique_ptr<File>(new FaultyFile(*this, std::move(*file)));
}

bool FaultyFileSystem::exists(const std::string& path) {
  if (on_call(FsCall::Exists)) return false;  // the metadata cannot be read
  return inner_.exists(path);
}

Status FaultyFileSystem::create_dirs(const std::string& path) {
  if (auto f = on_call(FsCall::CreateDirs)) return io_error_from_errno(f->errno_value);
  return inner_.create_dirs(path);
}

Status FaultyFileSystem::rename(const std::string& from, const std::string& to) {
  if (auto f = on_call(FsCall::Rename)) return io_error_from_errno(f->errno_value);
  return inner_.rename(from, to);
}

Status FaultyFileSystem::sync_dir(const std::string& path) {
  if (auto f = on_call(FsCall::SyncDir)) return io_error_from_errno(f->errno_value);
  return inner_.sync_dir(path);
}

Result<bool> FaultyFileSystem::is_directory(const std::string& path) {
  if (auto f = on_call(FsCall::IsDirectory)) return io_error_from_errno(f->errno_value);
  return inner_.is_directory(path);
}

Result<std::unique_ptr<DirLock>> FaultyFileSystem::lock_dir(const std::string& path, LockMode mode) {
  if (auto f = on_call(FsCall::Lock)) return io_error_from_errno(f->errno_value);
  return inner_.lock_dir(path, mode);
}

}  // namespace velmoradb
