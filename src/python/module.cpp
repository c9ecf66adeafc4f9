// Entry point of the velmar_backend extension module.

#include <Python.h>

#include "core/runtime/interrupt.hpp"
#include "python/arrays.hpp"
#include "python/functions.hpp"
#include "python/handle.hpp"
#include "python/result_types.hpp"

namespace velmar::py {

namespace {

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "velmar_backend", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
bool initialised = false;

// The interpreter's signal check: the interrupt hook, asked on the calling thread only.
bool interpreter_signal_pending() { return PyErr_CheckSignals() != 0; }

bool add_exported(PyObject* module, PyObject* all, const char* name, PyObject* value) {
    Ref key(PyUnicode_FromString(name));
    return key && PyObject_SetAttr(module, key.get(), value) == 0 && PyList_Append(all, key.get()) == 0;
}

bool populate(PyObject* module) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    Ref module_name(PyUnicode_FromString("velmar_backend"));
    if (!module_name) return false;
    for (PyMethodDef& def : module_functions()) {
        Ref fn(PyCMethod_New(&def, module, module_name.get(), nullptr));
        if (!fn || !add_exported(module, all.get(), def.ml_name, fn.get())) return false;
    }
    PyObject* results = results_type();
    return results != nullptr && add_exported(module, all.get(), "Results", results);
}

}  // namespace

}  // namespace velmar::py

PyMODINIT_FUNC PyInit_velmar_backend() {
    using namespace velmar::py;
    Ref module(PyModule_Create2(&definition, PYTHON_API_VERSION));
    if (!module) return nullptr;
    if (initialised) {
        PyErr_SetString(PyExc_ImportError, "velmar_backend may be initialised only once per interpreter process");
        return nullptr;
    }
    initialised = true;
    if (!import_numpy() || !populate(module.get())) return nullptr;
    velmar::install_interrupt_hook(&interpreter_signal_pending);
    return module.release();
}
