// Typed declarations: a callable is its body and one line naming the body's parameters and
// their defaults, as nanobind's m.def("f", &f, "a"_a, "b"_a = 2). The body's own signature
// gives each argument's type; the binder converts the bound arguments to those types in
// parameter order and calls the body with them.
//
//     PyObject* macd(Column<double> data, std::uint64_t fast, std::uint64_t slow, std::uint64_t signal);
//     constexpr auto kMacd = function<macd>("macd", {"data", {"fast_period", 12}, {"slow_period", 26},
//                                           {"signal_period", 9}}, Returns{"tuple[...]"}, "MACD indicator.");
//     PyMethodDef row = fast_method<kMacd>();
//
// A method's body takes its receiver first: `Exclusive<T>&` (the object held for writing)
// or `Shared<T>&` (held for reading). The receiver is taken before any argument is
// converted: a conversion runs Python code (`__float__`, `__index__`), and one that calls
// back into the object must find it held. A body takes no bare `PyObject*`: as a first
// parameter it would be handed the module or the type the call came through, and an
// argument of any type is an `Object`.
//
// The binder keeps each converted argument until the body returns and hands it over as an
// rvalue: a body reads an argument through `const T&`, and takes one it moves from as
// `T&&`, which is the kept value itself; a by-value `T` costs a move more.
//
// Array views (`Column<T>`, `PanelView`), and the lists, optionals and tuples that hold
// them, are checked at their place in the parameter order but viewed only after the last
// conversion (python/convert.h), so that a conversion that writes to, reallocates or frees
// an array cannot leave the body a stale view.
#pragma once

#include <array>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/fault.h"
#include "python/annotation.h"
#include "python/listing.h"
#include "python/records.h"

