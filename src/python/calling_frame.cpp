#include "python/calling_frame.hpp"

#include <algorithm>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>

#include "core/failure.hpp"
#include "python/arrays.hpp"
#include "python/compat.hpp"

namespace velmar::py {

namespace {

// Created on first need and kept for the life of the process; not a module attribute.
PyObject* internal_failure_type() {
    static PyObject* type = nullptr;
    if (type == nullptr)
        type = PyErr_NewExceptionWithDoc("velmar_backend.InternalFailure", nullptr, PyExc_BaseException, nullptr);
    return type;
}

void raise_internal_failure(const std::string& message, const std::source_location& where) {
    // A pending KeyboardInterrupt from the signal check is replaced, not chained.
    PyErr_Clear();
    std::fprintf(stderr, "velmar_backend: internal failure: %s (%s:%u)\n", message.c_str(), where.file_name(),
                 static_cast<unsigned>(where.line()));
    std::fflush(stderr);
    PyObject* type = internal_failure_type();
    if (type == nullptr) return;
    Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
}

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += std::string("'") + names[i] + "'";
    }
    return out;
}

// Fills one slot per parameter (null when not given). False with TypeError set.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          std::vector<PyObject*>& slots) {
    const std::size_t n = sig.params.size();
    const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    slots.assign(n, nullptr);
    if (given > n) {
        const char* verb = given == 1 ? "was" : "were";
        if (sig.required == n)
            PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zu %s given", sig.name, n,
                         n == 1 ? "" : "s", given, verb);
        else
            PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zu %s given", sig.name,
                         sig.required, n, given, verb);
        return false;
    }
    for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];
    const Py_ssize_t n_kw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < n_kw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        std::size_t i = 0;
        while (i < n && PyUnicode_CompareWithASCIIString(key, sig.params[i].name) != 0) ++i;
        if (i == n) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
            return false;
        }
        if (slots[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name, sig.params[i].name);
            return false;
        }
        slots[i] = args[static_cast<Py_ssize_t>(given) + j];
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (slots[i] == nullptr) missing.push_back(sig.params[i].name);
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.name, missing.size(),
                     missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
        return false;
    }
    return true;
}

bool type_error_with_name(PyObject* o, const char* target) {
    Ref name = type_name(o);
    if (name) PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
    return false;
}

bool convert_text(PyObject* o, std::string_view& out) {
    if (!PyUnicode_Check(o)) return type_error_with_name(o, "PyString");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
    if (utf8 == nullptr) return false;
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

bool convert_text_list(PyObject* o, std::vector<std::string_view>& out, std::vector<Ref>& keep) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(o)) return type_error_with_name(o, "Sequence");
    // The reported length only reserves space, and only a little of it: a sequence may
    // claim any length and yield fewer items.
    constexpr Py_ssize_t most_reserved = 64;
    const Py_ssize_t hint = PySequence_Size(o);
    if (hint < 0)
        PyErr_Clear();
    else
        out.reserve(static_cast<std::size_t>(std::min(hint, most_reserved)));
    Ref it(PyObject_GetIter(o));
    if (!it) return false;
    while (Ref item{PyIter_Next(it.get())}) {
        std::string_view text;
        if (!convert_text(item.get(), text)) return false;
        out.push_back(text);
        keep.push_back(std::move(item));  // the UTF-8 buffer lives as long as the string
    }
    return !PyErr_Occurred();
}

