#pragma once
// NumPy arrays in and out: read-only strided views of the caller's arrays, and new
// arrays that own a copy of the core's buffers.

#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "core/array.hpp"
#include "python/handle.hpp"

namespace velmar::py {

// Loads NumPy's function table. False with a Python error set on failure.
bool import_numpy();

// An array read in place, as it was when borrowed.
struct BorrowedArray {
    PyObject* array;
    const char* param = "";
    const void* data;
    std::vector<Py_ssize_t> shape;
    std::vector<Py_ssize_t> strides;
};

// A float64 ndarray of `ndim` dimensions (any number when ndim < 0) as a read-only view.
// On refusal returns false with a TypeError set (message without argument prefix).
// Arrays whose data is not aligned for doubles are read from an aligned copy kept in `keep`;
// arrays read in place are listed in `borrowed`.
bool borrow_array(PyObject* o, int ndim, ViewN& out, std::vector<Ref>& keep, std::vector<BorrowedArray>& borrowed);

// Whether a borrowed array still has the data, shape and strides it had when borrowed.
bool still_as_borrowed(const BorrowedArray& b);

PyObject* new_float_array(std::span<const double> values);
PyObject* new_uint_array(std::span<const std::uint64_t> values);
// rows x cols, C order, from a row-major buffer.
PyObject* new_float_matrix(std::size_t rows, std::size_t cols, const double* row_major);

}  // namespace velmar::py