namespace tarnwick::python {

// ---------------------------------------------------------------------------
// Receivers

template <class T>
class Exclusive {
public:
    explicit Exclusive(PyObject* self) : record_(as_record<T>(self)), borrow_(record_->borrow) {}
    T& operator*() const noexcept { return record_->value; }
    T* operator->() const noexcept { return &record_->value; }
    PyObject* object() const noexcept { return reinterpret_cast<PyObject*>(record_); }

private:
    PyRecord<T>* record_;
    ExclusiveBorrow borrow_;
};

template <class T>
class Shared {
public:
    explicit Shared(PyObject* self) : record_(as_record<T>(self)), borrow_(record_->borrow) {}
    const T& operator*() const noexcept { return record_->value; }
    const T* operator->() const noexcept { return &record_->value; }
    PyObject* object() const noexcept { return reinterpret_cast<PyObject*>(record_); }

private:
    PyRecord<T>* record_;
    SharedBorrow borrow_;
};

// Consecutive parameters that a body receives as one struct: its `members` lists the
// fields in parameter order, and the declaration names each of them.
//
//     struct OrderFields {
//         std::string side, kind;
//         static constexpr auto members = std::tuple{&OrderFields::side, &OrderFields::kind};
//     };
template <class T>
concept Group = requires { T::members; };

// The plain type a parameter of class type T takes its default as, where it takes one:
// template <> struct DefaultAs<IterationLimit> { using type = std::uint32_t; };
template <class T>
struct DefaultAs {};

namespace declare_detail {

template <class... A>
struct List {};

template <class F>
struct BodyOf;
template <class R, class... P>
struct BodyOf<R (*)(P...)> {
    using Result = R;
    using Params = List<P...>;
};
template <class R, class... P>
struct BodyOf<R (*)(P...) noexcept> : BodyOf<R (*)(P...)> {};

// What a body's first parameter must be to receive the object the call was made on.
template <class P>
struct Receiver {
    static constexpr bool is = false;
};
template <class T>
struct Receiver<Exclusive<T>&> {
    static constexpr bool is = true;
    static Exclusive<T> take(PyObject* self) { return Exclusive<T>(self); }
};
template <class T>
struct Receiver<Shared<T>&> {
    static constexpr bool is = true;
    static Shared<T> take(PyObject* self) { return Shared<T>(self); }
};

template <class L>
struct Split;
template <>
struct Split<List<>> {
    static constexpr bool has_receiver = false;
    using Args = List<>;
};
template <class First, class... Rest>
struct Split<List<First, Rest...>> {
    static constexpr bool has_receiver = Receiver<First>::is;
    using ReceiverType = First;
    using Args = std::conditional_t<Receiver<First>::is, List<Rest...>, List<First, Rest...>>;
};

template <class L>
struct Count;
template <class... A>
struct Count<List<A...>> {
    static constexpr std::size_t value = sizeof...(A);
};

template <class... L>
struct Concat;
template <>
struct Concat<> {
    using type = List<>;
};
template <class... A>
struct Concat<List<A...>> {
    using type = List<A...>;
};
template <class... A, class... B, class... Rest>
struct Concat<List<A...>, List<B...>, Rest...> : Concat<List<A..., B...>, Rest...> {};

// The parameters a body parameter stands for: itself, or a group's members in order.
template <class T>
struct Fields {
    using type = List<T>;
};
template <Group T>
struct Fields<T> {
    template <class Tuple>
    struct Of;
    template <class... M>
    struct Of<std::tuple<M...>> {
        using type = List<FieldType<M>...>;
    };
    using type = typename Of<std::remove_cv_t<decltype(T::members)>>::type;
};

// The type of a group's member M.
template <class T, std::size_t M>
using MemberType = FieldType<std::remove_cvref_t<decltype(std::get<M>(T::members))>>;

template <class T>
using Bare = std::remove_cvref_t<T>;

// The declared parameters of a body's parameter list, groups spread out.
template <class L>
struct Flat;
template <class... A>
struct Flat<List<A...>> {
    using type = typename Concat<typename Fields<Bare<A>>::type...>::type;
};

// Where each body parameter's first declared parameter stands.
template <class... A>
constexpr std::array<std::size_t, sizeof...(A) + 1> offsets(List<A...>) {
    std::array<std::size_t, sizeof...(A) + 1> at{};
    const std::size_t widths[] = {0, Count<typename Fields<Bare<A>>::type>::value...};
    for (std::size_t k = 0; k < sizeof...(A); ++k) at[k + 1] = at[k] + widths[k + 1];
    return at;
}

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {
    using Inner = T;
};

template <class T>
constexpr bool fits(const Default& d) {
    using K = Default::Kind;
    if constexpr (IsOptional<T>::value) {
        return d.kind == K::none || fits<typename IsOptional<T>::Inner>(d);
    } else if constexpr (std::is_same_v<T, bool>) {
        return d.kind == K::boolean;
    } else if constexpr (std::is_integral_v<T>) {
        if (d.kind == K::integer) {
            if constexpr (std::is_unsigned_v<T>) {
                return d.integer >= 0 && static_cast<unsigned long long>(d.integer) <= std::numeric_limits<T>::max();
            } else {
                return d.integer >= std::numeric_limits<T>::min() && d.integer <= std::numeric_limits<T>::max();
            }
        }
        if (d.kind == K::natural) {
            return d.natural <= static_cast<unsigned long long>(std::numeric_limits<T>::max());
        }
        return false;
    } else if constexpr (std::is_same_v<T, double>) {
        // A whole-number literal is taken when the text signature spells it so ("=1").
        return d.kind == K::real || (d.kind == K::integer && static_cast<long long>(static_cast<double>(d.integer)) ==
                                                                 d.integer);
    } else if constexpr (std::is_same_v<T, std::string>) {
        return d.kind == K::text;
    } else if constexpr (std::is_same_v<T, Object>) {
        return d.kind == K::none;  // left out
    } else if constexpr (requires { typename DefaultAs<T>::type; }) {
        return fits<typename DefaultAs<T>::type>(d);
    } else {
        return false;  // records and arrays take no default but None, through std::optional
    }
}

// The value of a default, as the parameter's type.
template <class T>
T value_of(const Default& d) {
    using K = Default::Kind;
    if constexpr (IsOptional<T>::value) {
        return value_of<typename IsOptional<T>::Inner>(d);  // None is taken before
    } else if constexpr (std::is_same_v<T, bool>) {
        return d.boolean;
    } else if constexpr (std::is_integral_v<T>) {
        return d.kind == K::integer ? static_cast<T>(d.integer) : static_cast<T>(d.natural);
    } else if constexpr (std::is_same_v<T, double>) {
        return d.kind == K::real ? d.real : static_cast<double>(d.integer);
    } else if constexpr (std::is_same_v<T, std::string>) {
        return std::string(d.text);
    } else {
        return T{value_of<typename DefaultAs<T>::type>(d)};
    }
}

template <std::size_t N, class... A, std::size_t... I>
constexpr void check_defaults(const Callable<N>& c, List<A...>, std::index_sequence<I...>) {
    static_assert(sizeof...(A) == N, "the declaration names as many parameters as the body takes");
    static_assert((!std::is_pointer_v<Bare<A>> && ...), "an argument of any type is an Object, not a PyObject*");
    const bool fit[] = {true, (!c.has_default[I] || fits<Bare<A>>(c.defaults[I]))...};
    for (bool f : fit) {
        if (!f) signature_detail::declaration_error("a default does not fit its parameter's type");
    }
}

// What the binder keeps of an argument until the call: its converted value, or for a value
// that views arrays what its first step made (the views are taken as the body is called).
template <class T>
using Kept = PendingOf<T>;

// The argument in slot I converted to T, its default when absent; views are only checked.
template <const auto& C, class T, std::size_t I>
Kept<T> take(PyObject* const* slots) {
    PyObject* o = slots[I];
    if (o == nullptr) {
        if constexpr (!C.has_default[I]) {
            base::fault("a required argument was not bound");
        } else if constexpr (C.defaults[I].kind == Default::Kind::none) {
            return Kept<T>{};
        } else {
            return value_of<T>(C.defaults[I]);
        }
    }
    try {
        return check_py<T>(o);
    } catch (const ErrorSet&) {
        prefix_argument_error(C.names[I]);
        throw;
    }
}

// The argument as the body receives it. Taking a view runs no Python code, so the order
// in which a call's views are taken does not matter; it fails only when a conversion has
// since changed an array's dtype or shape, and is refused as the check would have been.
template <const auto& C, class T, std::size_t I>
decltype(auto) pass(Kept<T>& kept) {
    if constexpr (Deferred<T>) {
        try {
            return Converter<T>::view(std::move(kept));
        } catch (const ErrorSet&) {
            prefix_argument_error(C.names[I]);
            throw;
        }
    } else {
        return std::move(kept);
    }
}

// What a body returns, as the new reference the call entry hands back: a new reference or
// Ref as it is, a bound record wrapped, any other value converted.
template <class R>
PyObject* result(R&& r) {
    if constexpr (std::is_same_v<Bare<R>, PyObject*>) {
        return r;
    } else if constexpr (std::is_same_v<Bare<R>, Ref>) {
        return r.release();
    } else if constexpr (requires { Bound<Bare<R>>::name; }) {
        return wrap<Bare<R>>(std::forward<R>(r)).release();
    } else {
        return to_py(r).release();
    }
}

// The converted arguments of one call, each built where it stays until the body returns:
// a std::tuple would move every value in once more, a copy for most records.
template <std::size_t K, class T>
struct KeptSlot {
    T value;
};
template <class Order, class... T>
struct KeptAll;
template <std::size_t... K, class... T>
struct KeptAll<std::index_sequence<K...>, T...> : KeptSlot<K, T>... {};

template <std::size_t K, class T>
T& kept_at(KeptSlot<K, T>& slot) {
    return slot.value;
}

// A group built as it is passed, from the kept values of its members, which stand from
// slot O on.
template <const auto& C, class T, std::size_t O, class All, std::size_t... M>
T group_of(All& kept, std::index_sequence<M...>) {
    T group{};
    ((group.*std::get<M>(T::members) = pass<C, MemberType<T, M>, O + M>(kept_at<O + M>(kept))), ...);
    return group;
}

// A body parameter as the body receives it, from the declared parameter O on.
template <const auto& C, class T, std::size_t O, class All>
decltype(auto) pass_param(All& kept) {
    if constexpr (Group<T>) {
        return group_of<C, T, O>(kept, std::make_index_sequence<Count<typename Fields<T>::type>::value>{});
    } else {
        return pass<C, T, O>(kept_at<O>(kept));
    }
}

// Each declared parameter F, a group's members included, converted into its own slot J; a
// group is built only as it is passed. Braced initialisation converts left to right, in
// parameter order, and the slots are built in place in the caller. A body without
// parameters reads no slot.
template <const auto& C, class... F, std::size_t... J>
KeptAll<std::index_sequence<J...>, Kept<F>...> take_all([[maybe_unused]] PyObject* const* slots, List<F...>,
                                                        std::index_sequence<J...>) {
    return {{take<C, F, J>(slots)}...};
}

// The body called with its receiver, when it takes one, and its arguments.
template <const auto& C, class R, class... A, std::size_t... K>
PyObject* with_arguments(R* receiver, PyObject* const* slots, List<A...> args, std::index_sequence<K...>) {
    constexpr auto body = std::remove_cvref_t<decltype(C)>::body;
    constexpr auto at = offsets(args);
    using Spread = typename Flat<List<A...>>::type;
    auto kept = take_all<C>(slots, Spread{}, std::make_index_sequence<Count<Spread>::value>{});
    if constexpr (std::is_void_v<R>) {
        return result(body(pass_param<C, Bare<A>, at[K]>(kept)...));
    } else {
        return result(body(*receiver, pass_param<C, Bare<A>, at[K]>(kept)...));
    }
}

template <const auto& C>
PyObject* invoke(PyObject* self, PyObject* const* slots) {
    constexpr auto body = std::remove_cvref_t<decltype(C)>::body;
    using S = Split<typename BodyOf<std::remove_cv_t<decltype(body)>>::Params>;
    using Args = typename S::Args;
    constexpr auto order = std::make_index_sequence<Count<Args>::value>{};
    if constexpr (S::has_receiver) {
        auto receiver = Receiver<typename S::ReceiverType>::take(self);
        return with_arguments<C>(&receiver, slots, Args{}, order);
    } else {
        return with_arguments<C>(static_cast<void*>(nullptr), slots, Args{}, order);
    }
}

template <class T>
std::string annotation_of() {
    return Annotation<Bare<T>>::text();
}

template <const auto& C, class... A>
ListedCallable describe(List<A...>) {
    ListedCallable out{C.display, C.kind, {}, C.returns};
    std::size_t i = 0;
    ((out.params.push_back({C.names[i], annotation_of<A>(), C.has_default[i],
                            C.has_default[i] ? signature_detail::default_text(C.defaults[i]) : std::string()}),
      ++i),
     ...);
    return out;
}

// Listed once per declaration, when the binding layer is loaded; the stub is written from it.
template <const auto& C>
inline const bool kListed = [] {
    constexpr auto body = std::remove_cvref_t<decltype(C)>::body;
    using Args = typename Split<typename BodyOf<std::remove_cv_t<decltype(body)>>::Params>::Args;
    listing().callables.push_back(describe<C>(typename Flat<Args>::type{}));
    return true;
}();

template <auto Body, std::size_t N>
struct Declared : Callable<N> {
    static constexpr auto body = Body;
};

template <auto Body, std::size_t N>
consteval Declared<Body, N> declare(CallKind kind, const char* display, const Param* params, Returns returns,
                                    const char* description) {
    const Callable<N> c = signature_detail::declare<N>(kind, display, params, returns, description);
    using Args = typename Flat<typename Split<typename BodyOf<decltype(Body)>::Params>::Args>::type;
    check_defaults(c, Args{}, std::make_index_sequence<Count<Args>::value>{});
    return Declared<Body, N>{c};
}

}  // namespace declare_detail

// A module function.
template <auto Body, std::size_t N>
consteval auto function(const char* name, const Param (&params)[N], Returns returns, const char* description) {
    return declare_detail::declare<Body, N>(CallKind::function, name, params, returns, description);
}
template <auto Body>
consteval auto function(const char* name, Returns returns, const char* description) {
    return declare_detail::declare<Body, 0>(CallKind::function, name, nullptr, returns, description);
}

// A method on an instance: method<cancel_order>("KernelSession.cancel_order", {"idx", "order_id"}, ...).
template <auto Body, std::size_t N>
consteval auto method(const char* display, const Param (&params)[N], Returns returns, const char* description) {
    return declare_detail::declare<Body, N>(CallKind::method, display, params, returns, description);
}
template <auto Body>
consteval auto method(const char* display, Returns returns, const char* description) {
    return declare_detail::declare<Body, 0>(CallKind::method, display, nullptr, returns, description);
}

// A method reached through the class without an instance.
template <auto Body, std::size_t N>
consteval auto static_method(const char* display, const Param (&params)[N], Returns returns,
                             const char* description) {
    return declare_detail::declare<Body, N>(CallKind::static_method, display, params, returns, description);
}

// A class's constructor, declared as "Owner.__new__"; its docstring is the class's.
template <auto Body, std::size_t N>
consteval auto constructor(const char* display, const Param (&params)[N], Returns returns,
                           const char* description) {
    return declare_detail::declare<Body, N>(CallKind::constructor, display, params, returns, description);
}
template <auto Body>
consteval auto constructor(const char* display, Returns returns, const char* description) {
    return declare_detail::declare<Body, 0>(CallKind::constructor, display, nullptr, returns, description);
}

// ---------------------------------------------------------------------------
// Entries

// The most parameters one declaration may have: the binder's slots live on the stack.
inline constexpr std::size_t kMaxParams = 48;

// Module functions and methods (fast call with keywords).
template <const auto& C>
PyObject* typed_fast_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static_assert(kSignature<C>.count <= kMaxParams);
    return guarded([&] {
        PyObject* slots[kMaxParams];
        bind_fast(kSignature<C>, args, nargs, kwnames, slots);
        return declare_detail::invoke<C>(self, slots);
    });
}

