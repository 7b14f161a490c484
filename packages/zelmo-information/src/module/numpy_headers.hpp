// Included only by the translation units that read NumPy arrays. The API
// table is filled lazily from the _ARRAY_API capsule (numpy_api.cpp), never
// by import_array() at module import.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_22_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL zelmo_numpy_api
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>
