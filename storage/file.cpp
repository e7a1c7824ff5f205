// The parts of the file layer that do not depend on the platform.
#include "storage/file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velmoradb {

namespace {

// strerror_r comes in two flavours; overloading on the return type picks
// whichever the C library declares.
[[maybe_unused]] const char* describe(int result, const char* buf, int errno_value) {
  if (result != 0) return nullptr;
  (void)errno_value;
  return buf;
}
[[maybe_unused]] const char* describe(const char* result, const char*, int) { return result; }

}  // namespace

VectorError io_error_from_errno(int errno_value) {
  char buf[256] = {};
  const char* text = describe(strerror_r(errno_value, buf, sizeof buf), buf, errno_value);
  if (text == nullptr || *text == '\0') {
    return VectorError::io("Unknown error " + std::to_string(errno_value));
  }
  return VectorError::io(text);
}

VectorError early_end_of_file() {
  return VectorError::io(std::string(kEarlyEof)).with_detail(VectorError::Detail::EndOfFile);
}

Result<bool> File::zeros_from(std::uint64_t from, std::uint64_t length) {
  if (auto r = seek(from); !r) return r.error();
  std::uint8_t chunk[8192];
  for (std::uint64_t left = length > from ? length - from : 0; left > 0;) {
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof chunk));
    if (auto r = read_exact(chunk, take); !r) return r.error();
    for (std::size_t i = 0; i < take; ++i) {
      if (chunk[i] != 0) return false;
    }
    left -= take;
  }
  return true;
}

bool is_lock_held(const VectorError& error) { return error == io_error_from_errno(EWOULDBLOCK); }

Status File::read_exact(std::uint8_t* buf, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    auto r = read(buf + done, n - done);
    if (!r) return r.error();
    if (*r == 0) return early_end_of_file();
    done += *r;
  }
  return {};
}

Result<std::string> FileSystem::read_file(const std::string& path) {
  auto file = open(path, OpenMode::ReadOnly);
  if (!file) return file.error();
  auto length = (*file)->length();
  if (!length) return length.error();
  // The length only sizes the first read: the file is read to its end, so a
  // file that changes meanwhile is still read whole.
  std::string text;
  text.resize(static_cast<std::size_t>(*length) + 1);
  std::size_t used = 0;
  for (;;) {
    if (used == text.size()) text.resize(text.size() * 2);
    auto r = (*file)->read(reinterpret_cast<std::uint8_t*>(text.data()) + used, text.size() - used);
    if (!r) return r.error();
    if (*r == 0) break;
    used += *r;
  }
  text.resize(used);
  return text;
}

std::string join_path(const std::string& dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  std::string path = dir;
  if (path.back() != '/') path += '/';
  path += name;
  return path;
}

std::string parent_path(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const auto slash = p.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

}  // namespace velmoradb
