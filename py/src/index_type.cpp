// The Index class: the Python face of one in-memory VectorIndex.
//
// Each method reads top to bottom: check the receiver, bind the arguments,
// borrow the instance (before any conversion, since conversions may run
// Python code that calls back into it), convert, call the engine, convert
// the result. Every failure is an early `return nullptr` with the exception
// set; the borrow guard and the PyRefs let go on every path.
#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>
#include <vector>

#include "engine/index/vector_index.h"
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

struct IndexObject {
  PyObject_HEAD
  VectorIndex index;
  Py_ssize_t borrow;  // see borrow.h
};

IndexObject* as_index(PyObject* self) { return reinterpret_cast<IndexObject*>(self); }

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kNames[] = {"metric", "dimension"};
    PyRef arg[2];
    if (!bind_arguments("Index.__new__()", kNames, args, kwargs, arg)) return nullptr;
    std::string_view metric_name;
    if (!to_text(arg[0].get(), &metric_name)) return argument_error("metric");
    std::size_t dimension = 0;
    if (!to_size(arg[1].get(), &dimension)) return argument_error("dimension");
    DistanceMetric metric;
    if (!to_metric(metric_name, &metric)) return nullptr;

    // Built before the object exists, so the object never holds a
    // half-made index if this throws.
    VectorIndex index(metric, dimension);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_index(self)->index) VectorIndex(std::move(index));
    as_index(self)->borrow = 0;
    return self;
  });
}

void index_dealloc(PyObject* self) {
  as_index(self)->index.~VectorIndex();
  free_instance(self);
}

PyObject* index_insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!check_receiver(self, index_type(), "Index")) return nullptr;
    static constexpr const char* kNames[] = {"id", "vector"};
    PyRef arg[2];
    if (!bind_arguments("Index.insert()", kNames, args, kwargs, arg)) return nullptr;
    ExclusiveBorrow borrow(as_index(self)->borrow);
    if (!borrow) return nullptr;
    std::uint64_t id = 0;
    if (!to_u64(arg[0].get(), &id)) return argument_error("id");
    FloatVector vector;
    if (!to_float_vector(arg[1].get(), &vector)) return argument_error("vector");

    Status inserted = as_index(self)->index.insert(id, vector.data(), vector.size());
    if (!inserted) return raise_vector_error(PyExc_ValueError, inserted.error());
    Py_RETURN_NONE;
  });
}

PyObject* index_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!check_receiver(self, index_type(), "Index")) return nullptr;
    IndexObject* index = as_index(self);
    return search_call("Index.search()", args, kwargs, index->borrow, index->index);
  });
}

PyObject* index_insert_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!check_receiver(self, index_type(), "Index")) return nullptr;
    static constexpr const char* kNames[] = {"ids", "vectors"};
    PyRef arg[2];
    if (!bind_arguments("Index.insert_batch()", kNames, args, kwargs, arg)) return nullptr;
    ExclusiveBorrow borrow(as_index(self)->borrow);
    if (!borrow) return nullptr;
    // Everything is converted before the first insert, so a conversion
    // failure inserts nothing.
    std::vector<std::uint64_t> ids;
    if (!to_u64_list(arg[0].get(), &ids)) return argument_error("ids");
    FloatRows vectors;
    if (!to_float_rows(arg[1].get(), &vectors)) return argument_error("vectors");
    if (ids.size() != vectors.count()) {
      PyErr_SetString(PyExc_ValueError, "ids and vectors must have the same length");
      return nullptr;
    }

    VectorIndex& index = as_index(self)->index;
    // Room for the whole batch at once, but only when every row can go in:
    // rows of the wrong length must not make the index reserve memory.
    if (vectors.all_of_length(index.dimension())) {
      // One engine call: it reserves and writes whole rows of blocks at once.
      Status inserted = index.insert_batch(ids.data(), vectors.data(), ids.size());
      if (!inserted) return raise_vector_error(PyExc_ValueError, inserted.error());
      Py_RETURN_NONE;
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
      // The pairs before a failing one stay inserted.
      Status inserted = index.insert(ids[i], vectors.row(i), vectors.length(i));
      if (!inserted) return raise_vector_error(PyExc_ValueError, inserted.error());
    }
    Py_RETURN_NONE;
  });
}

PyObject* index_search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!check_receiver(self, index_type(), "Index")) return nullptr;
    IndexObject* index = as_index(self);
    return search_batch_call("Index.search_batch()", args, kwargs, index->borrow, index->index,
                             index->index.dimension());
  });
}

constexpr const char kIndexDoc[] =
    "Index(metric, dimension)\n--\n\n"
    "In-memory brute-force vector index.\n"
    "\n"
    "This index stores all vectors in memory and performs exhaustive search\n"
    "for exact nearest neighbors.";

constexpr const char kInsertDoc[] =
    "insert($self, id, vector)\n--\n\n"
    "Insert a vector into the index.\n"
    "\n"
    "Args:\n"
    "    id (int): Unique identifier for the vector.\n"
    "    vector (list[float]): The vector data.";

constexpr const char kSearchDoc[] =
    "search($self, query, k)\n--\n\n"
    "Search for nearest neighbors.\n"
    "\n"
    "Args:\n"
    "    query (list[float]): The query vector.\n"
    "    k (int): Number of neighbors to return.\n"
    "\n"
    "Returns:\n"
    "    list[tuple[int, float]]: List of (id, distance) tuples.";

PyMethodDef kIndexMethods[] = {
    {"insert", with_keywords<index_insert>(), METH_VARARGS | METH_KEYWORDS, kInsertDoc},
    {"search", with_keywords<index_search>(), METH_VARARGS | METH_KEYWORDS, kSearchDoc},
    {"insert_batch", with_keywords<index_insert_batch>(), METH_VARARGS | METH_KEYWORDS,
     kInsertBatchDoc},
    {"search_batch", with_keywords<index_search_batch>(), METH_VARARGS | METH_KEYWORDS,
     kSearchBatchDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kIndexSlots[] = {
    {Py_tp_doc, const_cast<char*>(kIndexDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_methods, kIndexMethods},
    {0, nullptr},
};

// The object memory comes from PyObject allocation, aligned for this.
static_assert(alignof(IndexObject) <= 16);

PyType_Spec kIndexSpec = {
    "builtins.Index", static_cast<int>(sizeof(IndexObject)), 0, Py_TPFLAGS_DEFAULT, kIndexSlots,
};

}  // namespace

PyObject* index_type() {
  // Created once, on first request, and kept for the life of the process.
  static PyObject* type = nullptr;
  if (type == nullptr) type = create_class(&kIndexSpec, "Index");
  return type;
}

}  // namespace velmoradb::py
