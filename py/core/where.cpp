#include "py/core/where.h"

#include "py/core/json_convert.h"
#include "py/src/py_ref.h"

namespace velmoradb::py {

bool to_filter(PyObject* where, Filter* out) {
  if (where == nullptr || where == Py_None) {
    *out = Filter();
    return true;
  }
  if (!PyDict_Check(where)) {
    PyRef type = PyRef::steal(PyType_GetName(Py_TYPE(where)));
    if (!type) return false;
    PyErr_Format(PyExc_TypeError, "where: expected a dict, got %U", type.get());
    return false;
  }
  JsonValue value;
  if (!to_json_value(where, "where", &value)) return false;
  Result<Filter> compiled = Filter::compile(value);
  if (!compiled) {
    const std::string& text = compiled.error().text();
    PyRef message = PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return false;
  }
  *out = std::move(compiled).value();
  return true;
}

}  // namespace velmoradb::py
