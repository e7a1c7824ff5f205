// The instance layout of velmoradb.Collection and the helpers its method
// files share (collection_core.cpp: opening, lifecycle, search;
// collection_records.cpp: records by id, delete, compaction).
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/kernels/metric.h"
#include "py/core/gil.h"
#include "py/src/python.h"

namespace velmoradb::py {

struct CollectionObject {
  PyObject_HEAD
  CollectionCell* cell;
  PyObject* path;  // str, as given (after os.fspath)
  std::size_t dimension;
  DistanceMetric metric;
  bool read_only;
  // search_batch's threads when its argument is None (the property
  // search_threads); at least 1.
  std::size_t search_threads;
};

inline CollectionObject* as_object(PyObject* self) {
  return reinterpret_cast<CollectionObject*>(self);
}

// The receiver's cell, or null with ValueError set when it is closed.
CollectionCell* open_cell(PyObject* self);
// As open_cell, and null with io.UnsupportedOperation("collection is
// read-only") for a read-only collection.
CollectionCell* writable_cell(PyObject* self);
// An id argument; errors are prefixed with `name`.
[[nodiscard]] bool parse_id(PyObject* o, const char* name, std::uint64_t* out);
// Raises the failure of an engine call: CollectionError as ValueError with
// its text, anything else (I/O) as OSError with its message. Returns null.
PyObject* raise_engine_error(const VectorError& error);

// The named tuples Record and CompactStats (borrowed; made by init_records).
PyObject* record_type();
PyObject* compact_stats_type();
[[nodiscard]] bool init_records(PyObject* module);

// Methods of collection_records.cpp.
PyObject* collection_get(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* collection_get_batch(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* collection_delete(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* collection_delete_batch(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* collection_ids(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* collection_compact(PyObject* self, PyObject* args);
int collection_contains(PyObject* self, PyObject* id);

}  // namespace velmoradb::py
