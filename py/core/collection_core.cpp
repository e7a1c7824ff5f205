// velmoradb.Collection.
//
// Instances come from the static constructors; calling the class raises
// TypeError. Each method converts and checks its arguments with the
// interpreter lock held (nothing is written before every argument is
// known good), then runs the engine with the lock released under the
// object's life lock (gil.h). Searches from many threads run in parallel;
// the engine serialises writes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "collection/collection.h"
#include "py/core/collection_core.h"
#include "py/core/gil.h"
#include "py/core/json_convert.h"
#include "py/core/vectors.h"
#include "py/core/where.h"
#include "py/src/convert.h"
#include "py/src/errors.h"
#include "py/src/method_docs.h"
#include "py/src/py_ref.h"
#include "py/src/results.h"
#include "py/src/types.h"

namespace velmoradb::py {

bool raise_closed() {
  PyErr_SetString(PyExc_ValueError, "collection is closed");
  return false;
}

namespace {

struct CollectionObject {
  PyObject_HEAD
  CollectionCell* cell;
  PyObject* path;  // str, as given (after os.fspath)
  std::size_t dimension;
  DistanceMetric metric;
};

CollectionObject* as_object(PyObject* self) { return reinterpret_cast<CollectionObject*>(self); }

constexpr const char kMetricNames[] = "'euclidean', 'cosine', 'dot'";

const char* python_metric_name(DistanceMetric metric) {
  switch (metric) {
    case DistanceMetric::Euclidean: return "euclidean";
    case DistanceMetric::Cosine: return "cosine";
    case DistanceMetric::DotProduct: return "dot";
    default: return "hamming";
  }
}

bool parse_metric(PyObject* o, DistanceMetric* out) {
  if (!PyUnicode_Check(o)) {
    PyRef type = PyRef::steal(PyType_GetName(Py_TYPE(o)));
    if (type) PyErr_Format(PyExc_TypeError, "metric: expected str, got %U", type.get());
    return false;
  }
  for (DistanceMetric m : {DistanceMetric::Euclidean, DistanceMetric::Cosine,
                           DistanceMetric::DotProduct}) {
    if (PyUnicode_CompareWithASCIIString(o, python_metric_name(m)) == 0) {
      *out = m;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "unknown metric %R (expected one of %s)", o, kMetricNames);
  return false;
}

bool parse_dimension(PyObject* o, std::size_t* out) {
  if (!to_size(o, out)) {
    prefix_error("dimension");
    return false;
  }
  if (*out == 0) {
    PyErr_SetString(PyExc_ValueError, "dimension must be at least 1");
    return false;
  }
  return true;
}

// os.fspath(o) as str (a bytes path is decoded with the file system
// encoding), and the bytes handed to the file system.
bool parse_path(PyObject* o, PyRef* text, std::string* bytes) {
  PyRef path = PyRef::steal(PyOS_FSPath(o));
  if (!path) return false;
  PyRef encoded;
  if (PyUnicode_Check(path.get())) {
    encoded = PyRef::steal(PyUnicode_EncodeFSDefault(path.get()));
    if (!encoded) return false;
    *text = std::move(path);
  } else {
    *text = PyRef::steal(PyUnicode_DecodeFSDefault(PyBytes_AsString(path.get())));
    if (!*text) return false;
    encoded = std::move(path);
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) != 0) return false;
  bytes->assign(data, static_cast<std::size_t>(size));
  if (bytes->find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "path: embedded null byte");
    return false;
  }
  return true;
}

bool parse_id(PyObject* o, const char* name, std::uint64_t* out) {
  if (to_u64(o, out)) return true;
  prefix_error(name);
  return false;
}

PyObject* collection_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError,
               "cannot create '%U' instances: use Collection.open(), create() or open_or_create()",
               name.get());
  return nullptr;
}

void collection_dealloc(PyObject* self) {
  CollectionObject* object = as_object(self);
  // Nothing else can be inside a call: each call holds a reference. The
  // engine writes out its buffers and closes its files.
  delete object->cell;
  Py_XDECREF(object->path);
  free_instance(self);
}

PyObject* wrap(std::unique_ptr<PersistentCollection> collection, PyRef path) {
  PyObject* type_object = core_collection_type();
  if (type_object == nullptr) return nullptr;
  // Everything that can fail comes before the instance exists: its dealloc
  // may then trust every field.
  auto cell = std::make_unique<CollectionCell>();
  auto* type = reinterpret_cast<PyTypeObject*>(type_object);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;  // the collection closes as it goes
  CollectionObject* object = as_object(self);
  object->dimension = collection->config().dimension;
  object->metric = collection->config().metric;
  object->path = path.release();
  cell->collection = std::move(collection);
  object->cell = cell.release();
  return self;
}

