// The batch item classes, bound once for every file that takes them as arguments.
#pragma once

#include "python/classes.h"
#include "python/records.h"
#include "runners/batch_items.h"

namespace tarnwick::python {

template <>
struct Bound<runners::BatchSingleItem> {
    static constexpr const char* name = "BatchSingleItem";
    static PyTypeObject* type() { return batch_single_item_type(); }
};

template <>
struct Bound<runners::BatchSpreadItem> {
    static constexpr const char* name = "BatchSpreadItem";
    static PyTypeObject* type() { return batch_spread_item_type(); }
};

}  // namespace tarnwick::python
