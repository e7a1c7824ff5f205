#include "py/src/convert.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "py/src/buffer.h"
#include "py/src/py_ref.h"

namespace velmoradb::py {
namespace {

// A sequence's __len__ is only a hint and may lie; a list or tuple knows its
// length, anything else reserves at most this many elements up front.
constexpr std::size_t kMaxReserveHint = std::size_t{1} << 20;

bool to_f32(PyObject* o, float* out) {
  const double value = PyFloat_AsDouble(o);
  if (value == -1.0 && PyErr_Occurred() != nullptr) return false;
  *out = static_cast<float>(value);  // round to nearest; NaN and infinities pass
  return true;
}

bool cannot_convert(PyObject* o, const char* target) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(o)));
  if (!name) return false;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
  return false;
}

// The element count to reserve for sequence `o`, or 0. The sequence checks
// come first, as a conversion to a list of elements demands.
bool check_sequence(PyObject* o, std::size_t* hint) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (PySequence_Check(o) != 1) return cannot_convert(o, "Sequence");
  const Py_ssize_t length = PySequence_Size(o);
  if (length < 0) {
    PyErr_Clear();  // the length only sizes the reservation
    *hint = 0;
    return true;
  }
  *hint = static_cast<std::size_t>(length);
  if (!PyList_Check(o) && !PyTuple_Check(o)) *hint = std::min(*hint, kMaxReserveHint);
  return true;
}

// Calls convert(item) for each element of `o`, in iteration order, until one
// fails.
template <typename Convert>
bool for_each_item(PyObject* o, Convert&& convert) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(o));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!convert(item.get())) return false;
  }
  return PyErr_Occurred() == nullptr;
}

// Room for `extra` more floats, growing geometrically so that many small
// reservations stay linear in total.
void reserve_more(std::vector<float>* dst, std::size_t extra) {
  if (dst->capacity() - dst->size() >= extra) return;
  dst->reserve(std::max(dst->size() + extra, 2 * dst->capacity()));
}

bool is_float_aligned(const void* p) {
  return reinterpret_cast<std::uintptr_t>(p) % alignof(float) == 0;
}

void append_buffer(const FloatBuffer& buffer, std::vector<float>* dst) {
  const std::size_t old_size = dst->size();
  const std::size_t n = buffer.rows() * buffer.columns();
  dst->resize(old_size + n);
  copy_as_float(buffer.data(), buffer.is_float32(), n, dst->data() + old_size);
}

// Appends the floats of one vector to dst, element by element.
bool append_elements(PyObject* o, std::vector<float>* dst) {
  std::size_t hint = 0;
  if (!check_sequence(o, &hint)) return false;
  reserve_more(dst, hint);
  return for_each_item(o, [dst](PyObject* item) {
    float value;
    if (!to_f32(item, &value)) return false;
    dst->push_back(value);
    return true;
  });
}

// Appends the floats of one vector to dst: from a 1-D float buffer when the
// fast path applies, otherwise element by element.
bool append_floats(PyObject* o, std::vector<float>* dst) {
  FloatBuffer buffer;
  if (buffer.acquire(o, 1)) {
    append_buffer(buffer, dst);
    return true;
  }
  return append_elements(o, dst);
}

}  // namespace

std::vector<float> FloatVector::take() {
  if (data_ == storage_.data()) return std::move(storage_);
  return std::vector<float>(data_, data_ + size_);
}

void FloatVector::detach() {
  if (data_ == storage_.data()) return;
  storage_.assign(data_, data_ + size_);
  data_ = storage_.data();
  buffer_.release();
}

void FloatRows::detach() {
  if (data_ == storage_.data() || !starts_.empty()) return;
  storage_.assign(data_, data_ + count_ * width_);
  data_ = storage_.data();
  buffer_.release();
}

const float* FloatRows::row(std::size_t i) const {
  return starts_.empty() ? data_ + i * width_ : data_ + starts_[i];
}

std::size_t FloatRows::length(std::size_t i) const {
  return starts_.empty() ? width_ : starts_[i + 1] - starts_[i];
}

bool FloatRows::all_of_length(std::size_t width) const {
  if (starts_.empty()) return count_ == 0 || width_ == width;
  for (std::size_t i = 0; i < count_; ++i) {
    if (length(i) != width) return false;
  }
  return true;
}

bool to_u64(PyObject* o, std::uint64_t* out) {
  if (PyLong_Check(o)) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(o);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return false;
    *out = value;
    return true;
  }
  PyRef as_int = PyRef::steal(PyNumber_Index(o));
  if (!as_int) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(as_int.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return false;
  *out = value;
  return true;
}

