// The Collection class: the Python face of one open PersistentCollection.
//
// Instances come only from the static open_or_create; calling the class
// raises TypeError. Methods follow Index (see index_type.cpp): receiver,
// binding, borrow, conversions, then the collection. The exception class
// follows the method, not the error kind: open_or_create and flush raise
// OSError, insert and insert_batch ValueError, whatever the VectorError.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "collection/collection.h"
#include "py/src/args.h"
#include "py/src/borrow.h"
#include "py/src/convert.h"
#include "py/src/errors.h"
#include "py/src/method_docs.h"
#include "py/src/results.h"
#include "py/src/search_methods.h"
#include "py/src/types.h"

namespace velmoradb::py {
namespace {

struct CollectionObject {
  PyObject_HEAD
  std::unique_ptr<PersistentCollection> collection;
  Py_ssize_t borrow;  // see borrow.h
};

CollectionObject* as_collection(PyObject* self) {
  return reinterpret_cast<CollectionObject*>(self);
}

PyObject* collection_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

void collection_dealloc(PyObject* self) {
  // The collection writes out both buffers and closes its files; no
  // checkpoint, no sync.
  as_collection(self)->collection.~unique_ptr();
  free_instance(self);
}

// The path is handed to the file system as a C string: an embedded NUL would
// silently name another path.
bool check_path(std::string_view path) {
  if (path.find('\0') == std::string_view::npos) return true;
  PyErr_SetString(PyExc_ValueError, "embedded null byte");
  return false;
}

PyObject* wrap_collection(std::unique_ptr<PersistentCollection> collection) {
  PyObject* type_object = collection_type();
  if (type_object == nullptr) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(type_object);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;  // the collection closes as it goes
  new (&as_collection(self)->collection) std::unique_ptr<PersistentCollection>(
      std::move(collection));
  as_collection(self)->borrow = 0;
  return self;
}

PyObject* collection_open_or_create(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kNames[] = {"path", "dimension", "metric"};
    PyRef arg[3];
    if (!bind_arguments("Collection.open_or_create()", kNames, args, kwargs, arg)) return nullptr;
    std::string_view path;
    if (!to_text(arg[0].get(), &path)) return argument_error("path");
    std::size_t dimension = 0;
    if (!to_size(arg[1].get(), &dimension)) return argument_error("dimension");
    std::string_view metric_name;
    if (!to_text(arg[2].get(), &metric_name)) return argument_error("metric");
    CollectionConfig config;
    config.dimension = dimension;
    if (!to_metric(metric_name, &config.metric)) return nullptr;  // before any file is touched
    config.wal_sync_policy = WalSyncPolicy::Batched;
    if (!check_path(path)) return nullptr;

    auto opened = PersistentCollection::open_or_create(std::string(path), config);
    if (!opened) return raise_vector_error(PyExc_OSError, opened.error());
    return wrap_collection(std::move(opened).value());
  });
}

PyObject* collection_insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!check_receiver(self, collection_type(), "Collection")) return nullptr;
    static constexpr const char* kNames[] = {"id", "vector"};
    PyRef arg[2];
    if (!bind_arguments("Collection.insert()", kNames, args, kwargs, arg)) return nullptr;
    ExclusiveBorrow borrow(as_collection(self)->borrow);
    if (!borrow) return nullptr;
    std::uint64_t id = 0;
    if (!to_u64(arg[0].get(), &id)) return argument_error("id");
    FloatVector vector;
    if (!to_float_vector(arg[1].get(), &vector)) return argument_error("vector");

    // The collection refuses a wrong length or a non-finite component before
    // it writes anything.
    Status inserted = as_collection(self)->collection->insert(id, vector.take());
    if (!inserted) return raise_vector_error(PyExc_ValueError, inserted.error());
    Py_RETURN_NONE;
  });
}

PyObject* collection_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!check_receiver(self, collection_type(), "Collection")) return nullptr;
    CollectionObject* object = as_collection(self);
    return search_call("Collection.search()", args, kwargs, object->borrow, *object->collection);
  });
}

PyObject* collection_flush(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!check_receiver(self, collection_type(), "Collection")) return nullptr;
    if (!bind_arguments("Collection.flush()", {}, args, kwargs, nullptr)) return nullptr;
    ExclusiveBorrow borrow(as_collection(self)->borrow);
    if (!borrow) return nullptr;

    Status flushed = as_collection(self)->collection->flush();
    if (!flushed) return raise_vector_error(PyExc_OSError, flushed.error());
    Py_RETURN_NONE;
  });
}

