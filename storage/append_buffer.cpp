#include "storage/append_buffer.h"

#include <cstring>

namespace velmoradb {

namespace {

// The field at which writing `units` one by one through a buffer holding
// `used` of `capacity` bytes makes its `event`-th write to the file (counting
// from 0; writing out an empty buffer writes nothing). A unit that does not
// fit the free space makes the buffer write out; one of `capacity` bytes or
// more then goes to the file itself.
std::string_view failing_phrase(std::size_t capacity, std::size_t used,
                                std::span<const WriteUnit> units, std::size_t event) {
  std::size_t fill = used;
  std::size_t seen = 0;
  for (const WriteUnit& unit : units) {
    for (std::size_t i = 0; i < unit.count; ++i) {
      if (unit.size <= capacity - fill) {
        fill += unit.size;
        continue;
      }
      if (fill > 0) {
        if (seen++ == event) return unit.phrase;
        fill = 0;
      }
      if (unit.size >= capacity) {
        if (seen++ == event) return unit.phrase;
      } else {
        fill = unit.size;
      }
    }
  }
  return units.empty() ? std::string_view() : units.back().phrase;
}

// What a buffer keeps of the room it grew to once it is written out.
constexpr std::size_t kKeptCapacity = std::size_t{1} << 20;

}  // namespace

AppendBuffer::AppendBuffer(std::size_t capacity, std::uint64_t file_length)
    : capacity_(capacity), file_length_(file_length) {
  buffer_.reserve(capacity);
}

Status AppendBuffer::append(File& file, std::span<const std::uint8_t> frame,
                            std::span<const WriteUnit> units) {
  if (hold_ || (buffer_.size() <= capacity_ && frame.size() <= capacity_ - buffer_.size())) {
    buffer_.insert(buffer_.end(), frame.begin(), frame.end());
    return {};
  }
  const std::size_t used = buffer_.size();
  std::size_t event = 0;
  if (used > 0) {
    if (auto r = write_to_file(file, buffer_.data(), used); !r) {
      return VectorError::io(failing_phrase(capacity_, used, units, 0), r.error());
    }
    buffer_.clear();
    event = 1;
  }
  if (frame.size() >= capacity_) {
    if (auto r = write_to_file(file, frame.data(), frame.size()); !r) {
      return VectorError::io(failing_phrase(capacity_, used, units, event), r.error());
    }
  } else {
    buffer_.assign(frame.begin(), frame.end());
  }
  return {};
}

Status AppendBuffer::write_out(File& file, std::string_view phrase) {
  if (buffer_.empty()) return {};
  if (auto r = write_to_file(file, buffer_.data(), buffer_.size()); !r) {
    return VectorError::io(phrase, r.error());
  }
  buffer_.clear();
  return {};
}

void AppendBuffer::release_memory() {
  if (buffer_.empty() && buffer_.capacity() > kKeptCapacity && buffer_.capacity() > capacity_) {
    std::vector<std::uint8_t>().swap(buffer_);
    buffer_.reserve(capacity_);
  }
}

bool AppendBuffer::patch(std::uint64_t offset, std::uint8_t byte) {
  if (offset < file_length_ || offset - file_length_ >= buffer_.size()) return false;
  buffer_[static_cast<std::size_t>(offset - file_length_)] = byte;
  return true;
}

void AppendBuffer::reset(std::uint64_t file_length) {
  buffer_.clear();
  file_length_ = file_length;
  needs_cut_ = false;
}

Status AppendBuffer::discard_after(File& file, std::uint64_t length) {
  if (length >= file_length_) {
    if (length - file_length_ < buffer_.size()) buffer_.resize(length - file_length_);
    return {};
  }
  buffer_.clear();
  file_length_ = length;
  needs_cut_ = true;
  return cut_back(file);
}

Status AppendBuffer::write_to_file(File& file, const std::uint8_t* data, std::size_t n) {
  if (needs_cut_) {
    if (auto r = cut_back(file); !r) return r;
  }
  if (auto r = file.write(data, n); !r) {
    // Part of the bytes may be in the file: cut them off now, or before the
    // next write if that fails too.
    needs_cut_ = true;
    (void)cut_back(file);
    return r;
  }
  file_length_ += n;
  return {};
}

Status AppendBuffer::cut_back(File& file) {
  if (auto r = file.truncate(file_length_); !r) return r;
  // A handle without O_APPEND would go on writing at its old position.
  if (auto r = file.seek(file_length_); !r) return r;
  needs_cut_ = false;
  return {};
}

}  // namespace velmoradb
