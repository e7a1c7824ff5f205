// Verbs of the storage scenarios: a scratch directory, and files to read,
// write, cut and damage behind the storage code's back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace velmoradb::testing {

class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() /
            ("velmoradb-storage-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string str() const { return path_.string(); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline void truncate_to(const std::string& path, std::uint64_t length) {
  std::filesystem::resize_file(path, length);
}

inline std::uint64_t file_size(const std::string& path) { return std::filesystem::file_size(path); }

inline void flip_byte(const std::string& path, std::uint64_t offset) {
  std::string bytes = read_bytes(path);
  bytes.at(offset) = static_cast<char>(bytes.at(offset) ^ 0x01);
  write_bytes(path, bytes);
}

inline void put_le32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

}  // namespace velmoradb::testing
