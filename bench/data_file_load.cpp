// Opening a collection's data file: how long load_live_records takes against
// reading the same file once, from the page cache. Reading once is measured
// two ways: streamed through one 1 MiB buffer (the kernel's copy alone), and
// into one buffer holding the whole file (the copy plus faulting in fresh
// memory, as the load must for its records). Each measurement runs in a
// fresh child process, so none inherits a warm heap from another.
//
//   cmake --build build/storage --target velmoradb_storage
//   g++ -O2 -std=c++20 -I. bench/data_file_load.cpp build/storage/libvelmoradb_storage.a \
//       build/storage/libvelmoradb_engine.a -o build/storage/data_file_load
//   build/storage/data_file_load [records=1000000] [dim=128] [dir=/tmp]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "storage/data_file.h"

using namespace velmoradb;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double read_whole(const std::string& path) {
  auto start = std::chrono::steady_clock::now();
  auto file = default_file_system().open(path, OpenMode::ReadOnly);
  std::vector<std::uint8_t> all(static_cast<std::size_t>(*(*file)->length()));
  if (!(*file)->read_exact(all.data(), all.size())) std::abort();
  return seconds_since(start);
}

double read_once(const std::string& path) {
  auto start = std::chrono::steady_clock::now();
  auto file = default_file_system().open(path, OpenMode::ReadOnly);
  std::vector<std::uint8_t> chunk(1 << 20);
  std::uint64_t total = 0;
  for (;;) {
    auto got = (*file)->read(chunk.data(), chunk.size());
    if (!got || *got == 0) break;
    total += *got;
  }
  double s = seconds_since(start);
  if (total == 0) std::abort();
  return s;
}

double load_once(const std::string& path, std::size_t expected) {
  auto start = std::chrono::steady_clock::now();
  auto df = VectorDataFile::open(default_file_system(), path);
  auto loaded = (*df)->load_live_records();
  double s = seconds_since(start);
  if (!loaded || loaded->records.size() != expected) std::abort();
  return s;
}

// Runs `measure` in a child process and returns what it measured.
template <typename F>
double in_child(F measure) {
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  pid_t pid = fork();
  if (pid == 0) {
    double s = measure();
    if (write(fds[1], &s, sizeof s) != sizeof s) _exit(1);
    _exit(0);
  }
  double s = -1;
  if (read(fds[0], &s, sizeof s) != sizeof s) std::abort();
  waitpid(pid, nullptr, 0);
  close(fds[0]);
  close(fds[1]);
  return s;
}

// The pass alone: every live record visited, none kept.
double scan_once(const std::string& path, std::size_t expected) {
  auto start = std::chrono::steady_clock::now();
  auto df = VectorDataFile::open(default_file_system(), path);
  std::size_t count = 0;
  auto scanned = (*df)->scan_live_records([&](StoredRecord&, std::uint64_t) { ++count; });
  double s = seconds_since(start);
  if (!scanned || count != expected) std::abort();
  return s;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::size_t dim = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
  const std::string path = std::string(argc > 3 ? argv[3] : "/tmp") + "/velmoradb-bench-data.vdb";
  std::remove(path.c_str());
  {
    auto df = VectorDataFile::open(default_file_system(), path);
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
    std::vector<float> v(dim);
    for (std::size_t i = 0; i < n; ++i) {
      for (float& x : v) x = uni(rng);
      if (!(*df)->append(i, v.data(), dim, {})) std::abort();
    }
  }
  std::vector<double> streamed, whole, loads, scans;
  for (int round = 0; round < 5; ++round) {
    streamed.push_back(in_child([&] { return read_once(path); }));
    whole.push_back(in_child([&] { return read_whole(path); }));
    loads.push_back(in_child([&] { return load_once(path, n); }));
    scans.push_back(in_child([&] { return scan_once(path, n); }));
  }
  const double s = median(streamed), w = median(whole), l = median(loads), c = median(scans);
  std::printf("records %zu, dim %zu, file %.1f MB; medians of 5, each in a fresh process\n", n, dim,
              double(n * (28 + 4 * dim)) / 1e6);
  std::printf("read once, streamed 1 MiB   %.3f s\n", s);
  std::printf("read once, whole file       %.3f s\n", w);
  std::printf("load_live_records           %.3f s   (%.2fx streamed, %.2fx whole)\n", l, l / s, l / w);
  std::printf("scan_live_records           %.3f s   (%.2fx streamed, %.2fx whole)\n", c, c / s, c / w);
  std::remove(path.c_str());
  return 0;
}
