#include "py/src/results.h"

#include "py/src/py_ref.h"

namespace velmoradb::py {
namespace {

PyObject* result_tuple(const SearchResult& result) {
  PyRef id = PyRef::steal(PyLong_FromUnsignedLongLong(result.id));
  if (!id) return nullptr;
  PyRef distance = PyRef::steal(PyFloat_FromDouble(static_cast<double>(result.distance)));
  if (!distance) return nullptr;
  PyRef pair = PyRef::steal(PyTuple_New(2));
  if (!pair) return nullptr;
  PyTuple_SetItem(pair.get(), 0, id.release());  // steals
  PyTuple_SetItem(pair.get(), 1, distance.release());
  return pair.release();
}

}  // namespace

PyObject* results_to_list(const std::vector<SearchResult>& results) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < results.size(); ++i) {
    PyObject* item = result_tuple(results[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
  }
  return list.release();
}

PyObject* batch_results_to_list(const std::vector<std::vector<SearchResult>>& batch) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(batch.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    PyObject* item = results_to_list(batch[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace velmoradb::py
