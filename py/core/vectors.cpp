#include "py/core/vectors.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "py/src/buffer.h"
#include "py/src/py_ref.h"

namespace velmoradb::py {
namespace {

std::string element_name(const std::string& name, std::size_t i) {
  return name + "[" + std::to_string(i) + "]";
}

// Appends `value` as a float, or raises ValueError naming the component.
bool append_component(double value, const std::string& name, std::size_t i,
                      std::vector<float>* out) {
  const float narrowed = static_cast<float>(value);
  if (std::isfinite(narrowed)) {
    out->push_back(narrowed);
    return true;
  }
  const std::string where = element_name(name, i);
  if (std::isnan(value)) {
    PyErr_Format(PyExc_ValueError, "%s is NaN", where.c_str());
  } else if (std::isinf(value)) {
    PyErr_Format(PyExc_ValueError, "%s is infinite", where.c_str());
  } else {
    PyRef number = PyRef::steal(PyFloat_FromDouble(value));
    if (!number) return false;
    PyRef text = PyRef::steal(PyObject_Repr(number.get()));
    if (!text) return false;
    PyErr_Format(PyExc_ValueError, "%s = %U is outside the float32 range", where.c_str(),
                 text.get());
  }
  return false;
}

// Raises the error of the non-finite component j of `buffer` (the value as
// the source holds it); *failed_row (when given) is its row.
bool report_component(const FloatBuffer& buffer, const std::string& name, bool rows, std::size_t j,
                      std::size_t* failed_row) {
  double value;
  if (buffer.is_float32()) {
    float f;
    std::memcpy(&f, static_cast<const unsigned char*>(buffer.data()) + j * sizeof(float), sizeof(float));
    value = f;
  } else {
    std::memcpy(&value, static_cast<const unsigned char*>(buffer.data()) + j * sizeof(double), sizeof(double));
  }
  std::vector<float> unused;
  const std::size_t column = j % buffer.columns();
  if (failed_row != nullptr) *failed_row = j / buffer.columns();
  const std::string row_name = rows ? element_name(name, j / buffer.columns()) : name;
  return append_component(value, row_name, column, &unused);
}

// On failure, *failed_row (when given) is the row of the bad component.
bool append_buffer_checked(const FloatBuffer& buffer, const std::string& name, bool rows,
                           std::vector<float>* out, std::size_t* failed_row = nullptr) {
  const std::size_t n = buffer.rows() * buffer.columns();
  const std::size_t start = out->size();
  out->resize(start + n);
  copy_as_float(buffer.data(), buffer.is_float32(), n, out->data() + start);
  for (std::size_t j = 0; j < n; ++j) {
    if (std::isfinite((*out)[start + j])) continue;
    // Found a bad one: name it from its source value.
    return report_component(buffer, name, rows, j, failed_row);
  }
  return true;
}

bool append_elements(PyObject* o, const std::string& name, std::vector<float>* out) {
  if (PyUnicode_Check(o) || PyBytes_Check(o) || PySequence_Check(o) != 1) {
    PyRef type = PyRef::steal(PyType_GetName(Py_TYPE(o)));
    if (!type) return false;
    PyErr_Format(PyExc_TypeError, "%s: expected a sequence of numbers, got %U", name.c_str(),
                 type.get());
    return false;
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(o));
  if (!iterator) return false;
  std::size_t i = 0;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    const double value = PyFloat_AsDouble(item.get());
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
      prefix_error(element_name(name, i));
      return false;
    }
    if (!append_component(value, name, i, out)) return false;
    ++i;
  }
  return PyErr_Occurred() == nullptr;
}

bool append_vector(PyObject* o, const std::string& name, std::vector<float>* out) {
  FloatBuffer buffer;
  if (buffer.acquire(o, 1)) return append_buffer_checked(buffer, name, false, out);
  return append_elements(o, name, out);
}

}  // namespace

void prefix_error(const std::string& where) { reword_error(where + ": ", ""); }

