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
#include "py/core/collection_object.h"
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

CollectionCell* open_cell(PyObject* self) {
  CollectionCell* cell = as_object(self)->cell;
  if (cell->closed.load()) {
    raise_closed();
    return nullptr;
  }
  return cell;
}

CollectionCell* writable_cell(PyObject* self) {
  CollectionCell* cell = open_cell(self);
  if (cell == nullptr || !as_object(self)->read_only) return cell;
  PyRef io = PyRef::steal(PyImport_ImportModule("io"));
  if (!io) return nullptr;
  PyRef unsupported = PyRef::steal(PyObject_GetAttrString(io.get(), "UnsupportedOperation"));
  if (!unsupported) return nullptr;
  PyErr_SetString(unsupported.get(), "collection is read-only");
  return nullptr;
}

bool parse_id(PyObject* o, const char* name, std::uint64_t* out) {
  if (to_u64(o, out)) return true;
  prefix_error(name);
  return false;
}

PyObject* raise_engine_error(const VectorError& error) {
  if (error.kind() == VectorError::Kind::CollectionError) {
    const std::string& text = error.text();
    PyRef message = PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
  }
  return raise_vector_error(PyExc_OSError, error);
}

namespace {

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
  // engine waits for a load still running, writes out its buffers and
  // closes its files: other threads run meanwhile.
  {
    GilRelease released;
    delete object->cell;
  }
  Py_XDECREF(object->path);
  free_instance(self);
}

PyObject* wrap(std::unique_ptr<PersistentCollection> collection, PyRef path) {
  const bool read_only = collection->read_only();
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
  object->read_only = read_only;
  object->search_threads = 1;
  cell->collection = std::move(collection);
  object->cell = cell.release();
  return self;
}

bool starts_with(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Raises the refusal of an open: FileNotFoundError (no collection),
// FileExistsError (create over one), ValueError (another dimension or
// metric), OSError for the rest (locks, damaged files, I/O).
PyObject* raise_open_error(const VectorError& error) {
  if (error.kind() != VectorError::Kind::CollectionError) {
    return raise_vector_error(PyExc_OSError, error);
  }
  const std::string& text = error.text();
  PyObject* type = PyExc_OSError;
  if (starts_with(text, "no collection at ")) {
    type = PyExc_FileNotFoundError;
  } else if (starts_with(text, "a collection already exists at ")) {
    type = PyExc_FileExistsError;
  } else if (starts_with(text, "dimension mismatch") || starts_with(text, "metric mismatch")) {
    type = PyExc_ValueError;
  }
  PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

// Refuses, in the words of this module, to open the collection stored at
// `fs_path` with another dimension or metric than `config`.
bool check_stored(const std::string& fs_path, PyObject* path, const CollectionConfig& config) {
  Result<std::optional<CollectionConfig>> stored = VectorError::collection("");
  {
    GilRelease released;
    stored = PersistentCollection::stored_config(fs_path);
  }
  if (!stored) return raise_open_error(stored.error()) != nullptr;
  if (!*stored) return true;
  const CollectionConfig& have = **stored;
  if (have.dimension != config.dimension) {
    PyErr_Format(PyExc_ValueError,
                 "the collection at %R has dimension %zu, not %zu", path, have.dimension,
                 config.dimension);
    return false;
  }
  if (have.metric != config.metric) {
    PyErr_Format(PyExc_ValueError, "the collection at %R has metric '%s', not '%s'", path,
                 python_metric_name(have.metric), python_metric_name(config.metric));
    return false;
  }
  return true;
}

PyObject* open_with(PyRef path, const std::string& fs_path, const CollectionConfig& config,
                    const OpenOptions& options) {
  Result<std::unique_ptr<PersistentCollection>> opened = VectorError::collection("");
  {
    GilRelease released;
    opened = PersistentCollection::open(fs_path, config, options);
  }
  if (!opened) return raise_open_error(opened.error());
  return wrap(std::move(opened).value(), std::move(path));
}

// open_or_create and create: (path, dimension, metric).
PyObject* open_configured(const char* format, OpenIntent intent, PyObject* args,
                          PyObject* kwargs) {
  static const char* kNames[] = {"path", "dimension", "metric", nullptr};
  PyObject* path_arg = nullptr;
  PyObject* dimension_arg = nullptr;
  PyObject* metric_arg = nullptr;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kNames), &path_arg,
                                  &dimension_arg, &metric_arg) == 0) {
    return nullptr;
  }
  PyRef path;
  std::string fs_path;
  if (!parse_path(path_arg, &path, &fs_path)) return nullptr;
  CollectionConfig config;
  if (!parse_dimension(dimension_arg, &config.dimension)) return nullptr;
  if (!parse_metric(metric_arg, &config.metric)) return nullptr;
  config.wal_sync_policy = WalSyncPolicy::Batched;
  config.bound_codes = true;
  config.load_in_background = true;
  if (intent == OpenIntent::OpenOrCreate && !check_stored(fs_path, path.get(), config)) {
    return nullptr;
  }
  OpenOptions options;
  options.intent = intent;
  options.require_stored_metric = true;
  return open_with(std::move(path), fs_path, config, options);
}

