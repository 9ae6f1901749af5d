// The stub's annotation of each type a binding takes or hands out: float for double, int
// for the integers, NDArray[np.float64] for float64 columns, the class's name for a bound
// record. A converter of a type of its own specialises Annotation beside it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "python/numpy_bridge.h"
#include "python/records.h"

namespace tarnwick::python {

template <class T, class = void>
struct Annotation;

template <>
struct Annotation<double> {
    static std::string text() { return "float"; }
};
template <>
struct Annotation<bool> {
    static std::string text() { return "bool"; }
};
template <class I>
struct Annotation<I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>>> {
    static std::string text() { return "int"; }
};
template <>
struct Annotation<std::string> {
    static std::string text() { return "str"; }
};
template <>
struct Annotation<std::string_view> {
    static std::string text() { return "str"; }
};
template <>
struct Annotation<Object> {
    static std::string text() { return "object"; }
};
template <class T>
struct Annotation<std::optional<T>> {
    static std::string text() { return Annotation<T>::text() + " | None"; }
};
template <class T>
struct Annotation<std::vector<T>> {
    static std::string text() { return "list[" + Annotation<T>::text() + "]"; }
};

inline std::string ndarray(const char* dtype) { return std::string("NDArray[np.") + dtype + "]"; }

template <>
struct Annotation<Column<double>> {
    static std::string text() { return ndarray("float64"); }
};
template <>
struct Annotation<Column<std::int64_t>> {
    static std::string text() { return ndarray("int64"); }
};
template <>
struct Annotation<Column<std::uint8_t>> {
    static std::string text() { return ndarray("bool_"); }
};
template <>
struct Annotation<ArrayF64> {
    static std::string text() { return ndarray("float64"); }
};
template <>
struct Annotation<ArrayI64> {
    static std::string text() { return ndarray("int64"); }
};
template <>
struct Annotation<ArrayBool> {
    static std::string text() { return ndarray("bool_"); }
};
template <>
struct Annotation<ArrayF64x2> {
    static std::string text() { return ndarray("float64"); }
};
template <>
struct Annotation<PanelView> {
    static std::string text() { return ndarray("float64"); }
};

// A bound record, copied or held in place.
template <class T>
struct Annotation<T, std::void_t<decltype(Bound<T>::name)>> {
    static std::string text() { return Bound<T>::name; }
};
template <class T>
struct Annotation<Held<T>> {
    static std::string text() { return Bound<T>::name; }
};

}  // namespace tarnwick::python
