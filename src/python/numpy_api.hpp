#pragma once
// NumPy's C API through its own headers. One translation unit (arrays.cpp) owns the
// function table; the others see it through the unique symbol.

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL velmar_backend_ARRAY_API
#ifndef VELMAR_NUMPY_IMPORTER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