bool convert_count(PyObject* o, std::uint64_t& out) {
    Ref index(PyNumber_Index(o));
    if (!index) return false;
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool convert_real(PyObject* o, std::optional<double>& out) {
    if (o == nullptr || o == Py_None) return true;
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool convert_flag(PyObject* o, std::optional<bool>& out) {
    if (o == nullptr || o == Py_None) return true;
    if (!PyBool_Check(o)) return type_error_with_name(o, "PyBool");
    out = (o == Py_True);
    return true;
}

bool convert_array(PyObject* o, ArgKind kind, Value& out, std::vector<Ref>& keep,
                   std::vector<BorrowedArray>& borrowed) {
    const int ndim = kind == ArgKind::array1 || kind == ArgKind::array1_or_none ? 1
                     : kind == ArgKind::array2                                  ? 2
                     : kind == ArgKind::array3                                  ? 3
                                                                                : -1;
    ViewN v;
    if (!borrow_array(o, ndim, v, keep, borrowed)) return false;
    switch (ndim) {
        case 1: {
            const View1 one = v.as_1d();
            if (kind == ArgKind::array1_or_none)
                out = std::optional<View1>(one);
            else
                out = one;
            return true;
        }
        case 2:
            out = v.as_2d();
            return true;
        case 3: {
            View3 three{v.data, {v.shape[0], v.shape[1], v.shape[2]}, {v.strides[0], v.strides[1], v.strides[2]}};
            out = three;
            return true;
        }
        default:
            out = std::move(v);
            return true;
    }
}

// Runs `converter` into a fresh value and stores it in `out` when it succeeds.
template <class T, class... Extra>
bool convert_into(bool (*converter)(PyObject*, T&, Extra&...), PyObject* o, Value& out, Extra&... extra) {
    T value{};
    if (!converter(o, value, extra...)) return false;
    out = std::move(value);
    return true;
}

bool convert(PyObject* o, ArgKind kind, Value& out, std::vector<Ref>& keep, std::vector<BorrowedArray>& borrowed) {
    switch (kind) {
        case ArgKind::text:
            return convert_into(&convert_text, o, out);
        case ArgKind::text_list:
            return convert_into(&convert_text_list, o, out, keep);
        case ArgKind::count:
            return convert_into(&convert_count, o, out);
        case ArgKind::flag:
            return convert_into(&convert_flag, o, out);
        case ArgKind::real:
            return convert_into(&convert_real, o, out);
        case ArgKind::array1_or_none:
            if (o == nullptr || o == Py_None) {
                out = std::optional<View1>();
                return true;
            }
            return convert_array(o, kind, out, keep, borrowed);
        default:
            return convert_array(o, kind, out, keep, borrowed);
    }
}

// A TypeError from a converter becomes "argument '<name>': <message>", keeping its cause.
void prefix_type_error(const char* param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    Ref raised(get_raised_exception());
    Ref text(PyObject_Str(raised.get()));
    if (!text) return;
    Ref message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!message) return;
    Ref replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    if (PyObject* cause = PyException_GetCause(raised.get())) PyException_SetCause(replacement.get(), cause);
    set_raised_exception(replacement.release());
}

}  // namespace

PyObject* call_with_frame(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                          PyObject* (*body)(const Arguments&)) {
    std::vector<PyObject*> slots;
    if (!bind(sig, args, nargsf, kwnames, slots)) return nullptr;
    try {
        Arguments bound;
        bound.values_.resize(sig.params.size());
        std::vector<BorrowedArray> borrowed;
        for (std::size_t i = 0; i < sig.params.size(); ++i) {
            const std::size_t before = borrowed.size();
            if (!convert(slots[i], sig.params[i].kind, bound.values_[i], bound.keep_, borrowed)) {
                prefix_type_error(sig.params[i].name);
                return nullptr;
            }
            for (std::size_t b = before; b < borrowed.size(); ++b) borrowed[b].param = sig.params[i].name;
        }
        // A later converter runs caller code (__index__, __len__, __iter__) that may have
        // resized or reshaped an array borrowed before it: its view would dangle.
        for (const BorrowedArray& b : borrowed)
            if (!still_as_borrowed(b))
                fail(std::string("argument '") + b.param + "' changed while the arguments were converted");
        return body(bound);
    } catch (const InternalFailure& f) {
        raise_internal_failure(f.message(), f.where());
    } catch (const std::bad_alloc&) {
        PyErr_Clear();
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked to hold more than it can: the same as running out of memory.
        PyErr_Clear();
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_failure(e.what(), std::source_location::current());
    }
    return nullptr;
}

PyObject* to_python(std::optional<double> value) {
    if (!value) Py_RETURN_NONE;
    return PyFloat_FromDouble(*value);
}

}  // namespace velmar::py

namespace velmar::py {
PyObject* internal_failure(const std::string& message, std::source_location where) {
    raise_internal_failure(message, where);
    return nullptr;
}
}  // namespace velmar::py
