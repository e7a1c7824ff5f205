// Conversion of Python arguments into engine values.
//
// Each to_* function returns false with a Python exception set when the
// object cannot be converted; the caller then hands the exception to
// argument_error, which puts the parameter's name on a TypeError.
//   - ids, dimension, k: an int is taken directly, anything else through the
//     index protocol (__index__); out of range is the interpreter's
//     OverflowError. A size beyond the platform's size type is OverflowError
//     "out of range integral type conversion attempted".
//   - text: a str (or subclass), else TypeError "'{type}' object cannot be
//     converted to 'PyString'"; taken as UTF-8.
//   - sequences: a str is refused with "Can't extract `str` to `Vec`"; the
//     object must pass the sequence check, else "'{type}' object cannot be
//     converted to 'Sequence'"; its length only sizes the reservation (an
//     error there is discarded); the elements come from iterating it.
//   - floats: the interpreter's float conversion (__float__, __index__), the
//     double rounded to the nearest float; NaN and infinities pass.
// Float vectors and rows take the buffer fast path of buffer.h where it
// applies; the result is the same either way.
//
// All functions run with the interpreter lock held and may run Python code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/kernels/metric.h"
#include "py/src/buffer.h"
#include "py/src/python.h"

namespace velmoradb::py {

// One converted vector or query: borrowed from a float32 buffer when one was
// offered, otherwise owned.
class FloatVector {
 public:
  const float* data() const { return data_; }
  std::size_t size() const { return size_; }
  // The floats as an owned vector: moved out when owned, copied otherwise.
  std::vector<float> take();
  // Copies borrowed floats into storage of its own and lets the buffer go:
  // needed before Python code runs that could write to the exporter.
  void detach();

 private:
  friend bool to_float_vector(PyObject* o, FloatVector* out);
  FloatBuffer buffer_;
  std::vector<float> storage_;
  const float* data_ = nullptr;
  std::size_t size_ = 0;
};

// Converted `vectors` or `queries`: rows stored one after the other, either
// all of one width (a 2-D buffer, possibly borrowed) or each with its own
// length.
class FloatRows {
 public:
  std::size_t count() const { return count_; }
  const float* row(std::size_t i) const;
  std::size_t length(std::size_t i) const;
  // All rows one after the other; with every row of `width` floats that is
  // a count() x width matrix.
  const float* data() const { return data_; }
  bool all_of_length(std::size_t width) const;
  // As FloatVector::detach.
  void detach();

 private:
  friend bool to_float_rows(PyObject* o, FloatRows* out);
  FloatBuffer buffer_;
  std::vector<float> storage_;
  std::vector<std::size_t> starts_;  // count_ + 1 offsets; empty for a 2-D buffer
  const float* data_ = nullptr;
  std::size_t count_ = 0;
  std::size_t width_ = 0;  // for a 2-D buffer
};

[[nodiscard]] bool to_u64(PyObject* o, std::uint64_t* out);
[[nodiscard]] bool to_size(PyObject* o, std::size_t* out);
// The view stays valid as long as `o` lives (the str caches its UTF-8 form).
[[nodiscard]] bool to_text(PyObject* o, std::string_view* out);
// "euclidean", "cosine" or "dot", byte for byte; else ValueError "Invalid metric".
[[nodiscard]] bool to_metric(std::string_view name, DistanceMetric* out);
[[nodiscard]] bool to_u64_list(PyObject* o, std::vector<std::uint64_t>* out);
// `out` must be freshly constructed.
[[nodiscard]] bool to_float_vector(PyObject* o, FloatVector* out);
[[nodiscard]] bool to_float_rows(PyObject* o, FloatRows* out);

// Takes the pending exception of a failed conversion of parameter `name`:
// a TypeError is replaced by TypeError "argument '{name}': " + its message,
// whose __cause__ is the first error's __cause__ (and whose __context__ is
// the first error); any other exception passes unchanged. Returns null so
// that callers can `return argument_error("id");`.
PyObject* argument_error(const char* name);

}  // namespace velmoradb::py
