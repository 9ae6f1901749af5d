// The two records every session hands back, bound once for every session binding: the
// events of a step and the views of open positions.
#pragma once

#include <vector>

#include "engine/kernel_event.h"
#include "engine/ledger.h"
#include "python/classes.h"
#include "python/records.h"

namespace tarnwick::python {

template <>
struct Bound<engine::KernelEvent> {
    static constexpr const char* name = "EngineEvent";
    static PyTypeObject* type() { return engine_event_type(); }
};
template <>
struct Bound<engine::PositionSnapshot> {
    static constexpr const char* name = "PositionSnapshot";
    static PyTypeObject* type() { return position_snapshot_type(); }
};

// A step's events as a new list of new EngineEvent objects, in the order produced.
inline Ref event_list(const std::vector<engine::KernelEvent>& events) { return record_list(events); }

}  // namespace tarnwick::python
