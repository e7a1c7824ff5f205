// velmoradb.Collection: records by id (get, get_batch, in), deletes, the ids
// a filter matches, and compaction.
#include <optional>
#include <vector>

#include "collection/collection.h"
#include "py/core/collection_object.h"
#include "py/core/json_convert.h"
#include "py/core/vectors.h"
#include "py/core/where.h"
#include "py/src/convert.h"
#include "py/src/errors.h"
#include "py/src/py_ref.h"

namespace velmoradb::py {
namespace {

PyObject* g_record_type = nullptr;
PyObject* g_compact_stats_type = nullptr;

// collections.namedtuple(name, fields, module="velmoradb").
PyObject* make_named_tuple(const char* name, const char* fields) {
  PyRef collections = PyRef::steal(PyImport_ImportModule("collections"));
  if (!collections) return nullptr;
  PyRef factory = PyRef::steal(PyObject_GetAttrString(collections.get(), "namedtuple"));
  if (!factory) return nullptr;
  PyRef args = PyRef::steal(Py_BuildValue("(ss)", name, fields));
  PyRef kwargs = PyRef::steal(Py_BuildValue("{ss}", "module", "velmoradb"));
  if (!args || !kwargs) return nullptr;
  return PyObject_Call(factory.get(), args.get(), kwargs.get());
}

PyObject* record_to_tuple(const Record& record) {
  PyRef id = PyRef::steal(PyLong_FromUnsignedLongLong(record.id));
  PyRef vector = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(record.vector.size())));
  if (!id || !vector) return nullptr;
  for (std::size_t i = 0; i < record.vector.size(); ++i) {
    PyObject* x = PyFloat_FromDouble(static_cast<double>(record.vector[i]));
    if (x == nullptr) return nullptr;
    PyList_SetItem(vector.get(), static_cast<Py_ssize_t>(i), x);  // steals
  }
  PyRef payload = PyRef::steal(payload_to_dict(record.payload));
  if (!payload) return nullptr;
  return PyObject_CallFunctionObjArgs(g_record_type, id.get(), vector.get(), payload.get(),
                                      nullptr);
}

PyObject* optional_record(const std::optional<Record>& record) {
  if (!record) Py_RETURN_NONE;
  return record_to_tuple(*record);
}

bool parse_ids(PyObject* o, std::vector<std::uint64_t>* out) {
  if (to_u64_list(o, out)) return true;
  prefix_error("ids");
  return false;
}

}  // namespace

bool init_records(PyObject* module) {
  g_record_type = make_named_tuple("Record", "id vector payload");
  if (g_record_type == nullptr) return false;
  g_compact_stats_type = make_named_tuple("CompactStats", "bytes_before bytes_after records_dropped");
  if (g_compact_stats_type == nullptr) return false;
  return PyModule_AddObjectRef(module, "Record", g_record_type) == 0 &&
         PyModule_AddObjectRef(module, "CompactStats", g_compact_stats_type) == 0;
}

PyObject* record_type() { return g_record_type; }
PyObject* compact_stats_type() { return g_compact_stats_type; }

PyObject* collection_get(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kNames[] = {"id", nullptr};
    PyObject* id_arg = nullptr;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "O:get", const_cast<char**>(kNames),
                                    &id_arg) == 0) {
      return nullptr;
    }
    CollectionCell* cell = open_cell(self);
    if (cell == nullptr) return nullptr;
    std::uint64_t id = 0;
    if (!parse_id(id_arg, "id", &id)) return nullptr;
    Result<std::optional<Record>> found = VectorError::collection("");
    if (!run_released(*cell, [&](PersistentCollection& c) { found = c.get(id); })) return nullptr;
    if (!found) return raise_engine_error(found.error());
    return optional_record(*found);
  });
}

