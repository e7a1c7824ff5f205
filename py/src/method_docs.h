// Method documentation shared by Index and Collection, and the cast that
// puts a keywords-taking function into a method table.
//
// A method's documentation starts with its text signature line, then "--"
// and an empty line; the interpreter serves the first part as
// __text_signature__ and the rest as __doc__.
#pragma once

#include "py/src/python.h"

namespace velmoradb::py {

inline constexpr char kInsertBatchDoc[] =
    "insert_batch($self, ids, vectors)\n--\n\n"
    "Insert multiple vectors at once.\n"
    "\n"
    "Args:\n"
    "    ids (list[int]): List of unique identifiers.\n"
    "    vectors (list[list[float]]): List of vectors.";

inline constexpr char kSearchBatchDoc[] =
    "search_batch($self, queries, k)\n--\n\n"
    "Search for nearest neighbors for multiple queries.\n"
    "\n"
    "Args:\n"
    "    queries (list[list[float]]): List of query vectors.\n"
    "    k (int): Number of neighbors per query.\n"
    "\n"
    "Returns:\n"
    "    list[list[tuple[int, float]]]: Results for each query.";

// METH_VARARGS | METH_KEYWORDS functions take a third argument that the
// PyCFunction type does not declare.
template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyCFunction with_keywords() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(F));
}

}  // namespace velmoradb::py