// Raises the failure of an open as OSError, or ValueError when the
// directory holds a collection of another dimension.
PyObject* raise_open_error(const VectorError& error) {
  const bool mismatch = error.kind() == VectorError::Kind::CollectionError &&
                        error.text().rfind("dimension mismatch", 0) == 0;
  return raise_vector_error(mismatch ? PyExc_ValueError : PyExc_OSError, error);
}

PyObject* collection_open_or_create(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kNames[] = {"path", "dimension", "metric", nullptr};
    PyObject* path_arg = nullptr;
    PyObject* dimension_arg = nullptr;
    PyObject* metric_arg = nullptr;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:open_or_create",
                                    const_cast<char**>(kNames), &path_arg, &dimension_arg,
                                    &metric_arg) == 0) {
      return nullptr;
    }
    PyRef path;
    std::string fs_path;
    if (!parse_path(path_arg, &path, &fs_path)) return nullptr;
    CollectionConfig config;
    if (!parse_dimension(dimension_arg, &config.dimension)) return nullptr;
    if (!parse_metric(metric_arg, &config.metric)) return nullptr;
    config.wal_sync_policy = WalSyncPolicy::Batched;

    Result<std::unique_ptr<PersistentCollection>> opened = VectorError::collection("");
    {
      GilRelease released;
      opened = PersistentCollection::open_or_create(fs_path, config);
    }
    if (!opened) return raise_open_error(opened.error());
    return wrap(std::move(opened).value(), std::move(path));
  });
}

// The receiver's cell, or null with ValueError set when it is closed.
CollectionCell* open_cell(PyObject* self) {
  CollectionCell* cell = as_object(self)->cell;
  if (cell->closed.load()) {
    raise_closed();
    return nullptr;
  }
  return cell;
}

PyObject* collection_insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kNames[] = {"id", "vector", "payload", nullptr};
    PyObject* id_arg = nullptr;
    PyObject* vector_arg = nullptr;
    PyObject* payload_arg = Py_None;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:insert", const_cast<char**>(kNames),
                                    &id_arg, &vector_arg, &payload_arg) == 0) {
      return nullptr;
    }
    CollectionCell* cell = open_cell(self);
    if (cell == nullptr) return nullptr;
    std::uint64_t id = 0;
    if (!parse_id(id_arg, "id", &id)) return nullptr;
    std::vector<float> vector;
    if (!to_checked_vector(vector_arg, "vector", &vector)) return nullptr;
    if (!check_length("vector", vector.size(), as_object(self)->dimension)) return nullptr;
    Payload payload;
    if (!to_payload(payload_arg, "payload", &payload)) return nullptr;

    Status inserted;
    if (!run_released(*cell, [&](PersistentCollection& c) {
          inserted = c.insert(id, std::move(vector), std::move(payload));
        })) {
      return nullptr;
    }
    if (!inserted) return raise_vector_error(PyExc_OSError, inserted.error());
    Py_RETURN_NONE;
  });
}

PyObject* collection_insert_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kNames[] = {"ids", "vectors", nullptr};
    PyObject* ids_arg = nullptr;
    PyObject* vectors_arg = nullptr;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OO:insert_batch", const_cast<char**>(kNames),
                                    &ids_arg, &vectors_arg) == 0) {
      return nullptr;
    }
    CollectionCell* cell = open_cell(self);
    if (cell == nullptr) return nullptr;
    std::vector<std::uint64_t> ids;
    if (!to_u64_list(ids_arg, &ids)) {
      prefix_error("ids");
      return nullptr;
    }
    FloatRowsCopy vectors;
    if (!to_checked_rows(vectors_arg, "vectors", &vectors, &ids)) return nullptr;
    if (ids.size() != vectors.count()) {
      PyErr_Format(PyExc_ValueError, "ids has %zu items but vectors has %zu rows", ids.size(),
                   vectors.count());
      return nullptr;
    }
    const std::size_t dimension = as_object(self)->dimension;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (vectors.length(i) == dimension) continue;
      PyErr_Format(PyExc_ValueError,
                   "vectors[%zu] (id %llu) has %zu components, the collection's dimension is %zu",
                   i, static_cast<unsigned long long>(ids[i]), vectors.length(i), dimension);
      return nullptr;
    }

    Status inserted;
    if (!run_released(*cell, [&](PersistentCollection& c) {
          inserted = c.insert_batch(ids.data(), ids.size(), [&](std::size_t i) {
            return std::pair<const float*, std::size_t>(vectors.row(i), vectors.length(i));
          });
        })) {
      return nullptr;
    }
    if (!inserted) return raise_vector_error(PyExc_OSError, inserted.error());
    Py_RETURN_NONE;
  });
}

