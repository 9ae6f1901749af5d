// Conversions between Python values and engine values, one Converter per engine type.
//
// Floats take float or anything with __float__/__index__ (never str); integers take
// anything with __index__ (never float) and refuse values outside their width with
// OverflowError; booleans take only True and False; text takes only str; lists take any
// sequence but str. Refusals raise TypeError, which the call entry prefixes with the
// argument's name.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "python/entry.h"
#include "python/object.h"

namespace tarnwick::python {

[[noreturn]] void refuse(PyObject* given, const char* expected);

template <class T, class = void>
struct Converter;

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

template <class T>
struct Converter<std::vector<T>> {
    static std::vector<T> from(PyObject* o) {
        if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
        if (!PySequence_Check(o)) refuse(o, "Sequence");
        const Py_ssize_t n = PySequence_Size(o);
        if (n < 0) throw_error_set();
        std::vector<T> out;
        out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref item = Ref::check(PySequence_GetItem(o, i));
            out.push_back(Converter<T>::from(item.get()));
        }
        return out;
    }
    static Ref to(const std::vector<T>& v) {
        Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(v.size())));
        for (std::size_t i = 0; i < v.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Converter<T>::to(v[i]).release());
        }
        return list;
    }
};

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