// Constructors, as the class's Py_tp_new.
template <const auto& C>
PyObject* typed_new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static_assert(C.kind == CallKind::constructor);
    static_assert(kSignature<C>.count <= kMaxParams);
    return guarded([&] {
        PyObject* slots[kMaxParams];
        bind_tuple(kSignature<C>, args, kwargs, slots);
        return declare_detail::invoke<C>(reinterpret_cast<PyObject*>(type), slots);
    });
}

// Methods declared without parameters, called without arguments (METH_NOARGS).
template <const auto& C>
PyObject* typed_noargs_entry(PyObject* self, PyObject*) {
    return guarded([&] { return declare_detail::invoke<C>(self, nullptr); });
}

// The method-table row of a declared function, method or static method.
template <const auto& C>
PyMethodDef fast_method() {
    static_assert(C.kind != CallKind::constructor, "a constructor is the class's Py_tp_new");
    static_cast<void>(declare_detail::kListed<C>);
    const int flags = METH_FASTCALL | METH_KEYWORDS | (C.kind == CallKind::static_method ? METH_STATIC : 0);
    return {C.python_name(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(typed_fast_entry<C>)), flags,
            docstring<C>()};
}

// The method-table row of a declared method without parameters.
template <const auto& C>
PyMethodDef noargs() {
    static_assert(C.kind == CallKind::method && kSignature<C>.count == 0);
    static_cast<void>(declare_detail::kListed<C>);
    return {C.python_name(), typed_noargs_entry<C>, METH_NOARGS, docstring<C>()};
}

// The Py_tp_new and Py_tp_doc slots of a class with a declared constructor.
template <const auto& C>
PyType_Slot new_slot() {
    static_cast<void>(declare_detail::kListed<C>);
    return {Py_tp_new, reinterpret_cast<void*>(typed_new_entry<C>)};
}
template <const auto& C>
PyType_Slot doc_slot() {
    static_assert(C.kind == CallKind::constructor);
    return {Py_tp_doc, const_cast<char*>(docstring<C>())};
}

}  // namespace tarnwick::python
