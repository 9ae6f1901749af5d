#include "python/records.h"

namespace tarnwick::python {

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

PyTypeObject* create_type(const char* qualified_name, int basicsize, PyType_Slot* slots) {
    PyType_Spec spec{qualified_name, basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace tarnwick::python
