// The declaration of one Python callable: its parameter table, which the binder reads, and
// its docstring, whose head is the text signature CPython parses ("sma(data, period)\n--\n\n"),
// both produced from the one declaration at compile time.
//
//     constexpr auto kMacd = function("macd", {"data", {"fast_period", "12"}, {"signal_period", "9"}},
//                                     "MACD indicator.");
//
// A parameter is a name, or a name and its default as the text signature shows it. The
// count and the number of required parameters come from the table.
#pragma once

#include <array>
#include <cstddef>

namespace tarnwick::python {

// What the binder reads. Every parameter is positional-or-keyword; the first `required`
// have no default.
struct Signature {
    const char* display;  // in binding messages: "sma", "KernelSession.step", "BacktestConfig.__new__"
    const char* const* names;
    std::size_t count;
    std::size_t required;
};

struct Param {
    constexpr Param(const char* n) : name(n) {}  // a bare name is a required parameter
    constexpr Param(const char* n, const char* shown) : name(n), shown_default(shown) {}
    const char* name;
    const char* shown_default = nullptr;  // NULL: required
};

// How Python reaches the callable, which decides the head of its text signature: a module
// function and a static method show their name, a method "$self" first, a constructor the
// name of its class.
enum class CallKind : unsigned char { function, method, static_method, constructor };

template <std::size_t N>
struct Callable {
    CallKind kind;
    const char* display;
    std::array<const char*, N> names;
    std::array<const char*, N> shown_defaults;
    std::size_t required;
    const char* description;  // the docstring after the text signature

    constexpr Signature signature() const { return {display, names.data(), N, required}; }

    // The attribute name: what follows the owner's name and its dot.
    constexpr const char* python_name() const { return display + owner_length(); }

    constexpr std::size_t owner_length() const {
        std::size_t dot = 0;
        for (std::size_t i = 0; display[i] != '\0'; ++i) {
            if (display[i] == '.') dot = i + 1;
        }
        return dot;
    }
};

namespace signature_detail {

// Reached only in constant evaluation, where it stops the build at the faulty declaration.
inline void declaration_error(const char*) {}

constexpr bool equal(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

constexpr bool is_parameter_name(const char* s) {
    if (*s == '\0' || (*s >= '0' && *s <= '9')) return false;
    for (; *s != '\0'; ++s) {
        const bool ok = (*s >= 'a' && *s <= 'z') || (*s >= '0' && *s <= '9') || *s == '_';
        if (!ok) return false;
    }
    return true;
}

template <std::size_t N>
consteval Callable<N> declare(CallKind kind, const char* display, const Param* params, const char* description) {
    Callable<N> c{kind, display, {}, {}, 0, description == nullptr ? "" : description};
    const std::size_t owner = c.owner_length();
    const bool constructor_name = equal(display + owner, "__new__");
    if ((kind == CallKind::function) != (owner == 0)) {
        declaration_error("a module function has no owner; a method, static method or constructor has one");
    }
    if ((kind == CallKind::constructor) != constructor_name) declaration_error("a constructor is Owner.__new__");
    for (std::size_t i = 0; i < N; ++i) {
        // A name that is not lower-case snake_case is most often a default written as a
        // second name: {"price", "None"} where {{"price", "None"}} was meant.
        if (!is_parameter_name(params[i].name)) declaration_error("parameter names are lower-case snake_case");
        if (params[i].shown_default == nullptr && i != c.required) {
            declaration_error("a required parameter follows one with a default");
        }
        if (params[i].shown_default == nullptr) ++c.required;
        c.names[i] = params[i].name;
        c.shown_defaults[i] = params[i].shown_default;
    }
    return c;
}

// Writes the docstring through `put`, or counts its characters.
template <std::size_t N, class Sink>
constexpr void docstring_into(const Callable<N>& c, Sink& out) {
    const std::size_t owner = c.owner_length();
    if (c.kind == CallKind::constructor) {
        for (std::size_t i = 0; i + 1 < owner; ++i) out.put(c.display[i]);
    } else {
        out.put(c.python_name());
    }
    out.put("(");
    if (c.kind == CallKind::method) out.put(N == 0 ? "$self" : "$self, ");
    for (std::size_t i = 0; i < N; ++i) {
        if (i > 0) out.put(", ");
        out.put(c.names[i]);
        if (c.shown_defaults[i] != nullptr) {
            out.put("=");
            out.put(c.shown_defaults[i]);
        }
    }
    out.put(")\n--\n\n");
    out.put(c.description);
}

struct Counter {
    std::size_t size = 0;
    constexpr void put(const char* s) {
        while (*s++ != '\0') ++size;
    }
    constexpr void put(char) { ++size; }
};

template <std::size_t Size>
struct Writer {
    std::array<char, Size> text{};
    std::size_t at = 0;
    constexpr void put(const char* s) {
        while (*s != '\0') text[at++] = *s++;
    }
    constexpr void put(char ch) { text[at++] = ch; }
};

template <std::size_t N>
constexpr std::size_t docstring_size(const Callable<N>& c) {
    Counter count;
    docstring_into(c, count);
    return count.size;
}

template <const auto& C>
consteval auto render_docstring() {
    Writer<docstring_size(C) + 1> w;  // the array's last element stays NUL
    docstring_into(C, w);
    return w.text;
}

}  // namespace signature_detail

// A module function: function("sma", {"data", "period"}, "Simple Moving Average.").
template <std::size_t N>
consteval Callable<N> function(const char* name, const Param (&params)[N], const char* description) {
    return signature_detail::declare<N>(CallKind::function, name, params, description);
}
consteval Callable<0> function(const char* name, const char* description) {
    return signature_detail::declare<0>(CallKind::function, name, nullptr, description);
}

// A method on an instance: method("KernelSession.cancel_order", {"idx", "order_id"}, "...").
template <std::size_t N>
consteval Callable<N> method(const char* display, const Param (&params)[N], const char* description) {
    return signature_detail::declare<N>(CallKind::method, display, params, description);
}
consteval Callable<0> method(const char* display, const char* description) {
    return signature_detail::declare<0>(CallKind::method, display, nullptr, description);
}

// A method reached through the class without an instance: static_method("Indicator.sma", {"period"}, "").
template <std::size_t N>
consteval Callable<N> static_method(const char* display, const Param (&params)[N], const char* description) {
    return signature_detail::declare<N>(CallKind::static_method, display, params, description);
}

// A class's constructor, declared as "Owner.__new__"; its docstring is the class's.
template <std::size_t N>
consteval Callable<N> constructor(const char* display, const Param (&params)[N], const char* description) {
    return signature_detail::declare<N>(CallKind::constructor, display, params, description);
}
consteval Callable<0> constructor(const char* display, const char* description) {
    return signature_detail::declare<0>(CallKind::constructor, display, nullptr, description);
}

// The binder's table of a declaration, and its docstring, both in static storage.
template <const auto& C>
inline constexpr Signature kSignature = C.signature();

template <const auto& C>
inline constexpr auto kDocstring = signature_detail::render_docstring<C>();

template <const auto& C>
constexpr const char* docstring() {
    return kDocstring<C>.data();
}

}  // namespace tarnwick::python
