// The two records every session hands back, bound once for every session binding: the
// events of a step and the views of open positions.
#pragma once

#include <vector>

#include "core/kernel_event.h"
#include "portfolio/ledger/ledger.h"
#include "python/classes.h"
#include "python/records.h"

namespace tarnwick::py {

template <>
struct Bound<KernelEvent> {
    static constexpr const char* name = "EngineEvent";
    static PyTypeObject* type() { return engine_event_type(); }
};
template <>
struct Bound<PositionSnapshot> {
    static constexpr const char* name = "PositionSnapshot";
    static PyTypeObject* type() { return position_snapshot_type(); }
};

// A new list of new objects, one per record, in order.
template <class T>
Ref record_list(const std::vector<T>& records) {
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(records.size())));
    for (std::size_t i = 0; i < records.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), wrap(records[i]).release());
    }
    return list;
}

// A step's events as a new list of new EngineEvent objects, in the order produced.
inline Ref event_list(const std::vector<KernelEvent>& events) { return record_list(events); }

}  // namespace tarnwick::py
