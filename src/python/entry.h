// The call entry: argument binding, borrow flags, and the one place where engine
// errors and internal faults become Python exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>

#include "base/errors.h"
#include "base/fault.h"
#include "base/output_size.h"
#include "base/result.h"
#include "python/object.h"
#include "python/signature.h"

namespace tarnwick::python {

// The exception class of internal faults: derived from BaseException so that
// `except Exception` lets it through. Created on first use.
PyObject* panic_exception_type();

// Raises PanicException with `message` and writes the fault report to stderr. Takes the
// text where it lies: the report is made inside a handler that must not throw, which
// may run because memory ran out.
void raise_panic(const char* message, const char* file, unsigned line, unsigned column);

// After a call that ran out of memory: the blocks it gave back to the block cache as it
// unwound go to the system, and so do any kept before it, for whatever the caller does
// next (NumPy's arrays included).
void release_kept_memory() noexcept;

// Runs a body and maps whatever unwinds out of it. Returns the body's new reference,
// or NULL with a Python exception set.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const ErrorSet&) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) release_kept_memory();
    } catch (const base::Fault& f) {
        raise_panic(f.what(), f.where().file_name(), f.where().line(), f.where().column());
    } catch (const base::OutOfMemory& e) {
        release_kept_memory();
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
        release_kept_memory();
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what(), "<unknown>", 0, 0);
    } catch (...) {
        raise_panic("unknown internal fault", "<unknown>", 0, 0);
    }
    return nullptr;
}

// The same for entries that report through an int (setters, __len__).
template <class F>
int guarded_int(F&& body) noexcept {
    PyObject* marker = guarded([&]() -> PyObject* {
        body();
        return Py_None;  // borrowed: only tested against NULL
    });
    return marker == nullptr ? -1 : 0;
}

// Engine error values become ValueError carrying their message.
template <class E>
[[noreturn]] void raise_value_error(const E& e) {
    raise(PyExc_ValueError, e.message());
}

// Declared inline as a hint: left to itself the inliner keeps it out of line, and every
// call that succeeds passes its value through memory once more.
template <class T, class E>
inline T unwrap(base::Result<T, E>&& r) {
    if (!r.ok()) raise_value_error(r.error());
    return std::move(r).value();
}

template <class E>
void unwrap(base::Result<base::Unit, E>&& r) {
    if (!r.ok()) raise_value_error(r.error());
}

// ---------------------------------------------------------------------------
// Binding

// Binds a vectorcall argument vector; slots receive borrowed references (NULL = absent).
void bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** slots);
// Binds a tuple and an optional keyword dict (constructors).
void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// Rewrites a pending TypeError (exactly that type) as "argument '{name}': {message}",
// keeping its cause; other exceptions pass unchanged.
void prefix_argument_error(const char* name);

}  // namespace tarnwick::python
