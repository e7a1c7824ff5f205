#include "py/src/errors.h"

#include "py/src/py_ref.h"

namespace velmoradb::py {
namespace {

// Messages carry system descriptions and paths; whatever bytes they hold,
// the exception must still be raised, so undecodable bytes are replaced.
void raise_text(PyObject* type, const std::string& text) {
  PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return;  // MemoryError is set
  PyErr_SetObject(type, message.get());
}

}  // namespace

PyObject* raise_vector_error(PyObject* type, const VectorError& error) {
  raise_text(type, error.message());
  return nullptr;
}

void raise_internal_error(const char* what) {
  // An exception the body set before it threw is replaced: the caller must
  // see the internal error. PyErr_Format allocates nothing on the C++ side,
  // so nothing can throw from inside the catch handler of `guarded`.
  PyErr_Clear();
  PyErr_Format(PyExc_RuntimeError, "internal error: %s", what);
}

}  // namespace velmoradb::py
