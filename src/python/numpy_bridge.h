// NumPy arrays in and out.
//
// Arguments are checked (an ndarray, then its dimension count, then its exact dtype;
// no casting) and copied into owned engine buffers, or lent as read-only column views
// for the length of the call. Results are new writeable arrays that take over the
// engine's buffer. Nothing in the engine refers to Python memory after a call returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "base/matrix.h"
#include "base/unfilled.h"
#include "python/convert.h"
#include "python/object.h"

namespace tarnwick::python {

enum class Elem : std::uint8_t { F64, I64, Bool };

// Owned copies of 1-D arrays. Booleans are normalised to 0 and 1: any non-zero byte is true.
template <class T>
struct Array1 {
    std::vector<T> data;
};
using ArrayF64 = Array1<double>;
using ArrayI64 = Array1<std::int64_t>;
using ArrayBool = Array1<std::uint8_t>;

// An owned copy of a 2-D float64 array, whatever its memory layout.
struct ArrayF64x2 {
    base::Matrix m;
};

// A read-only view of a 1-D array's elements, valid until the call that received the
// array returns. A strided or unaligned array is copied instead, so the view is always
// dense and aligned.
template <class T>
class Column {
public:
    Column() = default;
    std::span<const T> span() const { return {data_, size_}; }
    std::size_t size() const { return size_; }
    const T* data() const { return data_; }

    static Column view(Ref array, const T* data, std::size_t n) {
        Column c;
        c.array_ = std::move(array);
        c.data_ = data;
        c.size_ = n;
        return c;
    }
    static Column owned(std::vector<T> copy) {
        Column c;
        c.copy_ = std::move(copy);
        c.data_ = c.copy_.data();
        c.size_ = c.copy_.size();
        return c;
    }
    Column(Column&& o) noexcept { *this = std::move(o); }
    Column& operator=(Column&& o) noexcept {
        array_ = std::move(o.array_);
        copy_ = std::move(o.copy_);
        size_ = o.size_;
        data_ = array_ ? o.data_ : copy_.data();
        return *this;
    }

private:
    Ref array_;
    std::vector<T> copy_;
    const T* data_ = nullptr;
    std::size_t size_ = 0;
};

// A read-only row-major view of a 2-D float64 array's elements, valid until the call that
// received the array returns (the interpreter lock held throughout). An array that is not
// C-contiguous and aligned is copied instead, so the view is always dense.
class PanelView {
public:
    PanelView() = default;
    PanelView(PanelView&& o) noexcept { *this = std::move(o); }
    PanelView& operator=(PanelView&& o) noexcept {
        array_ = std::move(o.array_);
        copy_ = std::move(o.copy_);
        rows_ = o.rows_;
        cols_ = o.cols_;
        data_ = array_ ? o.data_ : copy_.data.data();
        return *this;
    }
    std::span<const double> data() const { return {data_, rows_ * cols_}; }
    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }

    static PanelView of(PyObject* o);

private:
    Ref array_;
    base::Matrix copy_;
    const double* data_ = nullptr;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
};

// Refuses (TypeError) what is not an ndarray of `ndim` dimensions and exactly this element type.
void check_array(PyObject* o, Elem elem, int ndim);

std::vector<double> to_vec_f64(PyObject* o);
std::vector<std::int64_t> to_vec_i64(PyObject* o);
std::vector<std::uint8_t> to_vec_bool(PyObject* o);
base::Matrix to_matrix_f64(PyObject* o);
Column<double> column_f64(PyObject* o);
Column<std::int64_t> column_i64(PyObject* o);
// A boolean array viewed as its bytes, not normalised: readers take any non-zero byte as set.
Column<std::uint8_t> column_bool(PyObject* o);

// A new float64 array of n elements whose storage is not initialised, with a view of
// that storage for a kernel to overwrite in full before the array is handed out.
struct NewF64 {
    Ref array;
    std::span<double> data;
};
NewF64 empty_f64(std::size_t n);

// New arrays that own the given buffers.
Ref from_vec(std::vector<double>&& v);
Ref from_vec(std::vector<std::int64_t>&& v);
Ref from_vec(base::Unfilled<double>&& v);
Ref from_vec(base::Unfilled<std::int64_t>&& v);
Ref from_vec_i8(std::vector<std::int8_t>&& v);
Ref from_vec_bool(std::vector<std::uint8_t>&& v);
Ref from_matrix(base::Matrix&& m);

// The arrays' buffers taken over, one series per array, in order.
inline std::vector<std::vector<double>> owned_series(std::vector<ArrayF64>&& arrays) {
    std::vector<std::vector<double>> out;
    out.reserve(arrays.size());
    for (ArrayF64& a : arrays) out.push_back(std::move(a.data));
    return out;
}

template <>
struct Converter<ArrayF64> {
    static ArrayF64 from(PyObject* o) { return {to_vec_f64(o)}; }
};
template <>
struct Converter<ArrayI64> {
    static ArrayI64 from(PyObject* o) { return {to_vec_i64(o)}; }
};
template <>
struct Converter<ArrayBool> {
    static ArrayBool from(PyObject* o) { return {to_vec_bool(o)}; }
};
template <>
struct Converter<ArrayF64x2> {
    static ArrayF64x2 from(PyObject* o) { return {to_matrix_f64(o)}; }
};
// An array argument checked for a view and held until the view is taken.
struct CheckedArray {
    Ref array;
};

// Views are made in two steps (python/convert.h): checked where their argument stands,
// and taken after the call's last conversion. Taking one checks the array again, since a
// conversion between the two may have set its dtype or shape.
template <class V, Elem E, int Dims, V (*Take)(PyObject*)>
struct ViewConverter {
    using Pending = CheckedArray;
    static Pending check(PyObject* o) {
        check_array(o, E, Dims);
        return {Ref::borrow(o)};
    }
    static V view(Pending&& p) { return Take(p.array.get()); }
};

template <>
struct Converter<PanelView> : ViewConverter<PanelView, Elem::F64, 2, PanelView::of> {};
template <>
struct Converter<Column<double>> : ViewConverter<Column<double>, Elem::F64, 1, column_f64> {};
template <>
struct Converter<Column<std::int64_t>> : ViewConverter<Column<std::int64_t>, Elem::I64, 1, column_i64> {};
template <>
struct Converter<Column<std::uint8_t>> : ViewConverter<Column<std::uint8_t>, Elem::Bool, 1, column_bool> {};

}  // namespace tarnwick::python
