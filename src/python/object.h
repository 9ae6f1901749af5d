// Owning handles for Python objects and the signal that a Python exception is set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

namespace tarnwick::python {

// Thrown in binding code after a Python exception has been set; the call entry returns
// NULL (or -1) and leaves the exception for the interpreter.
struct ErrorSet {};

[[noreturn]] inline void throw_error_set() { throw ErrorSet{}; }

// Sets `type` with `message` and unwinds to the call entry.
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw ErrorSet{};
}

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    // Takes a new reference from a C API call that returns NULL on error.
    static Ref check(PyObject* p) {
        if (p == nullptr) throw_error_set();
        return Ref(p);
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

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// The short type name of an object, as Python shows it ("float", "BacktestConfig").
std::string type_name(PyObject* o);

}  // namespace tarnwick::python