PyObject* collection_insert_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!check_receiver(self, collection_type(), "Collection")) return nullptr;
    static constexpr const char* kNames[] = {"ids", "vectors"};
    PyRef arg[2];
    if (!bind_arguments("Collection.insert_batch()", kNames, args, kwargs, arg)) return nullptr;
    ExclusiveBorrow borrow(as_collection(self)->borrow);
    if (!borrow) return nullptr;
    std::vector<std::uint64_t> ids;
    if (!to_u64_list(arg[0].get(), &ids)) return argument_error("ids");
    FloatRows vectors;
    if (!to_float_rows(arg[1].get(), &vectors)) return argument_error("vectors");
    if (ids.size() != vectors.count()) {
      PyErr_SetString(PyExc_ValueError, "ids and vectors must have the same length");
      return nullptr;
    }

    // Each pair is a complete insert of its own; those before a failing one
    // stay in the log, the data file and the index.
    Status inserted = as_collection(self)->collection->insert_batch(
        ids.data(), ids.size(), [&](std::size_t i) {
          return std::pair<const float*, std::size_t>(vectors.row(i), vectors.length(i));
        });
    if (!inserted) return raise_vector_error(PyExc_ValueError, inserted.error());
    Py_RETURN_NONE;
  });
}

PyObject* collection_search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!check_receiver(self, collection_type(), "Collection")) return nullptr;
    CollectionObject* object = as_collection(self);
    const PersistentCollection& collection = *object->collection;
    return search_batch_call("Collection.search_batch()", args, kwargs, object->borrow,
                             collection, collection.config().dimension);
  });
}

constexpr const char kCollectionDoc[] =
    "Persistent vector collection backed by disk storage.\n"
    "\n"
    "Stores vectors and metadata on disk with WAL (Write-Ahead Log) protection\n"
    "for durability. Supports crash recovery.";

constexpr const char kOpenOrCreateDoc[] =
    "open_or_create(path, dimension, metric)\n--\n\n"
    "Open an existing collection or create a new one.\n"
    "\n"
    "Args:\n"
    "    path (str): File system path for the collection.\n"
    "    dimension (int): Dimension of the vectors (must match existing).\n"
    "    metric (str): Distance metric (\"euclidean\", \"cosine\", \"dot\").";

constexpr const char kInsertDoc[] =
    "insert($self, id, vector)\n--\n\n"
    "Insert a vector into the collection.\n"
    "\n"
    "Args:\n"
    "    id (int): Unique identifier.\n"
    "    vector (list[float]): Vector data.";

constexpr const char kSearchDoc[] =
    "search($self, query, k)\n--\n\n"
    "Search for nearest neighbors.\n"
    "\n"
    "Args:\n"
    "    query (list[float]): Query vector.\n"
    "    k (int): Number of results.\n"
    "\n"
    "Returns:\n"
    "    list[tuple[int, float]]: List of (id, distance) tuples.";

constexpr const char kFlushDoc[] =
    "flush($self)\n--\n\n"
    "Flush all pending writes to disk (checkpoint).\n"
    "\n"
    "This ensures all data is durable and truncates the WAL.";

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kCollectionMethods[] = {
    {"open_or_create", with_keywords<collection_open_or_create>(), kKeywords | METH_STATIC,
     kOpenOrCreateDoc},
    {"insert", with_keywords<collection_insert>(), kKeywords, kInsertDoc},
    {"search", with_keywords<collection_search>(), kKeywords, kSearchDoc},
    {"flush", with_keywords<collection_flush>(), kKeywords, kFlushDoc},
    {"insert_batch", with_keywords<collection_insert_batch>(), kKeywords, kInsertBatchDoc},
    {"search_batch", with_keywords<collection_search_batch>(), kKeywords, kSearchBatchDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kCollectionSlots[] = {
    {Py_tp_doc, const_cast<char*>(kCollectionDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(collection_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(collection_new)},
    {Py_tp_methods, kCollectionMethods},
    {0, nullptr},
};

PyType_Spec kCollectionSpec = {
    "builtins.Collection", static_cast<int>(sizeof(CollectionObject)), 0, Py_TPFLAGS_DEFAULT,
    kCollectionSlots,
};

}  // namespace

PyObject* collection_type() {
  // Created once, on first request, and kept for the life of the process.
  static PyObject* type = nullptr;
  if (type == nullptr) type = create_class(&kCollectionSpec, "Collection");
  return type;
}

}  // namespace velmoradb::py
