#include "python/numpy_bridge.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include <numpy/arrayobject.h>

#include "base/block_cache.h"
#include "base/flag_bytes.h"
#include "base/format.h"

namespace tarnwick::python {

using base::Matrix;
using base::fault;

namespace {

// NumPy's C API table is looked up once, on first use.
void ensure_numpy() {
    static bool ready = false;
    if (ready) return;
    if (_import_array() < 0) {
        PyErr_Clear();
        fault("Failed to access NumPy array API capsule");
    }
    ready = true;
}

int type_num(Elem e) {
    switch (e) {
        case Elem::F64: return NPY_FLOAT64;
        case Elem::I64: return NPY_INT64;
        case Elem::Bool: return NPY_BOOL;
    }
    return NPY_NOTYPE;
}

const char* elem_name(Elem e) {
    switch (e) {
        case Elem::F64: return "float64";
        case Elem::I64: return "int64";
        case Elem::Bool: return "bool";
    }
    return "?";
}

// The argument as an array of the requested kind, or TypeError.
PyArrayObject* checked(PyObject* o, Elem elem, int ndim) {
    ensure_numpy();
    if (!PyArray_Check(o)) {
        raise(PyExc_TypeError, base::fmt::format("'{}' object cannot be converted to 'PyArray<T, D>'", type_name(o)));
    }
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != ndim) {
        raise(PyExc_TypeError, base::fmt::format("dimensionality mismatch:\n from={}, to={}", PyArray_NDIM(a), ndim));
    }
    PyArray_Descr* want = PyArray_DescrFromType(type_num(elem));
    const bool same = PyArray_EquivTypes(PyArray_DESCR(a), want) != 0;
    Py_DECREF(want);
    if (!same) {
        Ref given = Ref::check(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(a))));
        const char* g = PyUnicode_AsUTF8(given.get());
        if (g == nullptr) throw_error_set();
        raise(PyExc_TypeError, base::fmt::format("type mismatch:\n from={}, to={}", g, elem_name(elem)));
    }
    return a;
}

// Copies the elements of a 1-D array in index order, whatever its stride or alignment:
// every element is read as bytes, never through a typed pointer into the array.
template <class T>
std::vector<T> copy_1d(PyArrayObject* a) {
    const auto n = static_cast<std::size_t>(PyArray_DIM(a, 0));
    std::vector<T> out(n);
    if (n == 0) return out;
    const char* base = static_cast<const char*>(PyArray_DATA(a));
    const npy_intp stride = PyArray_STRIDE(a, 0);
    if (stride == static_cast<npy_intp>(sizeof(T))) {
        std::memcpy(out.data(), base, n * sizeof(T));
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            std::memcpy(&out[i], base + static_cast<npy_intp>(i) * stride, sizeof(T));
        }
    }
    return out;
}

// Whether the engine may read the array's memory in place as a dense run of T: one
// element apart, and on a T boundary. NumPy hands out arrays that are neither (slices
// with a step, fields of packed records, buffers at an odd offset); reading those through
// a T pointer is undefined, so they are copied.
template <class T>
bool readable_in_place(PyArrayObject* a) {
    const auto address = reinterpret_cast<std::uintptr_t>(PyArray_DATA(a));
    return PyArray_STRIDE(a, 0) == static_cast<npy_intp>(sizeof(T)) && address % alignof(T) == 0;
}

template <class T>
Column<T> column(PyObject* o, Elem elem) {
    PyArrayObject* a = checked(o, elem, 1);
    const auto n = static_cast<std::size_t>(PyArray_DIM(a, 0));
    if (n == 0) return Column<T>{};
    if (readable_in_place<T>(a)) {
        return Column<T>::view(Ref::borrow(o), static_cast<const T*>(PyArray_DATA(a)), n);
    }
    return Column<T>::owned(copy_1d<T>(a));
}

// Hands an owned buffer (a vector) to a new array; a capsule owns the buffer and is the
// array's base.
template <class V>
Ref hand_over(V&& v, int type, int ndim, npy_intp* dims) {
    ensure_numpy();
    auto owner = std::make_unique<V>(std::move(v));
    if (owner->empty()) {
        return Ref::check(PyArray_SimpleNew(ndim, dims, type));
    }
    void* data = owner->data();
    Ref capsule = Ref::steal(PyCapsule_New(owner.get(), nullptr, [](PyObject* cap) {
        delete static_cast<V*>(PyCapsule_GetPointer(cap, nullptr));
    }));
    if (!capsule) fault("Failed to create slice container");
    owner.release();
    Ref array = Ref::check(PyArray_SimpleNewFromData(ndim, dims, type, data));
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) {
        throw_error_set();
    }
    return array;
}

template <class V>
Ref hand_over_1d(V&& v, int type) {
    npy_intp dims[1] = {static_cast<npy_intp>(v.size())};
    return hand_over(std::move(v), type, 1, dims);
}


}  // namespace

void check_array(PyObject* o, Elem elem, int ndim) { static_cast<void>(checked(o, elem, ndim)); }

std::vector<double> to_vec_f64(PyObject* o) { return copy_1d<double>(checked(o, Elem::F64, 1)); }

std::vector<std::int64_t> to_vec_i64(PyObject* o) { return copy_1d<std::int64_t>(checked(o, Elem::I64, 1)); }

