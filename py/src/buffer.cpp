#include "py/src/buffer.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace velmoradb::py {
namespace {

// The one type code of `format` when its elements are in this host's byte
// order ('@', '=' or the host's own '<' / '>' before it, or nothing); '\0'
// for anything else, and for no format (which means unsigned bytes).
char native_type_code(const char* format) {
  if (format == nullptr) return '\0';
  const char* code = format;
  if (*code == '@' || *code == '=' ||
      (*code == '<' && std::endian::native == std::endian::little) ||
      ((*code == '>' || *code == '!') && std::endian::native == std::endian::big)) {
    ++code;
  }
  return code[0] != '\0' && code[1] == '\0' ? code[0] : '\0';
}

// The element size that `format` denotes, when it is a float32 or float64 in
// this host's byte order; 0 for anything else.
std::size_t float_format_size(const char* format) {
  const char code = native_type_code(format);
  if (code == 'f') return 4;
  if (code == 'd') return 8;
  return 0;
}

// The element size and signedness of `format`, when it is an integer in this
// host's byte order; size 0 for anything else (bool '?' included: its
// elements are no integers to the generic path).
struct IntegerFormat {
  std::size_t size = 0;
  bool is_signed = false;
};

IntegerFormat integer_format(const char* format, Py_ssize_t itemsize) {
  const char code = native_type_code(format);
  if (code == '\0') return {};
  static constexpr std::string_view kSigned = "bhilqn", kUnsigned = "BHILQN";
  const bool is_signed = kSigned.find(code) != std::string_view::npos;
  if (!is_signed && kUnsigned.find(code) == std::string_view::npos) return {};
  // The size is the view's: 'l' is 8 bytes natively here and 4 with '<' or '='.
  if (itemsize != 1 && itemsize != 2 && itemsize != 4 && itemsize != 8) return {};
  return {static_cast<std::size_t>(itemsize), is_signed};
}

template <class T>
bool append_integers(const unsigned char* bytes, std::size_t n, std::vector<std::uint64_t>* out) {
  const std::size_t first = out->size();
  out->resize(first + n);
  std::uint64_t* dst = out->data() + first;
  bool negative = false;
  for (std::size_t i = 0; i < n; ++i) {
    T value;
    std::memcpy(&value, bytes + i * sizeof(T), sizeof(T));  // exporters need not align
    if constexpr (std::is_signed_v<T>) negative |= value < 0;
    dst[i] = static_cast<std::uint64_t>(value);
  }
  if (negative) out->resize(first);
  return !negative;
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

bool append_u64_buffer(PyObject* o, std::vector<std::uint64_t>* out) {
  if (!may_take_buffer(o)) return false;
  Py_buffer view{};
  if (PyObject_GetBuffer(o, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
    PyErr_Clear();
    return false;
  }
  const IntegerFormat format = integer_format(view.format, view.itemsize);
  bool taken = false;
  if (format.size != 0 && view.ndim == 1 && view.shape != nullptr) {
    const auto* bytes = static_cast<const unsigned char*>(view.buf);
    const auto n = static_cast<std::size_t>(view.shape[0]);
    switch (format.size) {
      case 1: taken = format.is_signed ? append_integers<std::int8_t>(bytes, n, out)
                                       : append_integers<std::uint8_t>(bytes, n, out); break;
      case 2: taken = format.is_signed ? append_integers<std::int16_t>(bytes, n, out)
                                       : append_integers<std::uint16_t>(bytes, n, out); break;
      case 4: taken = format.is_signed ? append_integers<std::int32_t>(bytes, n, out)
                                       : append_integers<std::uint32_t>(bytes, n, out); break;
      default: taken = format.is_signed ? append_integers<std::int64_t>(bytes, n, out)
                                        : append_integers<std::uint64_t>(bytes, n, out); break;
    }
  }
  PyBuffer_Release(&view);
  return taken;
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
