#pragma once
// Owning reference to a Python object: released when the handle goes away.

#include <Python.h>

#include <utility>

namespace velmar::py {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (may be null).
    explicit Ref(PyObject* owned) : p_(owned) {}
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Name of an object's type as Python prints it in messages ("list", "int").
Ref type_name(PyObject* o);

}  // namespace velmar::py