PyObject* collection_get_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kNames[] = {"ids", nullptr};
    PyObject* ids_arg = nullptr;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "O:get_batch", const_cast<char**>(kNames),
                                    &ids_arg) == 0) {
      return nullptr;
    }
    CollectionCell* cell = open_cell(self);
    if (cell == nullptr) return nullptr;
    std::vector<std::uint64_t> ids;
    if (!parse_ids(ids_arg, &ids)) return nullptr;
    std::vector<std::optional<Record>> records;
    std::optional<VectorError> failure;
    if (!run_released(*cell, [&](PersistentCollection& c) {
          records.reserve(ids.size());
          for (std::uint64_t id : ids) {
            auto found = c.get(id);
            if (!found) {
              failure = std::move(found).error();
              return;
            }
            records.push_back(std::move(*found));
          }
        })) {
      return nullptr;
    }
    if (failure) return raise_engine_error(*failure);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < records.size(); ++i) {
      PyObject* item = optional_record(records[i]);
      if (item == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyObject* collection_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kNames[] = {"id", nullptr};
    PyObject* id_arg = nullptr;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "O:delete", const_cast<char**>(kNames),
                                    &id_arg) == 0) {
      return nullptr;
    }
    CollectionCell* cell = writable_cell(self);
    if (cell == nullptr) return nullptr;
    std::uint64_t id = 0;
    if (!parse_id(id_arg, "id", &id)) return nullptr;
    Result<bool> removed = false;
    if (!run_released(*cell, [&](PersistentCollection& c) { removed = c.remove(id); })) {
      return nullptr;
    }
    if (!removed) return raise_engine_error(removed.error());
    return PyBool_FromLong(*removed ? 1 : 0);
  });
}

PyObject* collection_delete_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kNames[] = {"ids", nullptr};
    PyObject* ids_arg = nullptr;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "O:delete_batch", const_cast<char**>(kNames),
                                    &ids_arg) == 0) {
      return nullptr;
    }
    CollectionCell* cell = writable_cell(self);
    if (cell == nullptr) return nullptr;
    std::vector<std::uint64_t> ids;
    if (!parse_ids(ids_arg, &ids)) return nullptr;
    Result<std::size_t> removed = std::size_t{0};
    if (!run_released(*cell, [&](PersistentCollection& c) {
          removed = c.remove_batch(ids.data(), ids.size());
        })) {
      return nullptr;
    }
    if (!removed) return raise_engine_error(removed.error());
    return PyLong_FromSize_t(*removed);
  });
}

PyObject* collection_ids(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kNames[] = {"where", nullptr};
    PyObject* where_arg = Py_None;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "|O:ids", const_cast<char**>(kNames),
                                    &where_arg) == 0) {
      return nullptr;
    }
    CollectionCell* cell = open_cell(self);
    if (cell == nullptr) return nullptr;
    Filter where;
    if (!to_filter(where_arg, &where)) return nullptr;
    Result<std::vector<std::uint64_t>> ids = VectorError::collection("");
    if (!run_released(*cell, [&](PersistentCollection& c) {
          ids = c.ids(where.matches_everything() ? nullptr : &where);
        })) {
      return nullptr;
    }
    if (!ids) return raise_engine_error(ids.error());
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ids->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < ids->size(); ++i) {
      PyObject* id = PyLong_FromUnsignedLongLong((*ids)[i]);
      if (id == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), id);
    }
    return list.release();
  });
}

PyObject* collection_compact(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    CollectionCell* cell = writable_cell(self);
    if (cell == nullptr) return nullptr;
    Result<CompactStats> stats = VectorError::collection("");
    if (!run_released(*cell, [&](PersistentCollection& c) { stats = c.compact(); })) {
      return nullptr;
    }
    if (!stats) return raise_engine_error(stats.error());
    return PyObject_CallFunction(g_compact_stats_type, "KKK",
                                 static_cast<unsigned long long>(stats->bytes_before),
                                 static_cast<unsigned long long>(stats->bytes_after),
                                 static_cast<unsigned long long>(stats->records_dropped));
  });
}

int collection_contains(PyObject* self, PyObject* id_arg) {
  PyObject* result = guarded([&]() -> PyObject* {
    CollectionCell* cell = open_cell(self);
    if (cell == nullptr) return nullptr;
    std::uint64_t id = 0;
    if (!to_u64(id_arg, &id)) {
      // Like `"a" in range(3)`: what cannot be an id is not in the collection.
      if (PyErr_ExceptionMatches(PyExc_TypeError) == 0 &&
          PyErr_ExceptionMatches(PyExc_OverflowError) == 0) {
        return nullptr;
      }
      PyErr_Clear();
      Py_RETURN_FALSE;
    }
    Result<bool> present = false;
    if (!run_released(*cell, [&](PersistentCollection& c) { present = c.contains(id); })) {
      return nullptr;
    }
    if (!present) return raise_engine_error(present.error());
    return PyBool_FromLong(*present ? 1 : 0);
  });
  if (result == nullptr) return -1;
  const int answer = result == Py_True ? 1 : 0;
  Py_DECREF(result);
  return answer;
}

}  // namespace velmoradb::py
