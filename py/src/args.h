// Argument binding for the methods and constructors of Index and Collection.
//
// Every parameter is required and positional-or-keyword; there are no
// defaults, no *args and no **kwargs. A failure raises TypeError with the
// interpreter's own wording, {f} being the full name such as "Index.insert()":
//   "{f} takes {n} positional arguments but {m} was/were given"
//   "{f} got an unexpected keyword argument '{k}'"
//   "{f} got multiple values for argument '{a}'"
//   "{f} missing {n} required positional argument(s): 'a', 'b', and 'c'"
// Checks run in that order: surplus positionals first, then the keywords in
// the order they were passed, then the missing names.
//
// Binding runs no Python code, so it happens before the receiver is borrowed.
#pragma once

#include <span>

#include "py/src/py_ref.h"

namespace velmoradb::py {

// Fills out[i] with a strong reference to the argument of names[i]; `out`
// holds names.size() empty PyRefs on entry. Returns false with TypeError set.
// `args` is the positional tuple, `kwargs` the keyword dict or null.
bool bind_arguments(const char* function, std::span<const char* const> names, PyObject* args,
                    PyObject* kwargs, PyRef* out);

}  // namespace velmoradb::py
