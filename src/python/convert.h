// Conversions between Python values and engine values, one Converter per engine type.
//
// Floats take float or anything with __float__/__index__ (never str); integers take
// anything with __index__ (never float) and refuse values outside their width with
// OverflowError; booleans take only True and False; text takes only str; lists take any
// sequence but str; tuple-shaped structs take a tuple of their length. Refusals raise
// TypeError, which the call entry prefixes with the argument's name.
//
// Values that view array memory (python/numpy_bridge.h) are made in two steps, since a
// conversion runs Python code (`__float__`, `__index__`, `__getitem__`) that may resize or
// free an array viewed before it. Their converter's `check` converts everything else and
// checks each array, holding a reference to it, into a `Pending` value; its `view` takes
// the views from that, running no Python code. The binder checks every argument of a call
// before it views any (python/declare.h), and lists, optionals and tuple-shaped structs of
// such values are made in the same two steps, so no view is taken before a call's last
// conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "python/entry.h"
#include "python/object.h"

namespace tarnwick::python {

[[noreturn]] void refuse(PyObject* given, const char* expected);

// Refuses what is not a tuple of `want` items.
void check_tuple(PyObject* o, std::size_t want);

template <class T, class = void>
struct Converter;

// A value made in two steps: `Converter<T>::check` and then `Converter<T>::view`.
template <class T>
concept Deferred = requires { typename Converter<T>::Pending; };

template <class T>
struct PendingType {
    using type = T;
};
template <Deferred T>
struct PendingType<T> {
    using type = typename Converter<T>::Pending;
};
// What the first step makes of a T: the value itself unless T views arrays.
template <class T>
using PendingOf = typename PendingType<T>::type;

template <class T>
PendingOf<T> check_py(PyObject* o) {
    if constexpr (Deferred<T>) return Converter<T>::check(o);
    else return Converter<T>::from(o);
}

template <class T>
T view_py(PendingOf<T>&& p) {
    if constexpr (Deferred<T>) return Converter<T>::view(std::move(p));
    else return std::move(p);
}

template <>
struct Converter<double> {
    static double from(PyObject* o) {
        if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
        const double v = PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) throw_error_set();
        return v;
    }
    static Ref to(double v) { return Ref::check(PyFloat_FromDouble(v)); }
};

template <>
struct Converter<bool> {
    static bool from(PyObject* o) {
        if (o == Py_True) return true;
        if (o == Py_False) return false;
        refuse(o, "PyBool");
    }
    static Ref to(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
};

std::int64_t index_to_i64(PyObject* o);
std::uint64_t index_to_u64(PyObject* o);

template <class I>
struct Converter<I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>>> {
    static I from(PyObject* o) {
        if constexpr (sizeof(I) == 8) {
            if constexpr (std::is_signed_v<I>) return index_to_i64(o);
            else return index_to_u64(o);
        } else {
            // Narrow fields share one message whatever the interpreter would say.
            const std::int64_t wide = index_to_i64_or_overflow(o);
            if (wide < static_cast<std::int64_t>(std::numeric_limits<I>::min()) ||
                wide > static_cast<std::int64_t>(std::numeric_limits<I>::max())) {
                raise(PyExc_OverflowError, "out of range integral type conversion attempted");
            }
            return static_cast<I>(wide);
        }
    }
    static Ref to(I v) {
        if constexpr (std::is_signed_v<I>) return Ref::check(PyLong_FromLongLong(v));
        else return Ref::check(PyLong_FromUnsignedLongLong(v));
    }

private:
    static std::int64_t index_to_i64_or_overflow(PyObject* o);
};

template <class I>
std::int64_t Converter<I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>>>::
    index_to_i64_or_overflow(PyObject* o) {
    Ref idx = Ref::check(PyNumber_Index(o));
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
    if (overflow != 0) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    if (v == -1 && PyErr_Occurred()) throw_error_set();
    return v;
}

template <>
struct Converter<std::string> {
    static std::string from(PyObject* o) {
        if (!PyUnicode_Check(o)) refuse(o, "PyString");
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(o, &n);
        if (s == nullptr) throw_error_set();
        return std::string(s, static_cast<std::size_t>(n));
    }
    static Ref to(std::string_view v) {
        return Ref::check(PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())));
    }
};

// Text handed out where it lies, such as the name of an engine value; never taken.
template <>
struct Converter<std::string_view> {
    static Ref to(std::string_view v) { return Converter<std::string>::to(v); }
};

template <class T>
struct Converter<std::optional<T>> {
    static std::optional<T> from(PyObject* o) {
        if (o == Py_None) return std::nullopt;
        return Converter<T>::from(o);
    }
    static Ref to(const std::optional<T>& v) { return v ? Converter<T>::to(*v) : Ref::borrow(Py_None); }
};

