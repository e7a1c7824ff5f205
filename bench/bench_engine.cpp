// A benchmark of the engine alone, without Python: single-query scans,
// batch searches and inserts on every kernel path, against one pass of
// reading the same number of bytes from memory.
//
// Not part of the default build. Build by hand from the repository root:
//   g++ -std=c++20 -O3 -ffp-contract=off -I. bench/bench_engine.cpp engine/*.cpp -o /tmp/bench_engine
//   /tmp/bench_engine [n] [dim] [queries]
//   /tmp/bench_engine codes [n] [dim] [queries]   the search over the pruning codes (int8 codes where the CPU
//                                                 has AVX-512 VNNI, else cell codes) against the plain scan
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include <cstring>

#include "engine/codes/bound_codes.h"
#include "engine/codes/pruning_codes.h"
#include "engine/index/vector_arena.h"
#include "engine/index/vector_index.h"

using namespace velmoradb;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// One pass over `floats` floats held the way the index holds them.
double read_pass_seconds(std::size_t floats) {
  VectorArena arena;
  arena.reserve(floats);
  float* p = arena.data();
  for (std::size_t i = 0; i < floats; ++i) p[i] = static_cast<float>(i & 1023);
  std::vector<double> times;
  volatile float sink = 0;
  for (int rep = 0; rep < 7; ++rep) {
    auto t0 = Clock::now();
    float acc[16] = {};
    for (std::size_t i = 0; i + 16 <= floats; i += 16)
      for (int j = 0; j < 16; ++j) acc[j] += p[i + j];
    times.push_back(seconds_since(t0));
    for (float a : acc) sink = sink + a;
  }
  return median(times);
}

std::vector<float> random_floats(std::size_t count, std::mt19937& gen) {
  std::normal_distribution<float> dist(0.0f, 1.0f);
  std::vector<float> v(count);
  for (float& x : v) x = dist(gen);
  return v;
}

const char* metric_label(DistanceMetric m) {
  switch (m) {
    case DistanceMetric::Euclidean: return "euclidean";
    case DistanceMetric::Cosine: return "cosine";
    case DistanceMetric::DotProduct: return "dot";
    case DistanceMetric::Hamming: return "hamming";
  }
  return "?";
}

// A Gaussian mixture: `clusters` centres drawn N(0, 1), each point a
// centre plus N(0, spread) noise; the shape of real embeddings.
std::vector<float> mixture_floats(std::size_t count, std::size_t dim, std::size_t clusters, float spread,
                                  std::mt19937& gen) {
  std::vector<float> centres = random_floats(clusters * dim, gen);
  std::normal_distribution<float> noise(0.0f, spread);
  std::uniform_int_distribution<std::size_t> pick(0, clusters - 1);
  std::vector<float> v(count * dim);
  for (std::size_t r = 0; r < count; ++r) {
    const float* c = centres.data() + pick(gen) * dim;
    for (std::size_t i = 0; i < dim; ++i) v[r * dim + i] = c[i] + noise(gen);
  }
  return v;
}

