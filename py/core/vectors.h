// Vectors and queries for velmoradb.Collection, checked the way the records
// API promises: every component a finite number inside the float32 range,
// each error a ValueError or TypeError that says which component and why:
//   "vector[2] is NaN", "query[0] is infinite",
//   "vectors[3][1] = 1e+39 is outside the float32 range".
// A vector is a sequence of numbers (each through __float__) or a 1-D
// C-contiguous float32/float64 buffer (numpy array); rows are a sequence of
// vectors or a 2-D such buffer. The floats are copied (but see
// check_float32_rows): the engine reads them with the interpreter lock
// released, when Python code could change the array they came from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "py/src/buffer.h"
#include "py/src/python.h"

namespace velmoradb::py {

// Rows one after the other in `data`; row i is [starts[i], starts[i+1]).
struct FloatRowsCopy {
  std::vector<float> data;
  std::vector<std::size_t> starts{0};

  std::size_t count() const { return starts.size() - 1; }
  const float* row(std::size_t i) const { return data.data() + starts[i]; }
  std::size_t length(std::size_t i) const { return starts[i + 1] - starts[i]; }
};

// `name` is how errors name the vector ("vector", "query").
[[nodiscard]] bool to_checked_vector(PyObject* o, const std::string& name,
                                     std::vector<float>* out);
// Rows are named name[i] ("vectors[3]"); with `ids`, a row's error ends with
// its id (" (id 17)") when the row has one.
[[nodiscard]] bool to_checked_rows(PyObject* o, const std::string& name, FloatRowsCopy* out,
                                   const std::vector<std::uint64_t>* ids = nullptr);

// The check of to_checked_rows without the copy, for a 2-D float32 buffer
// (FloatBuffer::acquire(o, 2)) whose rows the caller reads in place.
[[nodiscard]] bool check_float32_rows(const FloatBuffer& buffer, const std::string& name,
                                      const std::vector<std::uint64_t>* ids);

// Rewrites the message of the pending exception as prefix + message +
// suffix, keeping its type, when it is a TypeError, ValueError or
// OverflowError (a subclass of these becomes the plain class).
void reword_error(const std::string& prefix, const std::string& suffix);
// reword_error(where + ": ", "").
void prefix_error(const std::string& where);

// Raises ValueError "{name} has {n} components, the collection's dimension is {d}"
// unless n == d.
[[nodiscard]] bool check_length(const std::string& name, std::size_t n, std::size_t d);

}  // namespace velmoradb::py
