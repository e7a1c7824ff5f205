// Helpers shared by the fuzz targets: a property check that aborts with a
// message (so libFuzzer records the input as a crash), a scratch directory
// in memory, bitwise comparison of floats (loaded vectors may hold NaN), and
// finiteness of decoded values (a non-finite float is written as null and
// cannot be read back, so round trips are only asked of finite values).
#pragma once

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/index/payload.h"

#define FUZZ_CHECK(cond, ...)                                                  \
  do {                                                                         \
    if (!(cond)) {                                                             \
      std::fprintf(stderr, "property failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      std::fprintf(stderr, "  " __VA_ARGS__);                                  \
      std::fprintf(stderr, "\n");                                              \
      std::abort();                                                            \
    }                                                                          \
  } while (0)

namespace velmoradb::fuzz {

// One directory per process under /dev/shm (tmpfs) when there is one, so
// the file I/O of every run stays in memory; emptied by each run.
inline const std::string& scratch_dir() {
  // Never destroyed: the exit handler that removes the directory runs after
  // the destructors of function-local statics.
  static const std::string* dir = [] {
    std::filesystem::path base = std::filesystem::exists("/dev/shm")
                                     ? std::filesystem::path("/dev/shm")
                                     : std::filesystem::temp_directory_path();
    std::filesystem::path d = base / ("velmoradb-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(d);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(scratch_dir(), ec);
    });
    return new std::string(d.string());
  }();
  return *dir;
}

// An empty directory for one run.
inline std::string fresh_dir(const std::string& name) {
  std::filesystem::path d = std::filesystem::path(scratch_dir()) / name;
  std::error_code ec;
  std::filesystem::remove_all(d, ec);
  std::filesystem::create_directories(d);
  return d.string();
}

inline void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

inline bool same_state(const std::map<std::uint64_t, std::vector<float>>& a,
                       const std::map<std::uint64_t, std::vector<float>>& b) {
  if (a.size() != b.size()) return false;
  for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
    if (ia->first != ib->first || !same_bits(ia->second, ib->second)) return false;
  }
  return true;
}

// The ids on which two states differ, for the failure message.
inline std::string state_diff(const std::map<std::uint64_t, std::vector<float>>& got,
                              const std::map<std::uint64_t, std::vector<float>>& want) {
  std::string diff;
  for (const auto& [id, v] : got) {
    auto it = want.find(id);
    if (it == want.end()) diff += " extra " + std::to_string(id);
    else if (!same_bits(it->second, v)) diff += " changed " + std::to_string(id);
  }
  for (const auto& [id, v] : want) {
    if (!got.count(id)) diff += " missing " + std::to_string(id);
  }
  return diff;
}

inline bool all_finite(const std::vector<float>& v) {
  for (float x : v) {
    if (!std::isfinite(x)) return false;
  }
  return true;
}

inline bool all_finite(const JsonValue& value) {
  if (const double* d = std::get_if<double>(&value.v)) return std::isfinite(*d);
  if (const JsonArray* a = std::get_if<JsonArray>(&value.v)) {
    for (const JsonValue& e : *a) {
      if (!all_finite(e)) return false;
    }
  }
  if (const JsonObject* o = std::get_if<JsonObject>(&value.v)) {
    for (const auto& [k, e] : *o) {
      if (!all_finite(e)) return false;
    }
  }
  return true;
}

inline bool all_finite(const Payload& p) {
  for (const auto& [k, e] : p.data) {
    if (!all_finite(e)) return false;
  }
  return true;
}

}  // namespace velmoradb::fuzz
