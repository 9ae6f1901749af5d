// Module start-up: one module object per process, filled with the constants and then the
// registration families in a fixed order, which is also the order of __all__.
#include <atomic>
#include <cstdint>

#include "python/entry.h"
#include "python/object.h"
#include "python/registration.h"

namespace tarnwick::python {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_tarnwick", "Python module entry point", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* module_cell = nullptr;                // the one module of this process
std::atomic<std::int64_t> first_interpreter{-1};  // the interpreter that imported it first

struct Constant {
    const char* name;
    double value;
    bool is_int;
    long long int_value;
};

constexpr Constant kConstants[] = {
    {"SESSION_NSE", 375.0, false, 0},
    {"SESSION_MCX", 870.0, false, 0},
    {"SESSION_CDS", 480.0, false, 0},
    {"SESSION_CONTINUOUS", 0.0, false, 0},
    {"IST_OFFSET_NS", 0.0, true, 19800000000000LL},
};

// Appends `name` to __all__ (created on first use), then sets the attribute.
void add(PyObject* module, PyObject* name, PyObject* value) {
    PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
    if (all == nullptr) {
        Ref fresh = Ref::check(PyList_New(0));
        if (PyModule_AddObjectRef(module, "__all__", fresh.get()) < 0) throw_error_set();
        all = fresh.get();
    }
    if (PyList_Append(all, name) < 0) throw_error_set();
    if (PyObject_SetAttr(module, name, value) < 0) throw_error_set();
}

void register_all(PyObject* module) {
    for (const Constant& c : kConstants) {
        Ref value = Ref::check(c.is_int ? PyLong_FromLongLong(c.int_value) : PyFloat_FromDouble(c.value));
        Ref name = Ref::check(PyUnicode_FromString(c.name));
        add(module, name.get(), value.get());
    }
    Ref modname = Ref::check(PyModule_GetNameObject(module));
    for (Registrations (*family)() : registration_families()) {
        for (const Registration& row : family()) {
            if (row.type != nullptr) {
                PyTypeObject* tp = row.type();
                if (tp == nullptr) throw_error_set();
                Ref name = Ref::check(PyType_GetName(tp));
                add(module, name.get(), reinterpret_cast<PyObject*>(tp));
            } else {
                Ref fn = Ref::check(PyCFunction_NewEx(row.function, module, modname.get()));
                Ref name = Ref::check(PyObject_GetAttrString(fn.get(), "__name__"));
                add(module, name.get(), fn.get());
            }
        }
    }
}

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) {
        if (!PyErr_Occurred()) raise(PyExc_SystemError, "attempted to fetch exception but none was set");
        throw_error_set();
    }
    std::int64_t expected = -1;
    if (!first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        raise(PyExc_ImportError,
              "_tarnwick cannot be imported from a sub-interpreter: it was already loaded by another "
              "interpreter of this process");
    }
    if (module_cell != nullptr) return Py_NewRef(module_cell);
    Ref module = Ref::check(PyModule_Create2(&module_def, 1013));
    register_all(module.get());
    if (module_cell == nullptr) module_cell = Py_NewRef(module.get());
    return Py_NewRef(module_cell);
}

}  // namespace
}  // namespace tarnwick::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__tarnwick() {
    return tarnwick::python::guarded([] { return tarnwick::python::init_module(); });
}