PyObject* collection_open_or_create(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    return open_configured("OOO:open_or_create", OpenIntent::OpenOrCreate, args, kwargs);
  });
}

PyObject* collection_create(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    return open_configured("OOO:create", OpenIntent::CreateNew, args, kwargs);
  });
}

PyObject* collection_open(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kNames[] = {"path", "read_only", nullptr};
    PyObject* path_arg = nullptr;
    int read_only = 0;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "O|p:open", const_cast<char**>(kNames),
                                    &path_arg, &read_only) == 0) {
      return nullptr;
    }
    PyRef path;
    std::string fs_path;
    if (!parse_path(path_arg, &path, &fs_path)) return nullptr;
    CollectionConfig config;  // the stored dimension and metric are used
    config.bound_codes = true;
    config.load_in_background = true;
    OpenOptions options;
    options.intent = OpenIntent::OpenExisting;
    options.read_only = read_only != 0;
    return open_with(std::move(path), fs_path, config, options);
  });
}

// One payload (a dict or None) per id, converted before anything is
// written; errors name the row and the id.
bool to_payloads(PyObject* o, const std::vector<std::uint64_t>& ids, std::vector<Payload>* out) {
  PyRef items = PyRef::steal(PySequence_Fast(o, "payloads: expected a sequence of dicts"));
  if (!items) return false;
  const Py_ssize_t n = PySequence_Size(items.get());
  if (n < 0) return false;
  if (static_cast<std::size_t>(n) != ids.size()) {
    PyErr_Format(PyExc_ValueError, "ids has %zu items but payloads has %zd", ids.size(), n);
    return false;
  }
  out->resize(ids.size());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(items.get(), i));
    if (!item) return false;
    const std::string root = "payloads[" + std::to_string(i) + "]";
    if (!to_payload(item.get(), root.c_str(), &(*out)[static_cast<std::size_t>(i)])) {
      reword_error("", " (id " + std::to_string(ids[static_cast<std::size_t>(i)]) + ")");
      return false;
    }
  }
  return true;
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
    CollectionCell* cell = writable_cell(self);
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
    if (!inserted) return raise_engine_error(inserted.error());
    Py_RETURN_NONE;
  });
}

