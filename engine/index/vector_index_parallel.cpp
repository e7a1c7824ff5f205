// A batch of queries over several threads.
#include <algorithm>

#include "engine/support/thread_pool.h"
#include "engine/index/vector_index.h"

namespace velmoradb {

std::vector<std::vector<SearchResult>> VectorIndex::search_batch_parallel(const float* queries, std::size_t nq,
                                                                          std::size_t k, const SlotBitmap* only,
                                                                          std::size_t threads) const {
  ThreadPool& pool = ThreadPool::shared();
  // Parts of contiguous queries, one per thread: each part reads every
  // vector once, as the one-thread batch does.
  const std::size_t parts = std::min({threads, nq, pool.workers() + 1});
  if (parts <= 1) return only ? search_batch(queries, nq, k, *only) : search_batch(queries, nq, k);
  std::vector<std::vector<SearchResult>> out(nq);
  pool.run(parts, parts, [&](std::size_t part) {
    const std::size_t begin = nq * part / parts;
    const std::size_t end = nq * (part + 1) / parts;
    const float* first = queries + begin * dimension_;
    auto lists = only ? search_batch(first, end - begin, k, *only) : search_batch(first, end - begin, k);
    std::move(lists.begin(), lists.end(), out.begin() + static_cast<std::ptrdiff_t>(begin));
  });
  return out;
}

}  // namespace velmoradb
