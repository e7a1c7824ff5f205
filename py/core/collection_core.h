// velmoradb.Collection: the records API over one PersistentCollection.
#pragma once

#include "py/src/python.h"

namespace velmoradb::py {

// Borrowed reference, created on first request and kept for the process;
// null with an exception set when it could not be created.
PyObject* core_collection_type();

}  // namespace velmoradb::py
