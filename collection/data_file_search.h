// An exact search of data.vdb as it lies on disk, for the moments after a
// collection was opened and before its load is done (collection.h,
// load_in_background): one streamed pass over the file, as the load makes
// it, with the distances of a search of the index.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "engine/kernels/kernels.h"
#include "engine/kernels/metric.h"
#include "engine/index/vector_index.h"
#include "storage/data_file.h"

namespace velmoradb {

// The k nearest live records of `file` to `query` (dim floats), nearest
// first, with the results a search of the index the load builds from the
// same file gives: the same ids and distances, bit for bit, equal
// distances in any order, payloads included. The records a load would
// skip (deleted, of another dimension, behind the first torn or
// undecodable one) are skipped here too.
//
// nullopt when the file alone cannot give that answer: a record among
// the nearest is replaced by a later live record of its id (a load keeps
// the later one), k is 0 or above kMaxDataFileSearchK, the dimension is 0,
// or the file cannot be read (the load reports that).
inline constexpr std::size_t kMaxDataFileSearchK = 1024;
// `kernels`: the path of the index it stands in for (tests run each).
std::optional<std::vector<SearchResult>> search_data_file(VectorDataFile& file, DistanceMetric metric,
                                                          std::size_t dim, const float* query, std::size_t k,
                                                          const KernelSet& kernels = best_kernels());

}  // namespace velmoradb
