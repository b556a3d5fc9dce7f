#pragma once
// NumPy's C API with one shared function table for all translation units of
// the extension; module.cpp defines ORBELIN_NUMPY_IMPORT and imports it.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// The C API of the oldest NumPy the package runs with (numpy>=1.23), which has the memory handlers; left unset,
// the headers of NumPy 2.2 and older, the last for CPython 3.10, would offer only those of 1.21.
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL orbelin_ARRAY_API
#ifndef ORBELIN_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