PyObject* collection_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kNames[] = {"query", "k", nullptr};
    PyObject* query_arg = nullptr;
    PyObject* k_arg = nullptr;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OO:search", const_cast<char**>(kNames),
                                    &query_arg, &k_arg) == 0) {
      return nullptr;
    }
    CollectionCell* cell = open_cell(self);
    if (cell == nullptr) return nullptr;
    std::vector<float> query;
    if (!to_checked_vector(query_arg, "query", &query)) return nullptr;
    if (!check_length("query", query.size(), as_object(self)->dimension)) return nullptr;
    std::size_t k = 0;
    if (!to_size(k_arg, &k)) {
      prefix_error("k");
      return nullptr;
    }

    std::vector<SearchResult> found;
    if (!run_released(*cell, [&](PersistentCollection& c) {
          found = c.search(query.data(), query.size(), k);
        })) {
      return nullptr;
    }
    return results_to_list(found);
  });
}

PyObject* collection_search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kNames[] = {"queries", "k", nullptr};
    PyObject* queries_arg = nullptr;
    PyObject* k_arg = nullptr;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OO:search_batch", const_cast<char**>(kNames),
                                    &queries_arg, &k_arg) == 0) {
      return nullptr;
    }
    CollectionCell* cell = open_cell(self);
    if (cell == nullptr) return nullptr;
    FloatRowsCopy queries;
    if (!to_checked_rows(queries_arg, "queries", &queries)) return nullptr;
    const std::size_t dimension = as_object(self)->dimension;
    for (std::size_t i = 0; i < queries.count(); ++i) {
      if (!check_length("queries[" + std::to_string(i) + "]", queries.length(i), dimension)) {
        return nullptr;
      }
    }
    std::size_t k = 0;
    if (!to_size(k_arg, &k)) {
      prefix_error("k");
      return nullptr;
    }

    std::vector<std::vector<SearchResult>> found;
    if (!run_released(*cell, [&](PersistentCollection& c) {
          found = c.search_batch(queries.data.data(), queries.count(), k);
        })) {
      return nullptr;
    }
    return batch_results_to_list(found);
  });
}

PyObject* collection_flush(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    CollectionCell* cell = open_cell(self);
    if (cell == nullptr) return nullptr;
    Status flushed;
    if (!run_released(*cell, [&](PersistentCollection& c) { flushed = c.flush(); })) {
      return nullptr;
    }
    if (!flushed) return raise_vector_error(PyExc_OSError, flushed.error());
    Py_RETURN_NONE;
  });
}

PyObject* collection_close(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    CollectionCell* cell = as_object(self)->cell;
    Status closed;
    {
      GilRelease released;
      std::unique_lock lock(cell->life);  // waits for every call inside the engine
      if (cell->collection) {
        cell->closed.store(true);
        // The checkpoint makes everything acknowledged durable before the
        // files close and the directory's lock is released.
        closed = cell->collection->flush();
        cell->collection.reset();
      }
    }
    if (!closed) return raise_vector_error(PyExc_OSError, closed.error());
    Py_RETURN_NONE;
  });
}

PyObject* collection_enter(PyObject* self, PyObject*) {
  if (open_cell(self) == nullptr) return nullptr;
  return Py_NewRef(self);
}

PyObject* collection_exit(PyObject* self, PyObject*) { return collection_close(self, nullptr); }

Py_ssize_t collection_length(PyObject* self) {
  CollectionCell* cell = open_cell(self);
  if (cell == nullptr) return -1;
  std::size_t size = 0;
  if (!run_released(*cell, [&](PersistentCollection& c) { size = c.size(); })) return -1;
  return static_cast<Py_ssize_t>(size);
}