std::vector<std::uint8_t> to_vec_bool(PyObject* o) {
    // Read as bytes: a byte other than 0 or 1 must not become a C++ bool.
    std::vector<std::uint8_t> out = copy_1d<std::uint8_t>(checked(o, Elem::Bool, 1));
    base::flag_bytes::copy_as_ones(out.data(), out.data(), out.size());
    return out;
}

Matrix to_matrix_f64(PyObject* o) {
    PyArrayObject* a = checked(o, Elem::F64, 2);
    Matrix m;
    m.rows = static_cast<std::size_t>(PyArray_DIM(a, 0));
    m.cols = static_cast<std::size_t>(PyArray_DIM(a, 1));
    m.data.resize(m.rows * m.cols);
    if (m.data.empty()) return m;
    const char* base = static_cast<const char*>(PyArray_DATA(a));
    const npy_intp rs = PyArray_STRIDE(a, 0);
    const npy_intp cs = PyArray_STRIDE(a, 1);
    if (PyArray_IS_C_CONTIGUOUS(a)) {
        std::memcpy(m.data.data(), base, m.data.size() * sizeof(double));
        return m;
    }
    for (std::size_t r = 0; r < m.rows; ++r) {
        for (std::size_t c = 0; c < m.cols; ++c) {
            std::memcpy(&m.data[r * m.cols + c],
                        base + static_cast<npy_intp>(r) * rs + static_cast<npy_intp>(c) * cs, sizeof(double));
        }
    }
    return m;
}

PanelView PanelView::of(PyObject* o) {
    PyArrayObject* a = checked(o, Elem::F64, 2);
    PanelView v;
    if (PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a)) {
        v.array_ = Ref::borrow(o);
        v.rows_ = static_cast<std::size_t>(PyArray_DIM(a, 0));
        v.cols_ = static_cast<std::size_t>(PyArray_DIM(a, 1));
        v.data_ = static_cast<const double*>(PyArray_DATA(a));
        return v;
    }
    v.copy_ = to_matrix_f64(o);
    v.rows_ = v.copy_.rows;
    v.cols_ = v.copy_.cols;
    v.data_ = v.copy_.data.data();
    return v;
}

Column<double> column_f64(PyObject* o) { return column<double>(o, Elem::F64); }
Column<std::int64_t> column_i64(PyObject* o) { return column<std::int64_t>(o, Elem::I64); }
Column<std::uint8_t> column_bool(PyObject* o) { return column<std::uint8_t>(o, Elem::Bool); }

NewF64 empty_f64(std::size_t n) {
    ensure_numpy();
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    const std::size_t bytes = n * sizeof(double);
    // Large results come from the block cache, so that repeated calls over series of one
    // length (an indicator over many symbols, a parameter sweep) write into memory that is
    // already mapped instead of having fresh pages cleared for every result.
    if (bytes < base::block_cache::kMinBytes) {
        Ref array = Ref::check(PyArray_SimpleNew(1, dims, NPY_FLOAT64));
        auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
        return {std::move(array), std::span<double>(data, n)};
    }
    void* block = base::block_cache::take(bytes);
    // The capsule owns the block from here on, and is the array's base.
    Ref capsule = Ref::steal(PyCapsule_New(block, nullptr, [](PyObject* cap) {
        void* b = PyCapsule_GetPointer(cap, nullptr);
        const auto size = reinterpret_cast<std::uintptr_t>(PyCapsule_GetContext(cap));
        base::block_cache::give(b, static_cast<std::size_t>(size));
    }));
    if (!capsule) {
        base::block_cache::give(block, bytes);
        throw_error_set();
    }
    if (PyCapsule_SetContext(capsule.get(), reinterpret_cast<void*>(static_cast<std::uintptr_t>(bytes))) < 0) {
        throw_error_set();
    }
    auto* data = static_cast<double*>(block);
    Ref array = Ref::check(PyArray_SimpleNewFromData(1, dims, NPY_FLOAT64, data));
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) {
        throw_error_set();
    }
    return {std::move(array), std::span<double>(data, n)};
}

Ref from_vec(std::vector<double>&& v) { return hand_over_1d(std::move(v), NPY_FLOAT64); }
Ref from_vec(std::vector<std::int64_t>&& v) { return hand_over_1d(std::move(v), NPY_INT64); }
Ref from_vec(base::Unfilled<double>&& v) { return hand_over_1d(std::move(v), NPY_FLOAT64); }
Ref from_vec(base::Unfilled<std::int64_t>&& v) { return hand_over_1d(std::move(v), NPY_INT64); }
Ref from_vec_i8(std::vector<std::int8_t>&& v) { return hand_over_1d(std::move(v), NPY_INT8); }
Ref from_vec_bool(std::vector<std::uint8_t>&& v) { return hand_over_1d(std::move(v), NPY_BOOL); }

Ref from_matrix(Matrix&& m) {
    if (m.data.size() != m.rows * m.cols) fault("matrix buffer does not match its shape");
    npy_intp dims[2] = {static_cast<npy_intp>(m.rows), static_cast<npy_intp>(m.cols)};
    return hand_over(std::move(m.data), NPY_FLOAT64, 2, dims);
}

}  // namespace tarnwick::python