PyObject* collection_insert_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kNames[] = {"ids", "vectors", "payloads", nullptr};
    PyObject* ids_arg = nullptr;
    PyObject* vectors_arg = nullptr;
    PyObject* payloads_arg = Py_None;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:insert_batch", const_cast<char**>(kNames),
                                    &ids_arg, &vectors_arg, &payloads_arg) == 0) {
      return nullptr;
    }
    CollectionCell* cell = writable_cell(self);
    if (cell == nullptr) return nullptr;
    std::vector<std::uint64_t> ids;
    if (!to_u64_list(ids_arg, &ids)) {
      prefix_error("ids");
      return nullptr;
    }
    const std::size_t dimension = as_object(self)->dimension;
    // A large batch goes straight to the data file (all or nothing); a
    // smaller one through the log, pair by pair.
    const bool bulk = ids.size() * dimension * sizeof(float) >= PersistentCollection::kBulkMinBytes;
    // A bulk batch of float32 rows is read in place, not copied: the engine
    // reads each row once, to write it to the file, and the index takes
    // the row from the bytes written (so the two agree even if another
    // thread changes the array meanwhile).
    FloatBuffer in_place;
    if (bulk && in_place.acquire(vectors_arg, 2) &&
        !(in_place.is_float32() && in_place.rows() == ids.size() && in_place.columns() == dimension)) {
      in_place.release();
    }
    // Its rows are checked by the engine as it writes them (a bad one undoes
    // the batch), and only then here, for the error that names the row.
    const bool read_in_place = in_place.held();
    FloatRowsCopy vectors;
    if (!read_in_place && !to_checked_rows(vectors_arg, "vectors", &vectors, &ids)) return nullptr;
    if (!read_in_place && ids.size() != vectors.count()) {
      PyErr_Format(PyExc_ValueError, "ids has %zu items but vectors has %zu rows", ids.size(),
                   vectors.count());
      return nullptr;
    }
    for (std::size_t i = 0; !read_in_place && i < ids.size(); ++i) {
      if (vectors.length(i) == dimension) continue;
      PyErr_Format(PyExc_ValueError,
                   "vectors[%zu] (id %llu) has %zu components, the collection's dimension is %zu",
                   i, static_cast<unsigned long long>(ids[i]), vectors.length(i), dimension);
      return nullptr;
    }
    std::vector<Payload> payloads;
    if (payloads_arg != Py_None && !to_payloads(payloads_arg, ids, &payloads)) return nullptr;

    Status inserted;
    std::size_t done = 0;
    if (!run_released(*cell, [&](PersistentCollection& c) {
          const float* rows = static_cast<const float*>(in_place.data());
          const PersistentCollection::BatchRow row = [&](std::size_t i) {
            if (read_in_place) return std::pair<const float*, std::size_t>(rows + i * dimension, dimension);
            return std::pair<const float*, std::size_t>(vectors.row(i), vectors.length(i));
          };
          Payload* rows_payloads = payloads.empty() ? nullptr : payloads.data();
          if (bulk) {
            inserted = c.insert_batch_direct(ids.data(), ids.size(), row, rows_payloads, &done);
          } else {
            inserted = c.insert_batch(ids.data(), ids.size(), row, rows_payloads, &done);
          }
        })) {
      return nullptr;
    }
    if (!inserted && read_in_place && inserted.error().kind() == VectorError::Kind::CollectionError &&
        done == 0 && !check_float32_rows(in_place, "vectors", &ids)) {
      return nullptr;  // a non-finite component, named (none of the batch is inserted)
    }
    if (!inserted && bulk) {
      raise_engine_error(inserted.error());
      reword_error("", done == ids.size() ? " (the batch is inserted, but forcing it to disk failed)"
                                          : " (none of the batch is inserted)");
      return nullptr;
    }
    if (!inserted) {
      // Rows before `done` stay inserted; name where the batch stopped.
      raise_engine_error(inserted.error());
      if (done < ids.size()) {
        reword_error("", " (the batch stopped at row " + std::to_string(done) + ", id " +
                             std::to_string(ids[done]) + "; the rows before it are inserted)");
      }
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* collection_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kNames[] = {"query", "k", "where", nullptr};
    PyObject* query_arg = nullptr;
    PyObject* k_arg = nullptr;
    PyObject* where_arg = Py_None;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O:search", const_cast<char**>(kNames),
                                    &query_arg, &k_arg, &where_arg) == 0) {
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

    Filter where;
    if (!to_filter(where_arg, &where)) return nullptr;

    Result<std::vector<SearchResult>> found = VectorError::collection("");
    if (!run_released(*cell, [&](PersistentCollection& c) {
          found = c.search(query.data(), query.size(), k,
                           where.matches_everything() ? nullptr : &where);
        })) {
      return nullptr;
    }
    if (!found) return raise_engine_error(found.error());
    return results_to_list(*found);
  });
}

bool to_thread_count(PyObject* o, const char* name, std::size_t* out);

PyObject* collection_search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kNames[] = {"queries", "k", "where", "threads", nullptr};
    PyObject* queries_arg = nullptr;
    PyObject* k_arg = nullptr;
    PyObject* where_arg = Py_None;
    PyObject* threads_arg = Py_None;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OO:search_batch",
                                    const_cast<char**>(kNames), &queries_arg, &k_arg,
                                    &where_arg, &threads_arg) == 0) {
      return nullptr;
    }
    std::size_t threads = as_object(self)->search_threads;
    if (threads_arg != Py_None && !to_thread_count(threads_arg, "threads", &threads)) return nullptr;
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

    Filter where;
    if (!to_filter(where_arg, &where)) return nullptr;

    Result<std::vector<std::vector<SearchResult>>> found = VectorError::collection("");
    if (!run_released(*cell, [&](PersistentCollection& c) {
          found = c.search_batch(queries.data.data(), queries.count(), k,
                                 where.matches_everything() ? nullptr : &where, threads);
        })) {
      return nullptr;
    }
    if (!found) return raise_engine_error(found.error());
    return batch_results_to_list(*found);
  });
}