template <Deferred T>
struct Converter<std::optional<T>> {
    using Pending = std::optional<PendingOf<T>>;
    static Pending check(PyObject* o) {
        if (o == Py_None) return std::nullopt;
        return Converter<T>::check(o);
    }
    static std::optional<T> view(Pending&& p) {
        if (!p) return std::nullopt;
        return Converter<T>::view(std::move(*p));
    }
};

// The items of a sequence (any but str) in index order, each as `item` makes it. An item
// is held while it converts: its conversion may drop the sequence's own reference to it.
template <class U, class F>
std::vector<U> sequence_items(PyObject* o, F&& item) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) refuse(o, "Sequence");
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) throw_error_set();
    std::vector<U> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref held = Ref::check(PySequence_GetItem(o, i));
        out.push_back(item(held.get()));
    }
    return out;
}

template <class T>
struct Converter<std::vector<T>> {
    static std::vector<T> from(PyObject* o) { return sequence_items<T>(o, Converter<T>::from); }
    static Ref to(const std::vector<T>& v) {
        Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(v.size())));
        for (std::size_t i = 0; i < v.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Converter<T>::to(v[i]).release());
        }
        return list;
    }
};

template <Deferred T>
struct Converter<std::vector<T>> {
    using Pending = std::vector<PendingOf<T>>;
    static Pending check(PyObject* o) { return sequence_items<PendingOf<T>>(o, check_py<T>); }
    static std::vector<T> view(Pending&& p) {
        std::vector<T> out;
        out.reserve(p.size());
        for (PendingOf<T>& item : p) out.push_back(Converter<T>::view(std::move(item)));
        return out;
    }
};

// A struct given as a Python tuple of fixed length, one item per field that its `items`
// lists, in order; the items convert in that order.
//
//     struct Leg {
//         std::string kind;
//         double strike = 0.0;
//         static constexpr auto items = std::tuple{&Leg::kind, &Leg::strike};
//     };
template <class T>
concept TupleShaped = requires { T::items; };

namespace convert_detail {

template <class M>
struct FieldOf;
template <class S, class V>
struct FieldOf<V S::*> {
    using type = V;
};

}  // namespace convert_detail

// The type of the field that a pointer to member of type M names.
template <class M>
using FieldType = typename convert_detail::FieldOf<M>::type;

namespace convert_detail {

template <class T, std::size_t K>
using ItemType = FieldType<std::remove_cvref_t<decltype(std::get<K>(T::items))>>;

template <class T, class Order = std::make_index_sequence<std::tuple_size_v<std::remove_cvref_t<decltype(T::items)>>>>
struct TupleItems;
template <class T, std::size_t... K>
struct TupleItems<T, std::index_sequence<K...>> {
    static constexpr std::size_t count = sizeof...(K);
    static constexpr bool views = (Deferred<ItemType<T, K>> || ...);
    using Pending = std::tuple<PendingOf<ItemType<T, K>>...>;

    // Braced initialisation converts the items left to right.
    static Pending check(PyObject* t) { return Pending{check_py<ItemType<T, K>>(PyTuple_GET_ITEM(t, K))...}; }
    static T view(Pending&& p) {
        T out{};
        ((out.*std::get<K>(T::items) = view_py<ItemType<T, K>>(std::move(std::get<K>(p)))), ...);
        return out;
    }
    static T from(PyObject* t) {
        T out{};
        ((out.*std::get<K>(T::items) = Converter<ItemType<T, K>>::from(PyTuple_GET_ITEM(t, K))), ...);
        return out;
    }
};

template <class T, bool Views = TupleItems<T>::views>
struct TupleConverter {
    static T from(PyObject* o) {
        check_tuple(o, TupleItems<T>::count);
        return TupleItems<T>::from(o);
    }
};
template <class T>
struct TupleConverter<T, true> {
    using Pending = typename TupleItems<T>::Pending;
    static Pending check(PyObject* o) {
        check_tuple(o, TupleItems<T>::count);
        return TupleItems<T>::check(o);
    }
    static T view(Pending&& p) { return TupleItems<T>::view(std::move(p)); }
};

}  // namespace convert_detail

template <TupleShaped T>
struct Converter<T> : convert_detail::TupleConverter<T> {};

// An argument taken as the object given, borrowed for the call; NULL when left out.
struct Object {
    PyObject* object = nullptr;
};

template <>
struct Converter<Object> {
    static Object from(PyObject* o) { return {o}; }
};

template <class T>
T from_py(PyObject* o) {
    return Converter<T>::from(o);
}

template <class T>
Ref to_py(const T& v) {
    return Converter<std::remove_cvref_t<T>>::to(v);
}

inline Ref to_py(const char* v) { return Converter<std::string>::to(v); }
inline Ref to_py(std::string_view v) { return Converter<std::string>::to(v); }

}  // namespace tarnwick::python
