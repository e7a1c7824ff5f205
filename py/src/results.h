// Search results as Python objects, and the batch search shared by Index and
// Collection.
//
// A result list holds one (id, distance) tuple per hit, nearest first: the
// id as an int (unsigned 64-bit), the distance as a float holding the 32-bit
// distance widened exactly. Payloads are dropped.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/index/vector_index.h"
#include "py/src/convert.h"
#include "py/src/python.h"

namespace velmoradb::py {

// New reference, or null with an exception set.
PyObject* results_to_list(const std::vector<SearchResult>& results);
PyObject* batch_results_to_list(const std::vector<std::vector<SearchResult>>& batch);

// Runs every query of `queries` against `engine` (VectorIndex or
// PersistentCollection) in one search_batch call, so the engine can tile
// them. Queries whose length is not `dimension` get an empty list, as search
// gives them; the others are packed into one matrix first when needed.
template <typename Engine>
std::vector<std::vector<SearchResult>> search_rows(const Engine& engine, std::size_t dimension,
                                                   const FloatRows& queries, std::size_t k) {
  if (queries.all_of_length(dimension)) {
    return engine.search_batch(queries.data(), queries.count(), k);
  }
  std::vector<float> packed;
  std::vector<std::size_t> positions;
  for (std::size_t i = 0; i < queries.count(); ++i) {
    if (queries.length(i) != dimension) continue;
    packed.insert(packed.end(), queries.row(i), queries.row(i) + dimension);
    positions.push_back(i);
  }
  auto found = engine.search_batch(packed.data(), positions.size(), k);
  std::vector<std::vector<SearchResult>> out(queries.count());
  for (std::size_t j = 0; j < positions.size(); ++j) out[positions[j]] = std::move(found[j]);
  return out;
}

}  // namespace velmoradb::py
