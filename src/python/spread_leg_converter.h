// The spread leg tuple, for every binding that takes leg descriptions.
#pragma once

#include <string>

#include "base/format.h"
#include "python/annotation.h"
#include "python/convert.h"
#include "runners/batch_items.h"

namespace tarnwick::python {

// A spread leg is a Python 4-tuple (option type, strike, quantity, lot size).
template <>
struct Converter<runners::SpreadLegInput> {
    static runners::SpreadLegInput from(PyObject* o) {
        if (!PyTuple_Check(o)) refuse(o, "PyTuple");
        const Py_ssize_t n = PyTuple_GET_SIZE(o);
        if (n != 4)
            raise(PyExc_TypeError, base::fmt::format("expected tuple of length 4, but got tuple of length {}", n));
        runners::SpreadLegInput leg;
        leg.option_type = from_py<std::string>(PyTuple_GET_ITEM(o, 0));
        leg.strike = from_py<double>(PyTuple_GET_ITEM(o, 1));
        leg.quantity = from_py<std::int32_t>(PyTuple_GET_ITEM(o, 2));
        leg.lot_size = from_py<std::uint64_t>(PyTuple_GET_ITEM(o, 3));
        return leg;
    }
};

template <>
struct Annotation<runners::SpreadLegInput> {
    static std::string text() { return "tuple[str, float, int, int]"; }
};

}  // namespace tarnwick::python
