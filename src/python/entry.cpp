#include "python/entry.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>

#include "base/block_cache.h"
#include "base/format.h"
#include "python/convert.h"

namespace tarnwick::python {

std::string type_name(PyObject* o) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(o)));
    if (!name) {
        PyErr_Clear();
        return Py_TYPE(o)->tp_name;
    }
    const char* s = PyUnicode_AsUTF8(name.get());
    if (s == nullptr) {
        PyErr_Clear();
        return Py_TYPE(o)->tp_name;
    }
    return s;
}

void refuse(PyObject* given, const char* expected) {
    raise(PyExc_TypeError, base::fmt::format("'{}' object cannot be converted to '{}'", type_name(given), expected));
}

void check_tuple(PyObject* o, std::size_t want) {
    if (!PyTuple_Check(o)) refuse(o, "PyTuple");
    const Py_ssize_t n = PyTuple_GET_SIZE(o);
    if (static_cast<std::size_t>(n) != want) {
        raise(PyExc_TypeError, base::fmt::format("expected tuple of length {}, but got tuple of length {}", want, n));
    }
}

std::int64_t index_to_i64(PyObject* o) {
    Ref idx = Ref::check(PyNumber_Index(o));
    const long long v = PyLong_AsLongLong(idx.get());
    if (v == -1 && PyErr_Occurred()) throw_error_set();
    return v;
}

std::uint64_t index_to_u64(PyObject* o) {
    Ref idx = Ref::check(PyNumber_Index(o));
    const unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error_set();
    return v;
}

PyObject* panic_exception_type() {
    // Lives for the life of the process, like the module's type objects.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("tarnwick_runtime.PanicException",
                                         "An internal invariant of the engine was broken.",
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_panic(const char* message, const char* file, unsigned line, unsigned column) {
    char thread[64] = {0};
    const bool is_main = getpid() == static_cast<pid_t>(syscall(SYS_gettid));
    if (is_main) {
        std::snprintf(thread, sizeof thread, "main");
    } else if (pthread_getname_np(pthread_self(), thread, sizeof thread) != 0 || thread[0] == '\0') {
        std::snprintf(thread, sizeof thread, "<unnamed>");
    }
    std::fprintf(stderr,
                 "\nthread '%s' (%ld) panicked at %s:%u:%u:\n%s\n"
                 "note: to get a backtrace, run the program under gdb and stop at the throw: "
                 "gdb -ex 'catch throw' -ex run --args python ...\n",
                 thread, static_cast<long>(syscall(SYS_gettid)), file, line, column, message);
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the creation error is already set
    PyErr_SetString(type, message);
}

void release_kept_memory() noexcept { base::block_cache::release(); }

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

[[noreturn]] void too_many_positional(const Signature& sig, std::size_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (sig.required == sig.count) {
        raise(PyExc_TypeError, base::fmt::format("{}() takes {} positional arguments but {} {} given", sig.display,
                                                 sig.count, given, verb));
    }
    raise(PyExc_TypeError, base::fmt::format("{}() takes from {} to {} positional arguments but {} {} given",
                                             sig.display, sig.required, sig.count, given, verb));
}

void place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** slots) {
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
            if (slots[i] != nullptr) {
                raise(PyExc_TypeError,
                      base::fmt::format("{}() got multiple values for argument '{}'", sig.display, sig.names[i]));
            }
            slots[i] = value;
            return;
        }
    }
    const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
    if (k == nullptr) {
        PyErr_Clear();
        k = "?";
    }
    raise(PyExc_TypeError, base::fmt::format("{}() got an unexpected keyword argument '{}'", sig.display, k));
}

void check_missing(const Signature& sig, PyObject** slots) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (slots[i] == nullptr) missing.push_back(sig.names[i]);
    }
    if (missing.empty()) return;
    raise(PyExc_TypeError, base::fmt::format("{}() missing {} required positional {}: {}", sig.display, missing.size(),
                                             missing.size() == 1 ? "argument" : "arguments", quoted_list(missing)));
}

}  // namespace

void bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** slots) {
    for (std::size_t i = 0; i < sig.count; ++i) slots[i] = nullptr;
    const auto npos = static_cast<std::size_t>(nargs);
    if (npos > sig.count) too_many_positional(sig, npos);
    for (std::size_t i = 0; i < npos; ++i) slots[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots);
        }
    }
    if (sig.required > 0) check_missing(sig, slots);
}

void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
    for (std::size_t i = 0; i < sig.count; ++i) slots[i] = nullptr;
    const auto npos = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if (npos > sig.count) too_many_positional(sig, npos);
    for (std::size_t i = 0; i < npos; ++i) slots[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, key, value, slots);
    }
    if (sig.required > 0) check_missing(sig, slots);
}

void prefix_argument_error(const char* name) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exc);
        return;
    }
    Ref old = Ref::steal(exc);
    Ref text = Ref::steal(PyObject_Str(old.get()));
    if (!text) return;
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    Ref fresh = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!fresh) return;
    if (PyObject* cause = PyException_GetCause(old.get())) PyException_SetCause(fresh.get(), cause);
    PyErr_SetRaisedException(fresh.release());
}

}  // namespace tarnwick::python
