// The one place that includes Python.h, so every source of the module sees
// the same limited-API setting.
//
// Py_LIMITED_API 0x030B0000: the stable ABI of Python 3.11. One abi3 wheel
// then loads in every interpreter from 3.11 on, and 3.11 is the first version
// whose stable ABI offers the buffer protocol (PyObject_GetBuffer,
// PyBuffer_Release), which the float32/float64 fast path of the conversions
// needs.
#pragma once

#define PY_SSIZE_T_CLEAN
// The build (CMake's USE_SABI) may define the same version in another
// spelling; this definition is the one that counts.
#undef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#include <Python.h>
