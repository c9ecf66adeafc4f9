#define VELMAR_NUMPY_IMPORTER
#include "python/arrays.hpp"

#include <cstring>

#include "python/numpy_api.hpp"

namespace velmar::py {

bool import_numpy() {
    if (PyArray_API != nullptr) return true;
    return PyArray_ImportNumPyAPI() == 0;
}

Ref type_name(PyObject* o) { return Ref(PyType_GetName(Py_TYPE(o))); }

namespace {

bool aligned_for_doubles(PyArrayObject* a) {
    if (reinterpret_cast<std::uintptr_t>(PyArray_DATA(a)) % alignof(double) != 0) return false;
    for (int d = 0; d < PyArray_NDIM(a); ++d)
        if (PyArray_STRIDE(a, d) % static_cast<npy_intp>(sizeof(double)) != 0) return false;
    return true;
}

}  // namespace

namespace {

BorrowedArray snapshot(PyArrayObject* a) {
    const int nd = PyArray_NDIM(a);
    return {reinterpret_cast<PyObject*>(a), "", PyArray_DATA(a),
            std::vector<Py_ssize_t>(PyArray_DIMS(a), PyArray_DIMS(a) + nd),
            std::vector<Py_ssize_t>(PyArray_STRIDES(a), PyArray_STRIDES(a) + nd)};
}

}  // namespace

bool still_as_borrowed(const BorrowedArray& b) {
    const BorrowedArray now = snapshot(reinterpret_cast<PyArrayObject*>(b.array));
    return now.data == b.data && now.shape == b.shape && now.strides == b.strides;
}

bool borrow_array(PyObject* o, int ndim, ViewN& out, std::vector<Ref>& keep, std::vector<BorrowedArray>& borrowed) {
    if (!PyArray_Check(o)) {
        Ref name = type_name(o);
        if (!name) return false;
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyArray<T, D>'", name.get());
        return false;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (ndim >= 0 && PyArray_NDIM(a) != ndim) {
        PyErr_Format(PyExc_TypeError, "dimensionality mismatch:\n from=%d, to=%d", PyArray_NDIM(a), ndim);
        return false;
    }
    PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
    const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(a), float64);
    if (!equivalent) {
        Ref from(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(a))));
        Ref to(PyObject_Str(reinterpret_cast<PyObject*>(float64)));
        Py_DECREF(float64);
        if (!from || !to) return false;
        PyErr_Format(PyExc_TypeError, "type mismatch:\n from=%U, to=%U", from.get(), to.get());
        return false;
    }
    Py_DECREF(float64);
    if (!aligned_for_doubles(a)) {
        // Reading a double through a misaligned pointer is undefined behaviour: read a copy.
        Ref copy(PyArray_NewCopy(a, NPY_CORDER));
        if (!copy) return false;
        a = reinterpret_cast<PyArrayObject*>(copy.get());
        keep.push_back(std::move(copy));
    } else {
        borrowed.push_back(snapshot(a));
    }
    const int nd = PyArray_NDIM(a);
    out.data = static_cast<const double*>(PyArray_DATA(a));
    out.shape.resize(static_cast<std::size_t>(nd));
    out.strides.resize(static_cast<std::size_t>(nd));
    for (int d = 0; d < nd; ++d) {
        out.shape[static_cast<std::size_t>(d)] = static_cast<std::size_t>(PyArray_DIM(a, d));
        out.strides[static_cast<std::size_t>(d)] = PyArray_STRIDE(a, d) / static_cast<npy_intp>(sizeof(double));
    }
    return true;
}

namespace {

PyObject* new_vector(int type, std::size_t count, const void* data, std::size_t item) {
    npy_intp dims[1] = {static_cast<npy_intp>(count)};
    PyObject* arr = PyArray_SimpleNew(1, dims, type);
    if (arr != nullptr && count != 0)
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)), data, count * item);
    return arr;
}

}  // namespace

PyObject* new_float_array(std::span<const double> values) {
    return new_vector(NPY_DOUBLE, values.size(), values.data(), sizeof(double));
}

PyObject* new_uint_array(std::span<const std::uint64_t> values) {
    return new_vector(NPY_UINT64, values.size(), values.data(), sizeof(std::uint64_t));
}

PyObject* new_float_matrix(std::size_t rows, std::size_t cols, const double* row_major) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    PyObject* arr = PyArray_SimpleNew(2, dims, NPY_DOUBLE);
    if (arr != nullptr && rows * cols != 0)
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)), row_major, rows * cols * sizeof(double));
    return arr;
}

}  // namespace velmar::py
