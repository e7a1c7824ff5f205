#include "storage/buffered_reader.h"

#include <algorithm>
#include <cstring>

namespace velmoradb {

BufferedReader::BufferedReader(File& file, std::size_t capacity, std::uint64_t start)
    : file_(file), capacity_(capacity), window_start_(start) {}

Status BufferedReader::read_exact(std::uint8_t* out, std::size_t n) {
  while (n > 0) {
    if (cursor_ < filled_) {
      std::size_t take = std::min(n, filled_ - cursor_);
      std::memcpy(out, buffer_.get() + cursor_, take);
      cursor_ += take;
      out += take;
      n -= take;
      continue;
    }
    // The buffer is used up: start the next window where it ended.
    window_start_ += filled_;
    filled_ = cursor_ = 0;
    if (n >= capacity_) {
      auto got = file_.read(out, n);
      if (!got) return got.error();
      if (*got == 0) return early_end_of_file();
      window_start_ += *got;
      out += *got;
      n -= *got;
      continue;
    }
    if (!buffer_) buffer_ = std::make_unique<std::uint8_t[]>(capacity_);
    auto got = file_.read(buffer_.get(), capacity_);
    if (!got) return got.error();
    if (*got == 0) return early_end_of_file();
    filled_ = *got;
  }
  return {};
}

Status BufferedReader::seek(std::uint64_t offset) {
  if (offset >= window_start_ && offset - window_start_ <= filled_) {
    cursor_ = static_cast<std::size_t>(offset - window_start_);
    return {};
  }
  if (auto r = file_.seek(offset); !r) return r;
  window_start_ = offset;
  filled_ = cursor_ = 0;
  return {};
}

}  // namespace velmoradb