PyObject* collection_flush(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    CollectionCell* cell = writable_cell(self);
    if (cell == nullptr) return nullptr;
    Status flushed;
    if (!run_released(*cell, [&](PersistentCollection& c) { flushed = c.flush(); })) {
      return nullptr;
    }
    if (!flushed) return raise_vector_error(PyExc_OSError, flushed.error());
    Py_RETURN_NONE;
  });
}

PyObject* collection_wait_for_bound_codes(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    CollectionCell* cell = open_cell(self);
    if (cell == nullptr) return nullptr;
    if (!run_released(*cell, [](PersistentCollection& c) { c.wait_for_bound_codes(); })) return nullptr;
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
        // Buffers written out, the log forced, the files closed and the
        // directory's lock released; closed even when that fails.
        closed = cell->collection->close();
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
// A thread count: an int of at least 1 (TypeError, ValueError naming `name`).
bool to_thread_count(PyObject* o, const char* name, std::size_t* out) {
  if (PyBool_Check(o) || !PyLong_Check(o)) {
    PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(o)));
    if (!type_name) return false;
    PyErr_Format(PyExc_TypeError, "%s must be an int or None, not %U", name, type_name.get());
    return false;
  }
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (n == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && n < 1)) {
    PyErr_Format(PyExc_ValueError, "%s must be at least 1, not %R", name, o);
    return false;
  }
  // More threads than the pool has are the pool's size.
  *out = overflow > 0 ? SIZE_MAX : static_cast<std::size_t>(n);
  return true;
}

PyObject* get_search_threads(PyObject* self, void*) {
  return PyLong_FromSize_t(as_object(self)->search_threads);
}
int set_search_threads(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "search_threads cannot be deleted");
    return -1;
  }
  std::size_t threads = 1;
  if (value != Py_None && !to_thread_count(value, "search_threads", &threads)) return -1;
  as_object(self)->search_threads = threads;
  return 0;
}

PyObject* get_read_only(PyObject* self, void*) {
  return PyBool_FromLong(as_object(self)->read_only ? 1 : 0);
}
PyObject* get_closed(PyObject* self, void*) {
  return PyBool_FromLong(as_object(self)->cell->closed.load() ? 1 : 0);
}
PyObject* get_reclaimable_bytes(PyObject* self, void*) {
  CollectionCell* cell = open_cell(self);
  if (cell == nullptr) return nullptr;
  Result<std::uint64_t> bytes = VectorError::collection("");
  if (!run_released(*cell, [&](PersistentCollection& c) { bytes = c.reclaimable_bytes(); })) {
    return nullptr;
  }
  if (!bytes) return raise_engine_error(bytes.error());
  return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(*bytes));
}

