#include "py/src/args.h"

#include <string>
#include <vector>

namespace velmoradb::py {
namespace {

// 'a' / 'a' and 'b' / 'a', 'b', and 'c': the interpreter's list of names.
std::string quoted_names(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) text += ",";
      text += " ";
      if (i + 1 == names.size()) text += "and ";
    }
    text += "'";
    text += names[i];
    text += "'";
  }
  return text;
}

bool bind_keywords(const char* function, std::span<const char* const> names, PyObject* kwargs,
                   PyRef* out) {
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%s keywords must be strings", function);
      return false;
    }
    std::size_t slot = names.size();
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
        slot = i;
        break;
      }
    }
    if (slot == names.size()) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", function, key);
      return false;
    }
    if (out[slot]) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", function,
                   names[slot]);
      return false;
    }
    out[slot] = PyRef::borrow(value);
  }
  return true;
}

}  // namespace

bool bind_arguments(const char* function, std::span<const char* const> names, PyObject* args,
                    PyObject* kwargs, PyRef* out) {
  const Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
  if (given < 0) return false;
  const auto declared = static_cast<Py_ssize_t>(names.size());
  if (given > declared) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", function,
                 declared, given, given == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) out[i] = PyRef::borrow(PyTuple_GetItem(args, i));
  if (kwargs != nullptr && !bind_keywords(function, names, kwargs, out)) return false;

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!out[i]) missing.push_back(names[i]);
  }
  if (missing.empty()) return true;
  const std::string list = quoted_names(missing);
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", function,
               missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
  return false;
}

}  // namespace velmoradb::py