void reword_error(const std::string& prefix, const std::string& suffix) {
  if (PyErr_ExceptionMatches(PyExc_TypeError) == 0 &&
      PyErr_ExceptionMatches(PyExc_ValueError) == 0 &&
      PyErr_ExceptionMatches(PyExc_OverflowError) == 0) {
    return;
  }
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef first_type = PyRef::steal(type);
  PyRef first = PyRef::steal(value);
  PyRef first_traceback = PyRef::steal(traceback);
  PyRef text = PyRef::steal(PyObject_Str(first.get()));
  if (!text) return;
  // A subclass (UnicodeEncodeError...) has other constructor arguments: the
  // prefixed error is raised as its nearest plain base.
  PyObject* plain = PyErr_GivenExceptionMatches(first_type.get(), PyExc_TypeError)
                        ? PyExc_TypeError
                    : PyErr_GivenExceptionMatches(first_type.get(), PyExc_OverflowError)
                        ? PyExc_OverflowError
                        : PyExc_ValueError;
  PyErr_Format(plain, "%s%U%s", prefix.c_str(), text.get(), suffix.c_str());
}

bool check_length(const std::string& name, std::size_t n, std::size_t d) {
  if (n == d) return true;
  PyErr_Format(PyExc_ValueError, "%s has %zu components, the collection's dimension is %zu",
               name.c_str(), n, d);
  return false;
}

bool to_checked_vector(PyObject* o, const std::string& name, std::vector<float>* out) {
  return append_vector(o, name, out);
}

namespace {

void name_row_id(std::size_t row, const std::vector<std::uint64_t>* ids) {
  if (ids == nullptr || row >= ids->size()) return;
  reword_error("", " (id " + std::to_string((*ids)[row]) + ")");
}

}  // namespace

bool check_float32_rows(const FloatBuffer& buffer, const std::string& name,
                        const std::vector<std::uint64_t>* ids) {
  const std::size_t n = buffer.rows() * buffer.columns();
  const float* v = static_cast<const float*>(buffer.data());
  // A pass without an early exit (which compilers vectorise), a piece at a time.
  constexpr std::size_t kPiece = 4096;
  for (std::size_t at = 0; at < n; at += kPiece) {
    const std::size_t end = std::min(n, at + kPiece);
    bool any = false;
    for (std::size_t j = at; j < end; ++j) any |= !std::isfinite(v[j]);
    if (!any) continue;
    std::size_t j = at;
    while (std::isfinite(v[j])) ++j;
    std::size_t failed_row = 0;
    (void)report_component(buffer, name, true, j, &failed_row);
    name_row_id(failed_row, ids);
    return false;
  }
  return true;
}

bool to_checked_rows(PyObject* o, const std::string& name, FloatRowsCopy* out,
                     const std::vector<std::uint64_t>* ids) {
  FloatBuffer buffer;
  if (buffer.acquire(o, 2)) {
    std::size_t failed_row = 0;
    if (!append_buffer_checked(buffer, name, true, &out->data, &failed_row)) {
      name_row_id(failed_row, ids);
      return false;
    }
    for (std::size_t i = 0; i < buffer.rows(); ++i) {
      out->starts.push_back((i + 1) * buffer.columns());
    }
    return true;
  }
  if (PyUnicode_Check(o) || PyBytes_Check(o) || PySequence_Check(o) != 1) {
    PyRef type = PyRef::steal(PyType_GetName(Py_TYPE(o)));
    if (!type) return false;
    PyErr_Format(PyExc_TypeError, "%s: expected a sequence of vectors, got %U", name.c_str(),
                 type.get());
    return false;
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(o));
  if (!iterator) return false;
  std::size_t i = 0;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!append_vector(item.get(), element_name(name, i), &out->data)) {
      name_row_id(i, ids);
      return false;
    }
    out->starts.push_back(out->data.size());
    ++i;
  }
  return PyErr_Occurred() == nullptr;
}

}  // namespace velmoradb::py
