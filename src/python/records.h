// Python classes that hold one engine record by value (`PyX` wraps record `X`), their
// borrow flags, and the helpers their slots and bodies share: reading a record in place,
// and building the lists and pairs that results are handed out in.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "python/convert.h"
#include "python/entry.h"
#include "python/numpy_bridge.h"

namespace tarnwick::python {

// Specialised once per bound record: `static PyTypeObject* type();` (created on first
// request, then kept for the life of the process) and `static constexpr const char* name`.
template <class T>
struct Bound;

template <class T>
struct PyRecord {
    PyObject_HEAD
    std::int32_t borrow;  // 0 free, > 0 readers, -1 held for writing
    T value;
};

template <class T>
PyRecord<T>* as_record(PyObject* o) {
    return reinterpret_cast<PyRecord<T>*>(o);
}

class SharedBorrow {
public:
    explicit SharedBorrow(std::int32_t& flag) : flag_(flag) {
        if (flag_ < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++flag_;
    }
    ~SharedBorrow() { --flag_; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    std::int32_t& flag_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(std::int32_t& flag) : flag_(flag) {
        if (flag_ != 0) raise(PyExc_RuntimeError, "Already borrowed");
        flag_ = -1;
    }
    ~ExclusiveBorrow() { flag_ = 0; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    std::int32_t& flag_;
};

// A new Python object of the record's class holding `value`, built in place: copied from
// an lvalue, moved from an rvalue, never both.
template <class T, class V>
Ref wrap_record(V&& value) {
    PyTypeObject* tp = Bound<T>::type();
    if (tp == nullptr) throw_error_set();
    PyObject* o = tp->tp_alloc(tp, 0);
    if (o == nullptr) throw_error_set();
    auto* r = as_record<T>(o);
    r->borrow = 0;
    std::construct_at(&r->value, std::forward<V>(value));
    return Ref::steal(o);
}

template <class T>
Ref wrap(const T& value) {
    return wrap_record<T>(value);
}
template <class T>
    requires(!std::is_lvalue_reference_v<T>)
Ref wrap(T&& value) {
    return wrap_record<T>(std::move(value));
}

template <class T>
bool is_instance(PyObject* o) {
    PyTypeObject* tp = Bound<T>::type();
    if (tp == nullptr) throw_error_set();
    return PyObject_TypeCheck(o, tp) != 0;
}

// A record argument read in place instead of copied: a new reference to the object and a
// shared borrow on it, both held as long as this lives, so the value can neither go away
// nor be changed through its setters ("Already borrowed") while it is read, with or
// without the interpreter lock. Created and destroyed with the lock held.
template <class T>
class Held {
public:
    Held(Ref object, std::int32_t& flag) : object_(std::move(object)), flag_(&flag) {
        if (*flag_ < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++*flag_;
    }
    Held(Held&& other) noexcept : object_(std::move(other.object_)), flag_(std::exchange(other.flag_, nullptr)) {}
    Held& operator=(Held&&) = delete;
    ~Held() {
        if (flag_ != nullptr) --*flag_;
    }
    const T& value() const noexcept { return as_record<T>(object_.get())->value; }

private:
    Ref object_;
    std::int32_t* flag_;
};

template <class T>
struct Converter<Held<T>> {
    static Held<T> from(PyObject* o) {
        if (!is_instance<T>(o)) refuse(o, Bound<T>::name);
        return Held<T>(Ref::borrow(o), as_record<T>(o)->borrow);
    }
};

// Records given as arguments are read under a shared borrow and copied out.
template <class T>
struct Converter<T, std::void_t<decltype(Bound<T>::name)>> {
    static T from(PyObject* o) {
        if (!is_instance<T>(o)) refuse(o, Bound<T>::name);
        auto* r = as_record<T>(o);
        SharedBorrow b(r->borrow);
        return r->value;
    }
    static Ref to(const T& v) { return wrap<T>(v); }
};

template <class T>
void dealloc_record(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    std::destroy_at(&as_record<T>(self)->value);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// tp_new of classes that Python cannot construct.
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*);

// Creates a heap type named "builtins.<name>" from its slots (NULL with an error set on failure).
PyTypeObject* create_type(const char* qualified_name, int basicsize, PyType_Slot* slots);

// Lazily created type object of a record class; `Slots` returns the slot table.
template <class T>
PyTypeObject* record_type(const char* qualified_name, PyType_Slot* slots) {
    static PyTypeObject* tp = nullptr;
    if (tp == nullptr) tp = create_type(qualified_name, static_cast<int>(sizeof(PyRecord<T>)), slots);
    return tp;
}

// ---------------------------------------------------------------------------
// Reading records, building results

// Reads the record of `self` under a shared borrow and returns the new reference that
// `body` makes of it (a `Ref` or an owned `PyObject*`).
template <class T, class F>
PyObject* read(PyObject* self, F&& body) {
    return guarded([&]() -> PyObject* {
        auto* r = as_record<T>(self);
        SharedBorrow b(r->borrow);
        if constexpr (std::is_same_v<decltype(body(std::as_const(r->value))), Ref>) {
            return body(std::as_const(r->value)).release();
        } else {
            return body(std::as_const(r->value));
        }
    });
}

// A new list of `n` items in order; `item(i)` makes the i-th as a new reference.
template <class F>
Ref list_of(std::size_t n, F&& item) {
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item(i).release());
    }
    return list;
}

// A new list of new objects, one per record, in order.
template <class T>
Ref record_list(const std::vector<T>& records) {
    return list_of(records.size(), [&](std::size_t i) { return wrap<T>(records[i]); });
}

// A new 2-tuple; batch calls return lists of (id, result) pairs.
inline Ref pair_of(Ref first, Ref second) {
    Ref pair = Ref::check(PyTuple_New(2));
    PyTuple_SET_ITEM(pair.get(), 0, first.release());
    PyTuple_SET_ITEM(pair.get(), 1, second.release());
    return pair;
}

inline void put(PyObject* dict, const char* key, const Ref& value) {
    if (PyDict_SetItemString(dict, key, value.get()) < 0) throw_error_set();
}

// A class's __repr__ slot.
template <PyObject* (*Body)(PyObject* self)>
PyObject* plain_entry(PyObject* self, PyObject* = nullptr) {
    return guarded([&] { return Body(self); });
}

}  // namespace tarnwick::python
