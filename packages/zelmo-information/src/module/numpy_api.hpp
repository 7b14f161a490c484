// The module's only contact with NumPy's C interface: the lazily loaded API
// table, the array checks and the views handed to the measures.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../kernels/support.hpp"

namespace zelmo::py {

// Loads the NumPy API table on first use. Throws Panic("Failed to access
// NumPy array API capsule: ...") when NumPy or its capsule is unavailable.
void ensure_numpy();

// NumPy's core module (numpy._core for NumPy 2, numpy.core before), as a
// borrowed reference; valid after ensure_numpy().
PyObject* numpy_core();

// True when `obj` is an ndarray (or subclass) with exactly `ndim` dimensions
// and a data type equivalent to float64. Never sets a Python error.
bool is_float64_array(PyObject* obj, int ndim);

// The contiguous read-only view of a one-dimensional float64 array: empty for
// an empty array, otherwise only for an aligned C- or F-contiguous array.
bool view_1d(PyObject* array, Span& out);

// The strided handle of a two-dimensional float64 array.
StridedMatrix view_2d(PyObject* array);

}  // namespace zelmo::py
