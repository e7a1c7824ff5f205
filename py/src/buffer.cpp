#include "py/src/buffer.h"

#include <bit>
#include <cstring>

namespace velmoradb::py {
namespace {

// The element size that `format` denotes, when it is a float32 or float64 in
// this host's byte order; 0 for anything else.
std::size_t float_format_size(const char* format) {
  if (format == nullptr) return 0;  // no format given means unsigned bytes
  const char* code = format;
  if (*code == '@' || *code == '=' ||
      (*code == '<' && std::endian::native == std::endian::little) ||
      ((*code == '>' || *code == '!') && std::endian::native == std::endian::big)) {
    ++code;
  }
  if (code[0] == '\0' || code[1] != '\0') return 0;
  if (code[0] == 'f') return 4;
  if (code[0] == 'd') return 8;
  return 0;
}

bool may_take_buffer(PyObject* o) {
  if (PyUnicode_Check(o) || PyList_Check(o) || PyTuple_Check(o)) return false;
  if ((PyType_GetFlags(Py_TYPE(o)) & Py_TPFLAGS_HEAPTYPE) != 0) return false;
  return PyObject_CheckBuffer(o) == 1 && PySequence_Check(o) == 1;
}

}  // namespace

bool FloatBuffer::acquire(PyObject* o, int ndim) {
  release();
  if (!may_take_buffer(o)) return false;
  if (PyObject_GetBuffer(o, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
    // Not contiguous, or the exporter refused: the generic path decides.
    PyErr_Clear();
    return false;
  }
  held_ = true;
  itemsize_ = float_format_size(view_.format);
  if (itemsize_ == 0 || static_cast<std::size_t>(view_.itemsize) != itemsize_ ||
      view_.ndim != ndim || view_.shape == nullptr) {
    release();
    return false;
  }
  rows_ = ndim == 2 ? static_cast<std::size_t>(view_.shape[0]) : 1;
  columns_ = static_cast<std::size_t>(view_.shape[ndim - 1]);
  return true;
}

void FloatBuffer::release() {
  if (held_) PyBuffer_Release(&view_);
  held_ = false;
  itemsize_ = rows_ = columns_ = 0;
}

void copy_as_float(const void* src, bool is_float32, std::size_t n, float* dst) {
  if (n == 0) return;
  if (is_float32) {
    std::memcpy(dst, src, n * sizeof(float));
    return;
  }
  // The buffer of an exporter need not be aligned for double.
  const auto* bytes = static_cast<const unsigned char*>(src);
  for (std::size_t i = 0; i < n; ++i) {
    double value;
    std::memcpy(&value, bytes + i * sizeof(double), sizeof(double));
    dst[i] = static_cast<float>(value);
  }
}

}  // namespace velmoradb::py
