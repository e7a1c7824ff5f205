// The buffer-protocol fast path of the float conversions.
//
// A vector or query offered as a C-contiguous float32 or float64 array
// (numpy.ndarray, memoryview, ...) is read straight from its memory instead
// of element by element through Python objects. The fast path must give
// exactly what the element-by-element path gives, values and errors alike,
// so it is taken only where the two cannot differ:
//   - the object is neither str, list nor tuple and passes the sequence check
//     (what the generic path demands before it iterates);
//   - its type is defined in C (not a heap type): a Python subclass may
//     override __iter__ or __len__ and then iterate to other values than its
//     buffer holds;
//   - the buffer is C-contiguous with the expected number of dimensions, and
//     its format is a native or little-endian 'f' or 'd' (on a little-endian
//     host), so each element read is the double or float that __float__ of
//     the element would return; rounding a double to float is the same
//     conversion as on the generic path.
// Anything else (0-d or 3-d arrays, other dtypes, strided views) goes the
// generic way and gets the generic errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "py/src/python.h"

namespace velmoradb::py {

// Owns one exported buffer; releases it on destruction. Not movable: some
// exporters may keep the address of the view.
class FloatBuffer {
 public:
  FloatBuffer() = default;
  ~FloatBuffer() { release(); }
  FloatBuffer(const FloatBuffer&) = delete;
  FloatBuffer& operator=(const FloatBuffer&) = delete;

  // Takes the buffer of `o` when the fast path applies (see above); false
  // with no exception set otherwise.
  bool acquire(PyObject* o, int ndim);
  void release();

  bool held() const { return held_; }
  bool is_float32() const { return itemsize_ == 4; }
  const void* data() const { return view_.buf; }
  // Rows and columns; a 1-D buffer is one row.
  std::size_t rows() const { return rows_; }
  std::size_t columns() const { return columns_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
  std::size_t itemsize_ = 0;
  std::size_t rows_ = 0;
  std::size_t columns_ = 0;
};

// Writes n floats of `src` (float32 or float64, as `is_float32` says) to dst,
// each double rounded to the nearest float.
void copy_as_float(const void* src, bool is_float32, std::size_t n, float* dst);

// The same fast path for a list of ids: a 1-D C-contiguous buffer of
// integers in this host's byte order (under the same conditions as above) is
// appended to `out` from its memory, each value as the element's __index__
// gives it. A negative value leaves the whole list to the generic path, which
// raises its error for it. False with `out` and the exception state as they
// were when not taken.
bool append_u64_buffer(PyObject* o, std::vector<std::uint64_t>* out);

}  // namespace velmoradb::py