// The search over bound codes against the plain scan of the index (best
// kernel path), per data shape and metric: build time, the fraction of
// vectors computed exactly, the time per query, and whether every answer
// equals the plain scan's.
int run_codes(std::size_t n, std::size_t dim, std::size_t nq) {
  std::printf("bound codes: n=%zu dim=%zu, %zu queries, k=10, kernels %s\n", n, dim, nq, best_kernels().name);
  for (int shape = 0; shape < 2; ++shape) {
    std::mt19937 gen(42);
    // Queries from the same distribution as the data, drawn together.
    std::vector<float> all = shape == 0 ? random_floats((n + nq) * dim, gen)
                                        : mixture_floats(n + nq, dim, 1000, 0.3f, gen);
    const float* data = all.data();
    const float* queries = all.data() + n * dim;
    for (DistanceMetric metric : {DistanceMetric::Euclidean, DistanceMetric::DotProduct, DistanceMetric::Cosine}) {
      VectorIndex index(metric, dim);
      std::vector<std::uint64_t> ids(n);
      for (std::size_t i = 0; i < n; ++i) ids[i] = i;
      (void)index.insert_batch(ids.data(), data, n);
      std::unique_ptr<PruningCodes> codes = make_pruning_codes(metric, dim, best_kernels());
      auto t0 = Clock::now();
      codes->build(data, n);
      double build_s = seconds_since(t0);
      ExactDistances exact = exact_distances_of_rows(metric, queries, data, dim);
      std::vector<double> plain_t, codes_t;
      BoundSearchStats stats;
      std::size_t differ = 0;
      for (std::size_t q = 0; q < nq; ++q) {
        const float* query = queries + q * dim;
        auto t1 = Clock::now();
        auto plain = index.search(query, dim, 10);
        plain_t.push_back(seconds_since(t1));
        auto t2 = Clock::now();
        auto got = codes->search(query, 10, [&](std::size_t, const std::uint32_t* s, std::size_t m, float* out) {
          exact(q, s, m, out);
        }, nullptr, &stats);
        codes_t.push_back(seconds_since(t2));
        bool same = got.size() == plain.size();
        for (std::size_t i = 0; same && i < got.size(); ++i)
          same = std::memcmp(&got[i].distance, &plain[i].distance, sizeof(float)) == 0;
        differ += same ? 0 : 1;
      }
      std::printf("  %-8s %-9s build %.0f ms, %zu B/vector; exact %.3f%% of vectors; query %.3f ms vs plain %.3f ms "
                  "(%.2fx); %zu of %zu answers differ\n",
                  shape == 0 ? "gaussian" : "mixture", metric_label(metric), build_s * 1e3,
                  codes->memory_bytes() / n, 100.0 * stats.exact / stats.candidates, median(codes_t) * 1e3,
                  median(plain_t) * 1e3, median(codes_t) / median(plain_t), differ, nq);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "codes") == 0) {
    return run_codes(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 100000,
                     argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 128,
                     argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 50);
  }
  std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  std::size_t dim = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
  std::size_t nq = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1000;
  std::mt19937 gen(42);
  std::vector<float> data = random_floats(n * dim, gen);
  std::vector<float> queries = random_floats(nq * dim, gen);

  double floor = read_pass_seconds(n * dim);
  std::printf("n=%zu dim=%zu: one read pass %.3f ms (%.1f GB/s)\n", n, dim, floor * 1e3,
              n * dim * 4 / floor / 1e9);

  const KernelSet* sets[4];
  std::size_t nsets = available_kernels(sets, 4);
  for (DistanceMetric metric : {DistanceMetric::Euclidean, DistanceMetric::DotProduct,
                                DistanceMetric::Cosine}) {
    VectorIndex index(metric, dim);
    auto t0 = Clock::now();
    std::vector<std::uint64_t> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = i;
    (void)index.insert_batch(ids.data(), data.data(), n);
    double insert_s = seconds_since(t0);
    std::printf("%-9s insert %.0f vectors/s\n", metric_label(metric), n / insert_s);
    for (std::size_t s = 0; s < nsets; ++s) {
      if (sets[s] != &best_kernels() && s == 0 && n * dim > 50000000) continue;  // scalar is slow
      index.set_kernels(*sets[s]);
      std::vector<double> lat;
      for (std::size_t q = 0; q < 50; ++q) {
        auto t1 = Clock::now();
        auto r = index.search(queries.data() + (q % nq) * dim, dim, 10);
        lat.push_back(seconds_since(t1));
      }
      double single = median(lat);
      std::size_t bq = std::min<std::size_t>(nq, s == 0 ? 20 : nq);
      auto t2 = Clock::now();
      auto batch = index.search_batch(queries.data(), bq, 10);
      double batch_s = seconds_since(t2);
      bool same = true;
      for (std::size_t q = 0; q < std::min<std::size_t>(bq, 5); ++q) {
        auto one = index.search(queries.data() + q * dim, dim, 10);
        for (std::size_t i = 0; i < one.size(); ++i)
          same = same && one[i].id == batch[q][i].id && one[i].distance == batch[q][i].distance;
      }
      std::printf("  %-7s single %.3f ms (%.2fx read pass)  batch %zu: %.0f q/s (%.2f ns/pair)%s\n",
                  sets[s]->name, single * 1e3, single / floor, bq, bq / batch_s,
                  batch_s / bq / n * 1e9, same ? "" : "  BATCH DIFFERS");
    }
  }
  return 0;
}
