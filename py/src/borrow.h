// The borrow counter of an Index or Collection instance and its guards.
//
// Counter: 0 when free, -1 while one exclusive borrow is held, n > 0 while n
// shared borrows are held. Writers (insert, insert_batch, flush) take the
// exclusive borrow, readers (search, search_batch) a shared one. The
// interpreter lock is held throughout every call, so the counter needs no
// atomics; it exists because a conversion may run Python code (__index__,
// __float__, __iter__) that calls back into the same instance, and such a
// call must not see the instance half-changed. The receiver is therefore
// borrowed before its arguments are converted.
//
// A guard that failed to borrow has set RuntimeError ("Already borrowed" or
// "Already mutably borrowed") and tests false; a guard that succeeded gives
// the borrow back when it goes out of scope, on every path.
#pragma once

#include "py/src/python.h"

namespace velmoradb::py {

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(Py_ssize_t& counter) : counter_(&counter) {
    if (counter != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      counter_ = nullptr;
      return;
    }
    counter = -1;
  }
  ~ExclusiveBorrow() {
    if (counter_ != nullptr) *counter_ = 0;
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  explicit operator bool() const { return counter_ != nullptr; }

 private:
  Py_ssize_t* counter_;
};

class SharedBorrow {
 public:
  explicit SharedBorrow(Py_ssize_t& counter) : counter_(&counter) {
    if (counter == -1) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      counter_ = nullptr;
      return;
    }
    ++counter;
  }
  ~SharedBorrow() {
    if (counter_ != nullptr) --*counter_;
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  explicit operator bool() const { return counter_ != nullptr; }

 private:
  Py_ssize_t* counter_;
};

}  // namespace velmoradb::py
