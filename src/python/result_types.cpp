#include "python/result_types.hpp"

#include <cstdint>
#include <optional>
#include <vector>

#include "python/arrays.hpp"
#include "python/calling_frame.hpp"
#include "python/handle.hpp"

namespace velmar::py {

namespace {

template <class Record>
struct Object {
    PyObject_HEAD Record* record;
    unsigned long thread;
};

// Types report their module as "builtins"; naming it in the type name keeps newer
// interpreters from warning about a missing module.
template <class Record>
struct Traits;

template <>
struct Traits<Results> {
    static constexpr const char* name = "builtins.Results";
    static constexpr const char* sent =
        "velmar_backend::optimisers::Results is unsendable, but sent to another thread!";
};
template <>
struct Traits<Convergence> {
    static constexpr const char* name = "builtins.Convergence";
    static constexpr const char* sent = "velmar_backend::Convergence is unsendable, but sent to another thread!";
};
template <>
struct Traits<FinalResults> {
    static constexpr const char* name = "builtins.FinalResults";
    static constexpr const char* sent = "velmar_backend::FinalResults is unsendable, but sent to another thread!";
};

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

// An object collected on another thread still owns its record: release it normally.
template <class Record>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<Object<Record>*>(self)->record;
    type->tp_free(self);
    Py_DECREF(type);
}

// The record behind `self`, or null with the thread-binding failure raised.
template <class Record>
const Record* checked(PyObject* self) {
    auto* obj = reinterpret_cast<Object<Record>*>(self);
    if (obj->thread != PyThread_get_thread_ident()) {
        internal_failure(Traits<Record>::sent);
        return nullptr;
    }
    return obj->record;
}

PyObject* optional_floats(const std::optional<std::vector<double>>& list) {
    if (!list) Py_RETURN_NONE;
    return new_float_array(*list);
}

PyObject* optional_levels(const std::optional<std::vector<std::uint64_t>>& list) {
    if (!list) Py_RETURN_NONE;
    return new_uint_array(*list);
}

// Getter built from a function of the record.
template <class Record, auto Field>
PyObject* getter(PyObject* self, void*) {
    const Record* r = checked<Record>(self);
    if (r == nullptr) return nullptr;
    try {
        return Field(*r);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

template <class Record, auto Field>
constexpr PyGetSetDef attribute(const char* name) {
    return {name, &getter<Record, Field>, nullptr, nullptr, nullptr};
}

PyObject* commitments_dict(const FinalResults& r) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, levels] : r.commitments) {
        Ref k(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
        Ref v(new_uint_array(levels));
        if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyGetSetDef results_getters[] = {
    attribute<Results, [](const Results& r) { return PyLong_FromUnsignedLongLong(r.n_iter); }>("n_iter"),
    attribute<Results, [](const Results& r) { return PyFloat_FromDouble(r.minimum); }>("minimum"),
    attribute<Results, [](const Results& r) { return wrap(Convergence(r.convergence)); }>("convergence"),
    attribute<Results, [](const Results& r) { return new_uint_array(r.argmin); }>("argmin"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef convergence_getters[] = {
    attribute<Convergence, [](const Convergence& c) { return optional_floats(c.underutilisation_cost); }>(
        "underutilisation_cost"),
    attribute<Convergence, [](const Convergence& c) { return optional_floats(c.costs); }>("costs"),
    attribute<Convergence, [](const Convergence& c) { return optional_floats(c.coverages); }>("coverages"),
    attribute<Convergence, [](const Convergence& c) { return optional_floats(c.discounts); }>("discounts"),
    attribute<Convergence, [](const Convergence& c) { return optional_floats(c.speeds); }>("speeds"),
    attribute<Convergence, [](const Convergence& c) { return optional_levels(c.choices); }>("choices"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef final_results_getters[] = {
    attribute<FinalResults, [](const FinalResults& r) { return PyLong_FromUnsignedLongLong(r.n_iter); }>("n_iter"),
    attribute<FinalResults, [](const FinalResults& r) { return PyFloat_FromDouble(r.minimum); }>("minimum"),
    attribute<FinalResults, [](const FinalResults& r) { return PyFloat_FromDouble(r.coverage); }>("coverage"),
    attribute<FinalResults, [](const FinalResults& r) { return PyFloat_FromDouble(r.underutilization_cost); }>(
        "underutilization_cost"),
    attribute<FinalResults, [](const FinalResults& r) { return to_python(r.step_size); }>("step_size"),
    attribute<FinalResults, [](const FinalResults& r) { return wrap(Convergence(r.convergence)); }>("convergence"),
    attribute<FinalResults, &commitments_dict>("commitments"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class Record>
PyObject* make_type(PyGetSetDef* getters) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Record>)},
        {Py_tp_getset, getters},
        {0, nullptr},
    };
    // Immutable: neither attributes nor __new__ can be replaced to make objects without a record.
    PyType_Spec spec = {Traits<Record>::name, sizeof(Object<Record>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                        slots};
    return PyType_FromSpec(&spec);
}

template <class Record>
PyObject* type_of(PyGetSetDef* getters) {
    static PyObject* type = nullptr;
    if (type == nullptr) type = make_type<Record>(getters);
    return type;
}

template <class Record>
PyObject* wrap_record(Record&& record, PyGetSetDef* getters) {
    auto* type = reinterpret_cast<PyTypeObject*>(type_of<Record>(getters));
    if (type == nullptr) return nullptr;
    PyObject* self = PyType_GenericAlloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* obj = reinterpret_cast<Object<Record>*>(self);
    obj->thread = PyThread_get_thread_ident();
    try {
        obj->record = new Record(std::move(record));
    } catch (const std::bad_alloc&) {
        obj->record = nullptr;
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

}  // namespace

PyObject* results_type() { return type_of<Results>(results_getters); }

PyObject* wrap(Results&& record) { return wrap_record(std::move(record), results_getters); }
PyObject* wrap(Convergence&& record) { return wrap_record(std::move(record), convergence_getters); }
PyObject* wrap(FinalResults&& record) { return wrap_record(std::move(record), final_results_getters); }

}  // namespace velmar::py
