// PyInit__core: the module velmoradb._core, the records API.
//
// Single-phase initialisation, once per process (as _velmoradb): the
// module publishes its classes, whose __module__ is 'velmoradb', the
// package that re-exports them.
#include "py/core/collection_core.h"
#include "py/core/collection_object.h"
#include "py/src/py_ref.h"

namespace velmoradb::py {
namespace {

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "velmoradb._core",
    "The records API of velmoradb: Collection (re-exported by the velmoradb package).",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;

PyObject* init_module() {
  if (g_module != nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "velmoradb._core may be initialised only once per interpreter process");
    return nullptr;
  }
  PyRef module = PyRef::steal(PyModule_Create2(&kModuleDef, PYTHON_ABI_VERSION));
  if (!module) return nullptr;
  PyObject* collection = core_collection_type();
  if (collection == nullptr) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "Collection", collection) != 0) return nullptr;
  if (!init_records(module.get())) return nullptr;
  PyRef all = PyRef::steal(Py_BuildValue("[sss]", "Collection", "CompactStats", "Record"));
  if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) != 0) return nullptr;
  g_module = PyRef::borrow(module.get()).release();
  return module.release();
}

}  // namespace
}  // namespace velmoradb::py

PyMODINIT_FUNC PyInit__core(void) { return velmoradb::py::init_module(); }
