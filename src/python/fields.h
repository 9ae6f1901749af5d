// Attribute rows (PyGetSetDef) that read or write one field of a bound record, named by its
// member pointer: read_only<&Trade::pnl>("pnl"), read_write<&BacktestConfig::fees>("fees", doc).
// A read converts a copy taken under a shared borrow; a write converts the value first and
// stores it under an exclusive borrow, so a failed conversion leaves the record as it was.
#pragma once

#include <type_traits>
#include <utility>

#include "python/records.h"

namespace tarnwick::python {

template <class M>
struct MemberTraits;

template <class T, class V>
struct MemberTraits<V T::*> {
    using Record = T;
    using Value = std::remove_cvref_t<V>;
};

template <auto Field>
using RecordOf = typename MemberTraits<decltype(Field)>::Record;

template <auto Field>
using FieldValue = typename MemberTraits<decltype(Field)>::Value;

template <auto Field>
PyObject* get_field(PyObject* self, void*) {
    return guarded([&] {
        auto* r = as_record<RecordOf<Field>>(self);
        SharedBorrow b(r->borrow);
        return to_py(r->value.*Field).release();
    });
}

// `As` is the engine type the value converts through; `Check` (when given) judges the
// converted value before the record is taken.
template <auto Field, class As, auto Check>
int set_field(PyObject* self, PyObject* value, void*) {
    return guarded_int([&] {
        if (value == nullptr) raise(PyExc_AttributeError, "can't delete attribute");
        As v = from_py<As>(value);
        if constexpr (Check != nullptr) unwrap(Check(v));
        auto* r = as_record<RecordOf<Field>>(self);
        ExclusiveBorrow b(r->borrow);
        r->value.*Field = std::move(v);
    });
}

template <auto Field>
constexpr PyGetSetDef read_only(const char* name, const char* doc = nullptr) {
    return {name, get_field<Field>, nullptr, doc, nullptr};
}

template <auto Field, class As = FieldValue<Field>>
constexpr PyGetSetDef read_write(const char* name, const char* doc = nullptr) {
    return {name, get_field<Field>, set_field<Field, As, nullptr>, doc, nullptr};
}

// A writable field whose new value `Check` must accept (a Result of no value) first.
template <auto Field, auto Check>
constexpr PyGetSetDef checked_field(const char* name, const char* doc) {
    return {name, get_field<Field>, set_field<Field, FieldValue<Field>, Check>, doc, nullptr};
}

inline constexpr PyGetSetDef kGetSetEnd{nullptr, nullptr, nullptr, nullptr, nullptr};
inline constexpr PyMethodDef kMethodEnd{nullptr, nullptr, 0, nullptr};

}  // namespace tarnwick::python