PyObject* get_bound_codes_bytes(PyObject* self, void*) {
  CollectionCell* cell = open_cell(self);
  if (cell == nullptr) return nullptr;
  std::size_t bytes = 0;
  if (!run_released(*cell, [&](PersistentCollection& c) { bytes = c.bound_codes_bytes(); })) return nullptr;
  return PyLong_FromSize_t(bytes);
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
    "be opened (or another open collection holds it).\n"
    "\n"
    "A large collection goes on loading after this returns: until it is loaded,\n"
    "search() without `where` reads the data file (the same results), and every\n"
    "other call waits for the load (raising its error, should it fail).";

constexpr const char kOpenDoc[] =
    "open(path, read_only=False)\n--\n\n"
    "Open the collection in directory `path` with its stored dimension and metric.\n"
    "FileNotFoundError when the directory holds none. read_only=True takes a shared\n"
    "lock (any number of readers, no writer) and never writes. A large collection\n"
    "goes on loading after this returns, as with open_or_create().";

constexpr const char kCreateDoc[] =
    "create(path, dimension, metric)\n--\n\n"
    "Create a new collection in directory `path` (made with its parents).\n"
    "FileExistsError when the directory already holds one.";

constexpr const char kGetDoc[] =
    "get($self, id)\n--\n\n"
    "The Record (id, vector, payload) of `id`, or None.";

constexpr const char kGetBatchDoc[] =
    "get_batch($self, ids)\n--\n\n"
    "get() of each id: a list of Record or None.";

constexpr const char kDeleteDoc[] =
    "delete($self, id)\n--\n\n"
    "Delete the record of `id`, as durably as an insert; whether it was present.";

constexpr const char kDeleteBatchDoc[] =
    "delete_batch($self, ids)\n--\n\n"
    "delete() of each id, in order; how many were present.";

constexpr const char kIdsDoc[] =
    "ids($self, where=None)\n--\n\n"
    "The ids of the records `where` matches (all when None), ascending.";

constexpr const char kCompactDoc[] =
    "compact($self, /)\n--\n\n"
    "Rewrite the data file with only the live records; a CompactStats\n"
    "(bytes_before, bytes_after, records_dropped).";

constexpr const char kInsertDoc[] =
    "insert($self, id, vector, payload=None)\n--\n\n"
    "Insert `vector` under `id` with `payload` (a dict), replacing the record\n"
    "the id already has. Every argument is checked before anything is written.";

constexpr const char kInsertBatchCoreDoc[] =
    "insert_batch($self, ids, vectors, payloads=None)\n--\n\n"
    "Insert each vector under its id with its payload, in order (a sequence of\n"
    "vectors or a 2-D float array). Every row is checked before anything is written.";

constexpr const char kSearchCoreDoc[] =
    "search($self, query, k, *, where=None)\n--\n\n"
    "The k nearest records that `where` matches, as (id, distance) tuples,\n"
    "nearest first.";

constexpr const char kSearchBatchCoreDoc[] =
    "search_batch($self, queries, k, *, where=None, threads=None)\n--\n\n"
    "search() for each query (a sequence of vectors or a 2-D float array).\n"
    "threads: the queries are split over that many of the engine's threads\n"
    "(None: search_threads); the results do not depend on it.";

constexpr const char kFlushDoc[] =
    "flush($self, /)\n--\n\n"
    "The checkpoint: the data file forced to disk, the log emptied.";

constexpr const char kWaitForBoundCodesDoc[] =
    "wait_for_bound_codes($self, /)\n--\n\n"
    "Wait until the bound codes built after open are in use (see bound_codes_bytes).\n"
    "Until then search() scans every vector, with the same results; returns at once\n"
    "when no build is running.";

constexpr const char kCloseDoc[] =
    "close($self, /)\n--\n\n"
    "Make everything durable, close the files and release the directory.\n"
    "Idempotent; any other call afterwards raises ValueError.";

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"open_or_create", with_keywords<collection_open_or_create>(), kKeywords | METH_STATIC,
     kOpenOrCreateDoc},
    {"open", with_keywords<collection_open>(), kKeywords | METH_STATIC, kOpenDoc},
    {"create", with_keywords<collection_create>(), kKeywords | METH_STATIC, kCreateDoc},
    {"insert", with_keywords<collection_insert>(), kKeywords, kInsertDoc},
    {"insert_batch", with_keywords<collection_insert_batch>(), kKeywords, kInsertBatchCoreDoc},
    {"search", with_keywords<collection_search>(), kKeywords, kSearchCoreDoc},
    {"search_batch", with_keywords<collection_search_batch>(), kKeywords, kSearchBatchCoreDoc},
    {"get", with_keywords<collection_get>(), kKeywords, kGetDoc},
    {"get_batch", with_keywords<collection_get_batch>(), kKeywords, kGetBatchDoc},
    {"delete", with_keywords<collection_delete>(), kKeywords, kDeleteDoc},
    {"delete_batch", with_keywords<collection_delete_batch>(), kKeywords, kDeleteBatchDoc},
    {"ids", with_keywords<collection_ids>(), kKeywords, kIdsDoc},
    {"compact", collection_compact, METH_NOARGS, kCompactDoc},
    {"flush", collection_flush, METH_NOARGS, kFlushDoc},
    {"wait_for_bound_codes", collection_wait_for_bound_codes, METH_NOARGS, kWaitForBoundCodesDoc},
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
    {"read_only", get_read_only, nullptr, "Whether opened with read_only=True.", nullptr},
    {"search_threads", get_search_threads, set_search_threads,
     "Threads of search_batch when its threads argument is None: 1 unless set\n"
     "(None sets 1). A count above the machine's hardware threads uses them all.",
     nullptr},
    {"reclaimable_bytes", get_reclaimable_bytes, nullptr,
     "Bytes of the data file that compact() would remove (deleted and replaced records).",
     nullptr},
    {"bound_codes_bytes", get_bound_codes_bytes, nullptr,
     "Bytes of memory held by the compact codes that let search() compute few exact\n"
     "distances; 0 below the size from which they are kept, and while they are built\n"
     "after open (see wait_for_bound_codes).",
     nullptr},
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
    {Py_sq_contains, reinterpret_cast<void*>(collection_contains)},
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