PyObject* collection_repr(PyObject* self) {
  CollectionObject* object = as_object(self);
  const char* metric = python_metric_name(object->metric);
  CollectionCell* cell = object->cell;
  if (cell->closed.load()) {
    return PyUnicode_FromFormat("<velmoradb.Collection path=%R dimension=%zu metric='%s' closed>",
                                object->path, object->dimension, metric);
  }
  const Py_ssize_t count = collection_length(self);
  if (count < 0) {
    // Closed meanwhile by another thread.
    PyErr_Clear();
    return PyUnicode_FromFormat(
        "<velmoradb.Collection path=%R dimension=%zu metric='%s' closed>", object->path,
        object->dimension, metric);
  }
  return PyUnicode_FromFormat("<velmoradb.Collection path=%R dimension=%zu metric='%s' count=%zd>",
                              object->path, object->dimension, metric, count);
}

PyObject* get_path(PyObject* self, void*) { return Py_NewRef(as_object(self)->path); }
PyObject* get_dimension(PyObject* self, void*) {
  return PyLong_FromSize_t(as_object(self)->dimension);
}
PyObject* get_metric(PyObject* self, void*) {
  return PyUnicode_FromString(python_metric_name(as_object(self)->metric));
}
PyObject* get_closed(PyObject* self, void*) {
  return PyBool_FromLong(as_object(self)->cell->closed.load() ? 1 : 0);
}

constexpr const char kCollectionDoc[] =
    "A persistent vector collection in a directory: vectors with JSON-like payloads,\n"
    "kept crash-safe by a write-ahead log.\n"
    "\n"
    "Open one with Collection.open_or_create(path, dimension, metric). Safe to use\n"
    "from several threads; the interpreter lock is released while the engine works.\n"
    "A context manager: the collection closes when the block ends.";

constexpr const char kOpenOrCreateDoc[] =
    "open_or_create(path, dimension, metric)\n--\n\n"
    "Open the collection in directory `path`, or create it there.\n"
    "\n"
    "`metric` is 'euclidean', 'cosine' or 'dot'. Raises ValueError when the\n"
    "directory holds a collection of another dimension, OSError when it cannot\n"
    "be opened (or another open collection holds it).";

constexpr const char kInsertDoc[] =
    "insert($self, id, vector, payload=None)\n--\n\n"
    "Insert `vector` under `id` with `payload` (a dict), replacing the record\n"
    "the id already has. Every argument is checked before anything is written.";

constexpr const char kInsertBatchCoreDoc[] =
    "insert_batch($self, ids, vectors)\n--\n\n"
    "Insert each vector under its id, in order (a sequence of vectors or a 2-D\n"
    "float array). Every row is checked before anything is written.";

constexpr const char kSearchCoreDoc[] =
    "search($self, query, k)\n--\n\n"
    "The k nearest records as (id, distance) tuples, nearest first.";

constexpr const char kSearchBatchCoreDoc[] =
    "search_batch($self, queries, k)\n--\n\n"
    "search() for each query (a sequence of vectors or a 2-D float array).";

constexpr const char kFlushDoc[] =
    "flush($self, /)\n--\n\n"
    "The checkpoint: the data file forced to disk, the log emptied.";

constexpr const char kCloseDoc[] =
    "close($self, /)\n--\n\n"
    "Make everything durable, close the files and release the directory.\n"
    "Idempotent; any other call afterwards raises ValueError.";

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"open_or_create", with_keywords<collection_open_or_create>(), kKeywords | METH_STATIC,
     kOpenOrCreateDoc},
    {"insert", with_keywords<collection_insert>(), kKeywords, kInsertDoc},
    {"insert_batch", with_keywords<collection_insert_batch>(), kKeywords, kInsertBatchCoreDoc},
    {"search", with_keywords<collection_search>(), kKeywords, kSearchCoreDoc},
    {"search_batch", with_keywords<collection_search_batch>(), kKeywords, kSearchBatchCoreDoc},
    {"flush", collection_flush, METH_NOARGS, kFlushDoc},
    {"close", collection_close, METH_NOARGS, kCloseDoc},
    {"__enter__", collection_enter, METH_NOARGS, nullptr},
    {"__exit__", collection_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"path", get_path, nullptr, "The directory, as given.", nullptr},
    {"dimension", get_dimension, nullptr, "The length of every vector.", nullptr},
    {"metric", get_metric, nullptr, "'euclidean', 'cosine' or 'dot'.", nullptr},
    {"closed", get_closed, nullptr, "Whether close() has run.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kCollectionDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(collection_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(collection_new)},
    {Py_tp_repr, reinterpret_cast<void*>(collection_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_sq_length, reinterpret_cast<void*>(collection_length)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "velmoradb.Collection", static_cast<int>(sizeof(CollectionObject)), 0, Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyObject* core_collection_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = create_class(&kSpec, "Collection");
  return type;
}

}  // namespace velmoradb::py
