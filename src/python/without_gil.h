// The interpreter lock released for a scope and taken back however the scope ends, so
// that a fault carried out of the worker pool unwinds into code that may touch Python.
#pragma once

#include "python/object.h"

namespace tarnwick::python {

class WithoutGil {
public:
    WithoutGil() : state_(PyEval_SaveThread()) {}
    ~WithoutGil() { PyEval_RestoreThread(state_); }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace tarnwick::python
