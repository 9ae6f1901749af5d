// Attribute rows (PyGetSetDef) that read or write one field of a bound record, named by its
// member pointer: read_only<&Trade::pnl>("pnl"), read_write<&BacktestConfig::fees>("fees", doc).
// A read converts a copy taken under a shared borrow; a write converts the value first and
// stores it under an exclusive borrow, so a failed conversion leaves the record as it was.
#pragma once

#include <type_traits>
#include <utility>
#include <vector>

#include "python/annotation.h"
#include "python/declare.h"
#include "python/listing.h"
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

// Each row lists its attribute, with the annotation of its type, for the generated stub.
template <class T>
void list_attribute(const char* name, std::string annotation, bool writable) {
    listing().attributes.push_back({Bound<T>::name, name, std::move(annotation), writable});
}

template <auto Field>
PyGetSetDef read_only(const char* name, const char* doc = nullptr) {
    list_attribute<RecordOf<Field>>(name, Annotation<FieldValue<Field>>::text(), false);
    return {name, get_field<Field>, nullptr, doc, nullptr};
}

template <auto Field, class As = FieldValue<Field>>
PyGetSetDef read_write(const char* name, const char* doc = nullptr) {
    list_attribute<RecordOf<Field>>(name, Annotation<As>::text(), true);
    return {name, get_field<Field>, set_field<Field, As, nullptr>, doc, nullptr};
}

// A writable field whose new value `Check` must accept (a Result of no value) first.
template <auto Field, auto Check>
PyGetSetDef checked_field(const char* name, const char* doc) {
    list_attribute<RecordOf<Field>>(name, Annotation<FieldValue<Field>>::text(), true);
    return {name, get_field<Field>, set_field<Field, FieldValue<Field>, Check>, doc, nullptr};
}

template <class F>
struct GetterTraits;
template <class R, class T>
struct GetterTraits<R (*)(const T&)> {
    using Record = T;
    using Value = std::remove_cvref_t<R>;
};

template <auto Get>
PyObject* get_computed(PyObject* self, void*) {
    using Record = typename GetterTraits<decltype(Get)>::Record;
    return guarded([&] {
        auto* r = as_record<Record>(self);
        SharedBorrow b(r->borrow);
        if constexpr (std::is_same_v<typename GetterTraits<decltype(Get)>::Value, Ref>) {
            return Get(std::as_const(r->value)).release();
        } else {
            return to_py(Get(std::as_const(r->value))).release();
        }
    });
}

// A read-only attribute computed from the record: `Get` takes the record and returns a
// value (its type gives the annotation) or, with an annotation given, a Ref.
template <auto Get>
PyGetSetDef getter(const char* name, const char* doc = nullptr) {
    using Traits = GetterTraits<decltype(Get)>;
    static_assert(!std::is_same_v<typename Traits::Value, Ref>, "a getter that returns a Ref names its annotation");
    list_attribute<typename Traits::Record>(name, Annotation<typename Traits::Value>::text(), false);
    return {name, get_computed<Get>, nullptr, doc, nullptr};
}
template <auto Get>
PyGetSetDef getter(const char* name, Returns annotation, const char* doc = nullptr) {
    using Traits = GetterTraits<decltype(Get)>;
    list_attribute<typename Traits::Record>(name, annotation.annotation, false);
    return {name, get_computed<Get>, nullptr, doc, nullptr};
}

// The body of a method that hands out a fresh float64 array copied from one vector field:
// method<copied_array<&RiskContributions::marginal>>("RiskContributions.marginal", ...).
template <auto Field>
Ref copied_array(Shared<RecordOf<Field>>& self) {
    const auto& field = (*self).*Field;
    return from_vec(std::vector<double>(field.begin(), field.end()));
}

inline constexpr PyGetSetDef kGetSetEnd{nullptr, nullptr, nullptr, nullptr, nullptr};
inline constexpr PyMethodDef kMethodEnd{nullptr, nullptr, 0, nullptr};

}  // namespace tarnwick::python
