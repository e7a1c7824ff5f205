#include "py/src/types.h"

#include "py/src/py_ref.h"

namespace velmoradb::py {

PyObject* create_class(PyType_Spec* spec, const char* name) {
  PyObject* type = PyType_FromSpec(spec);
  if (type != nullptr) return type;
  PyObject* cause_type = nullptr;
  PyObject* cause = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&cause_type, &cause, &traceback);
  PyErr_NormalizeException(&cause_type, &cause, &traceback);
  Py_XDECREF(cause_type);
  Py_XDECREF(traceback);
  PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
  if (cause != nullptr) {
    PyObject* type_now = nullptr;
    PyObject* error = nullptr;
    PyObject* traceback_now = nullptr;
    PyErr_Fetch(&type_now, &error, &traceback_now);
    PyErr_NormalizeException(&type_now, &error, &traceback_now);
    PyException_SetCause(error, cause);  // steals `cause`
    PyErr_Restore(type_now, error, traceback_now);
  }
  return nullptr;
}

bool check_receiver(PyObject* self, PyObject* type, const char* target) {
  if (type == nullptr) return false;
  if (self != nullptr && PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
    return true;
  }
  PyObject* of = self != nullptr ? self : Py_None;
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(of)));
  if (!name) return false;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
  return false;
}

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_memory(self);
  Py_DECREF(type);  // every instance of a heap type holds a reference to it
}

}  // namespace velmoradb::py
