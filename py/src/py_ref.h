// PyRef: owns one strong reference to a Python object; move-only.
//
// Every PyObject* that a function of this module creates or takes a
// reference to lives in a PyRef, so that an early `return nullptr` on an
// error path can never leak it. The interpreter lock must be held whenever a
// PyRef is destroyed or reset.
#pragma once

#include "py/src/python.h"

#include <utility>

namespace velmoradb::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null: the call failed).
  static PyRef steal(PyObject* o) { return PyRef(o); }
  // Adds a reference of its own to a borrowed one.
  static PyRef borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }

  PyRef(PyRef&& o) noexcept : o_(std::exchange(o.o_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    PyRef old(std::exchange(o_, std::exchange(o.o_, nullptr)));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(o_); }

  PyObject* get() const { return o_; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(o_, nullptr); }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) : o_(o) {}
  PyObject* o_ = nullptr;
};

}  // namespace velmoradb::py
