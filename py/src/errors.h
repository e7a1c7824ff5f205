// Turning failures into Python exceptions.
//
// Every entry point of the module (tp_new, every method) runs its body
// through `guarded`, so that no C++ exception ever unwinds into the
// interpreter: running out of memory becomes MemoryError and any other
// exception RuntimeError "internal error: {what}". Engine, storage and
// collection code never throw; what can throw here is the standard library
// (allocation) in the module's own conversions.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "engine/support/error.h"
#include "py/src/python.h"

namespace velmoradb::py {

// Raises `type` (ValueError, OSError) with the error's message as its one
// argument, so str(exception) is exactly the message. Returns null.
PyObject* raise_vector_error(PyObject* type, const VectorError& error);

// Raises RuntimeError "internal error: " + what.
void raise_internal_error(const char* what);

template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_error(e.what());
  } catch (...) {
    raise_internal_error("unknown exception");
  }
  return nullptr;
}

}  // namespace velmoradb::py