bool to_size(PyObject* o, std::size_t* out) {
  std::uint64_t value = 0;
  if (!to_u64(o, &value)) return false;
  if (value > std::numeric_limits<std::size_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<std::size_t>(value);
  return true;
}

bool to_text(PyObject* o, std::string_view* out) {
  if (!PyUnicode_Check(o)) return cannot_convert(o, "PyString");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(o, &size);
  if (text == nullptr) return false;  // lone surrogates: the interpreter's UnicodeEncodeError
  *out = std::string_view(text, static_cast<std::size_t>(size));
  return true;
}

bool to_metric(std::string_view name, DistanceMetric* out) {
  if (name == "euclidean") {
    *out = DistanceMetric::Euclidean;
  } else if (name == "cosine") {
    *out = DistanceMetric::Cosine;
  } else if (name == "dot") {
    *out = DistanceMetric::DotProduct;
  } else {
    PyErr_SetString(PyExc_ValueError, "Invalid metric");
    return false;
  }
  return true;
}

bool to_u64_list(PyObject* o, std::vector<std::uint64_t>* out) {
  if (append_u64_buffer(o, out)) return true;
  std::size_t hint = 0;
  if (!check_sequence(o, &hint)) return false;
  out->reserve(hint);
  return for_each_item(o, [out](PyObject* item) {
    std::uint64_t value;
    if (!to_u64(item, &value)) return false;
    out->push_back(value);
    return true;
  });
}

bool to_float_vector(PyObject* o, FloatVector* out) {
  if (out->buffer_.acquire(o, 1)) {
    if (out->buffer_.is_float32() && is_float_aligned(out->buffer_.data())) {
      // Borrowed: no Python code runs while the vector is in use, so the
      // exporter's memory stays as it is.
      out->data_ = static_cast<const float*>(out->buffer_.data());
      out->size_ = out->buffer_.columns();
      return true;
    }
    append_buffer(out->buffer_, &out->storage_);
    out->buffer_.release();
  } else if (!append_elements(o, &out->storage_)) {
    return false;
  }
  out->data_ = out->storage_.data();
  out->size_ = out->storage_.size();
  return true;
}

bool to_float_rows(PyObject* o, FloatRows* out) {
  if (out->buffer_.acquire(o, 2)) {
    out->count_ = out->buffer_.rows();
    out->width_ = out->buffer_.columns();
    if (out->buffer_.is_float32() && is_float_aligned(out->buffer_.data())) {
      out->data_ = static_cast<const float*>(out->buffer_.data());
      return true;
    }
    append_buffer(out->buffer_, &out->storage_);
    out->buffer_.release();
    out->data_ = out->storage_.data();
    return true;
  }
  std::size_t hint = 0;
  if (!check_sequence(o, &hint)) return false;
  out->starts_.reserve(hint + 1);
  out->starts_.push_back(0);
  const bool ok = for_each_item(o, [out, hint](PyObject* item) {
    if (!append_floats(item, &out->storage_)) return false;
    if (out->starts_.size() == 1) {
      // Rows usually share the first row's length: room for all of them.
      const std::size_t first = out->storage_.size();
      if (hint > 1 && first > 0 && first <= kMaxReserveHint) {
        out->storage_.reserve(std::min(hint, kMaxReserveHint) * first);
      }
    }
    out->starts_.push_back(out->storage_.size());
    return true;
  });
  if (!ok) return false;
  out->count_ = out->starts_.size() - 1;
  out->data_ = out->storage_.data();
  return true;
}

PyObject* argument_error(const char* name) {
  if (PyErr_ExceptionMatches(PyExc_TypeError) == 0) return nullptr;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef first_type = PyRef::steal(type);
  PyRef first = PyRef::steal(value);
  PyRef first_traceback = PyRef::steal(traceback);
  if (first_traceback) PyException_SetTraceback(first.get(), first_traceback.get());

  PyRef first_text = PyRef::steal(PyObject_Str(first.get()));
  if (!first_text) return nullptr;
  PyRef text = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, first_text.get()));
  if (!text) return nullptr;
  PyRef error =
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!error) return nullptr;
  if (PyObject* cause = PyException_GetCause(first.get())) {
    PyException_SetCause(error.get(), cause);  // steals the reference
  }
  PyException_SetContext(error.get(), first.release());  // steals the reference
  // Restore rather than SetObject: the context chosen above stays.
  PyErr_Restore(Py_NewRef(PyExc_TypeError), error.release(), nullptr);
  return nullptr;
}

}  // namespace velmoradb::py
