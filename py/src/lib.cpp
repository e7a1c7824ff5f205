// PyInit__velmoradb: the module's one exported symbol.
//
// Single-phase initialisation, no module state and no functions: the
// module's surface is the classes it publishes, in __all__ order. The module
// may be initialised once per process; a second initialisation (after the
// module was dropped from sys.modules, or from a second interpreter) is
// refused, so that no interpreter ever sees another one's type objects.
#include "py/src/py_ref.h"
#include "py/src/types.h"

namespace velmoradb::py {
namespace {

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_velmoradb",
    "",  // __doc__ is the empty string, not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Filled by the first successful initialisation; holds its reference for
// the life of the process.
PyObject* g_module = nullptr;

// Appends `name` to the module's __all__ (made on first use), then sets the
// attribute.
bool publish(PyObject* module, const char* name, PyObject* type) {
  if (type == nullptr) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) != 0) return false;
  return PyObject_SetAttrString(module, name, type) == 0;
}

PyObject* init_module() {
  if (g_module != nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "_velmoradb may be initialised only once per interpreter process");
    return nullptr;
  }
  PyRef module = PyRef::steal(PyModule_Create2(&kModuleDef, PYTHON_ABI_VERSION));
  if (!module) return nullptr;
  if (!publish(module.get(), "Index", index_type())) return nullptr;
  if (!publish(module.get(), "Collection", collection_type())) return nullptr;
  g_module = PyRef::borrow(module.get()).release();
  return module.release();
}

}  // namespace
}  // namespace velmoradb::py

PyMODINIT_FUNC PyInit__velmoradb(void) { return velmoradb::py::init_module(); }
