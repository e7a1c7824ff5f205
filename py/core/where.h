// The `where` argument: a dict in the filter language of docs/filters.md,
// compiled before any record is read.
#pragma once

#include "engine/filter/filter.h"
#include "py/src/python.h"

namespace velmoradb::py {

// None gives the filter that matches everything. A value that is not a dict
// is a TypeError; a dict the language refuses a ValueError whose message
// names the fault and its place ("unknown operator '$foo' at where['a']").
[[nodiscard]] bool to_filter(PyObject* where, Filter* out);

}  // namespace velmoradb::py
