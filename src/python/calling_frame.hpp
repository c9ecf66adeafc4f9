#pragma once
// The calling frame: binds a fast call's arguments to parameters, converts them strictly
// in parameter order, runs the operation and turns core failures into Python exceptions.

#include <Python.h>

#include <cstdint>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/array.hpp"
#include "python/handle.hpp"
#include "python/signature.hpp"

namespace velmar::py {

// Converted arguments in parameter order; keeps alive whatever the views point into.
class Arguments {
public:
    template <class T>
    const T& get(std::size_t i) const {
        return std::get<T>(values_[i]);
    }

private:
    friend PyObject* call_with_frame(const Signature&, PyObject* const*, Py_ssize_t, PyObject*,
                                     PyObject* (*)(const Arguments&));
    std::vector<Value> values_;
    std::vector<Ref> keep_;
};

// Runs `body` with the bound and converted arguments. Core failures become the module's
// internal-failure exception, std::bad_alloc becomes MemoryError.
PyObject* call_with_frame(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                          PyObject* (*body)(const Arguments&));

// Result conversion helpers.
PyObject* to_python(std::optional<double> value);

}  // namespace velmar::py

namespace velmar::py {
// Raises the module's internal-failure exception (with its standard-error report) and
// returns null, for failures found outside an operation (attribute reads).
PyObject* internal_failure(const std::string& message, std::source_location where = std::source_location::current());
}  // namespace velmar::py
