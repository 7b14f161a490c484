// How failures reach Python: broken invariants become PanicException (after
// the message and its source location are written to standard error),
// allocations that cannot be satisfied become MemoryError.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>

#include "../kernels/support.hpp"

namespace zelmo::py {

// Thrown by frame code after it has set a Python error itself.
struct PythonError {};

// The PanicException type (a borrowed reference), created on first use and
// shared by every extension module of the package; null with a Python error
// set when it cannot be created.
PyObject* panic_type();

// Writes the panic to standard error and sets PanicException(message).
void raise_panic(const Panic& p);

// Sets the Python error that a caught C++ exception stands for: PanicException
// for Panic and any other exception, MemoryError for std::bad_alloc, nothing
// for PythonError (already set).
void raise_native(const std::exception_ptr& failure) noexcept;

}  // namespace zelmo::py
