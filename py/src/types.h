// The two classes of the module, Index and Collection.
//
// Each type object is a heap type made from a PyType_Spec the first time it
// is requested (publishing it in the module, checking a method's receiver,
// creating an instance) and kept for the rest of the process. Created and
// read only with the interpreter lock held.
#pragma once

#include "py/src/python.h"

namespace velmoradb::py {

// Borrowed references; null with RuntimeError set when the type could not
// be created.
PyObject* index_type();
PyObject* collection_type();

// PyType_FromSpec, with a failure raised as RuntimeError "An error occurred
// while initializing class {name}" (the interpreter's error as its cause).
PyObject* create_class(PyType_Spec* spec, const char* name);

// The receiver of a method, or null with TypeError "'{type}' object cannot
// be converted to '{target}'" when it is not an instance of `type`.
// Method descriptors already check their receiver; this guards the cast.
bool check_receiver(PyObject* self, PyObject* type, const char* target);

// Frees an instance of a heap type: the memory through the type's own free
// slot, then the instance's reference to its type.
void free_instance(PyObject* self);

}  // namespace velmoradb::py
