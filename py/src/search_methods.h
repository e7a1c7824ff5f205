// The bodies of search(query, k) and search_batch(queries, k), shared by
// Index and Collection: bind, take a shared borrow, convert, search, build
// the result lists. The caller has checked the receiver; `engine` is its
// VectorIndex or PersistentCollection, `dimension` the length of a query.
#pragma once

#include <cstddef>

#include "py/src/args.h"
#include "py/src/borrow.h"
#include "py/src/convert.h"
#include "py/src/py_ref.h"
#include "py/src/results.h"

namespace velmoradb::py {

template <typename Engine>
PyObject* search_call(const char* function, PyObject* args, PyObject* kwargs,
                      Py_ssize_t& borrow_counter, const Engine& engine) {
  static constexpr const char* kNames[] = {"query", "k"};
  PyRef arg[2];
  if (!bind_arguments(function, kNames, args, kwargs, arg)) return nullptr;
  SharedBorrow borrow(borrow_counter);
  if (!borrow) return nullptr;
  FloatVector query;
  if (!to_float_vector(arg[0].get(), &query)) return argument_error("query");
  // An __index__ of k could write to the array the query borrows from.
  if (!PyLong_CheckExact(arg[1].get())) query.detach();
  std::size_t k = 0;
  if (!to_size(arg[1].get(), &k)) return argument_error("k");
  return results_to_list(engine.search(query.data(), query.size(), k));
}

template <typename Engine>
PyObject* search_batch_call(const char* function, PyObject* args, PyObject* kwargs,
                            Py_ssize_t& borrow_counter, const Engine& engine,
                            std::size_t dimension) {
  static constexpr const char* kNames[] = {"queries", "k"};
  PyRef arg[2];
  if (!bind_arguments(function, kNames, args, kwargs, arg)) return nullptr;
  SharedBorrow borrow(borrow_counter);
  if (!borrow) return nullptr;
  FloatRows queries;
  if (!to_float_rows(arg[0].get(), &queries)) return argument_error("queries");
  // An __index__ of k could write to the array the queries borrow from.
  if (!PyLong_CheckExact(arg[1].get())) queries.detach();
  std::size_t k = 0;
  if (!to_size(arg[1].get(), &k)) return argument_error("k");
  return batch_results_to_list(search_rows(engine, dimension, queries, k));
}

}  // namespace velmoradb::py
