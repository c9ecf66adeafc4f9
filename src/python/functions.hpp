#pragma once
// The module's functions, in registration order.

#include <Python.h>

#include <span>

namespace velmar::py {

std::span<PyMethodDef> module_functions();

}  // namespace velmar::py
