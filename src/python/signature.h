// The declaration of one Python callable: its parameters, each named once with its default
// as a typed value, and its docstring, whose head is the text signature CPython parses
// ("macd(data, fast_period=12)\n--\n\n"), spelled from those values.
//
//     constexpr auto kMacd = function<macd>("macd", {"data", {"fast_period", 12}, {"signal_period", 9}},
//                                           Returns{"NDArray[np.float64]"}, "MACD indicator.");
//
// The body's own parameter types say what each argument converts to (python/declare.h);
// this header holds what needs no interpreter: the table the binder reads and the text.
#pragma once

#include <array>
#include <cstddef>
#include <limits>
#include <string>
#include <type_traits>

#include "base/format.h"

namespace tarnwick::python {

// What the binder reads. Every parameter is positional-or-keyword; the first `required`
// have no default.
struct Signature {
    const char* display;  // in binding messages: "sma", "KernelSession.step", "BacktestConfig.__new__"
    const char* const* names;
    std::size_t count;
    std::size_t required;
};

// Python's None, as a declared default.
struct NoneType {};
inline constexpr NoneType None{};

struct Shown;

// A parameter's default: a typed value. Its literal's own type decides how the text
// signature spells it (12, 2.0, "gtc", True, None), and it must fit the parameter's type.
struct Default {
    enum class Kind : unsigned char { none, boolean, integer, natural, real, text };

    constexpr Default() = default;
    constexpr Default(NoneType) {}
    constexpr Default(bool v) : kind(Kind::boolean), boolean(v) {}
    constexpr Default(int v) : kind(Kind::integer), integer(v) {}
    constexpr Default(long v) : kind(Kind::integer), integer(v) {}
    constexpr Default(long long v) : kind(Kind::integer), integer(v) {}
    constexpr Default(unsigned v) : kind(Kind::natural), natural(v) {}
    constexpr Default(unsigned long v) : kind(Kind::natural), natural(v) {}
    constexpr Default(unsigned long long v) : kind(Kind::natural), natural(v) {}
    constexpr Default(double v) : kind(Kind::real), real(v) {}
    constexpr Default(const char* v) : kind(Kind::text), text(v) {}
    constexpr Default(const Shown& s);

    Kind kind = Kind::none;
    bool boolean = false;
    long long integer = 0;
    unsigned long long natural = 0;
    double real = 0.0;
    const char* text = nullptr;
    const char* shown = nullptr;  // the text signature's spelling when it is not the value's
};

// A default that the text signature shows as something other than its value:
// Shown{"...", kDpSellChargePerIsinPerDay}.
struct Shown {
    const char* text;
    Default value;
};

constexpr Default::Default(const Shown& s) : Default(s.value) { shown = s.text; }

struct Param {
    constexpr Param() = default;
    constexpr Param(const char* n) : name(n) {}  // a bare name is a required parameter
    constexpr Param(const char* n, Default d) : name(n), has_default(true), value(d) {}
    const char* name = nullptr;
    bool has_default = false;
    Default value;
};

// The annotation of what a callable returns, for the generated stub.
struct Returns {
    const char* annotation;
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
    std::array<bool, N> has_default;
    std::array<Default, N> defaults;
    std::size_t required;
    const char* returns;      // the stub's return annotation
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

// A text default is shown between double quotes as it stands, so it holds neither quotes
// nor backslashes; "None" as text is most often None written as a string.
constexpr bool is_plain_text(const char* s) {
    if (equal(s, "None")) return false;
    for (; *s != '\0'; ++s) {
        if (*s == '"' || *s == '\\' || *s == '\n') return false;
    }
    return true;
}

constexpr bool is_finite(double v) {
    return v >= -std::numeric_limits<double>::max() && v <= std::numeric_limits<double>::max();
}

template <std::size_t N>
consteval Callable<N> declare(CallKind kind, const char* display, const Param* params, Returns returns,
                              const char* description) {
    Callable<N> c{kind, display, {}, {}, {}, 0, returns.annotation, description == nullptr ? "" : description};
    const std::size_t owner = c.owner_length();
    const bool constructor_name = equal(display + owner, "__new__");
    if ((kind == CallKind::function) != (owner == 0)) {
        declaration_error("a module function has no owner; a method, static method or constructor has one");
    }
    if ((kind == CallKind::constructor) != constructor_name) declaration_error("a constructor is Owner.__new__");
    if (returns.annotation == nullptr || *returns.annotation == '\0') declaration_error("say what it returns");
    for (std::size_t i = 0; i < N; ++i) {
        // A name that is not lower-case snake_case is most often a default written as a
        // second name: {"price", "None"} where {{"price", None}} was meant.
        if (!is_parameter_name(params[i].name)) declaration_error("parameter names are lower-case snake_case");
        if (!params[i].has_default && i != c.required) {
            declaration_error("a required parameter follows one with a default");
        }
        if (params[i].has_default && params[i].value.kind == Default::Kind::text &&
            !is_plain_text(params[i].value.text)) {
            declaration_error("a text default holds no quotes, backslashes or line breaks, and None is None");
        }
        // CPython reads the text signature as Python source, where inf and nan are no
        // literals: the whole signature would be dropped.
        if (params[i].has_default && params[i].value.kind == Default::Kind::real && params[i].value.shown == nullptr &&
            !is_finite(params[i].value.real)) {
            declaration_error("a float default is finite, or Shown with the spelling it reads as");
        }
        if (!params[i].has_default) ++c.required;
        c.names[i] = params[i].name;
        c.has_default[i] = params[i].has_default;
        c.defaults[i] = params[i].value;
    }
    return c;
}

// A float as Python's repr writes it, except that an exponent is not padded: 1e-8, 1e+16.
inline std::string real_text(double v) {
    std::string out = base::fmt::debug(v);
    const std::size_t e = out.find('e');
    if (e != std::string::npos && out[e + 1] != '-') out.insert(e + 1, 1, '+');
    return out;
}

inline std::string default_text(const Default& d) {
    if (d.shown != nullptr) return d.shown;
    switch (d.kind) {
        case Default::Kind::none: return "None";
        case Default::Kind::boolean: return d.boolean ? "True" : "False";
        case Default::Kind::integer: return std::to_string(d.integer);
        case Default::Kind::natural: return std::to_string(d.natural);
        case Default::Kind::real: return real_text(d.real);
        case Default::Kind::text: return std::string("\"") + d.text + "\"";
    }
    return "None";
}

template <std::size_t N>
std::string render_docstring(const Callable<N>& c) {
    std::string out;
    const std::size_t owner = c.owner_length();
    if (c.kind == CallKind::constructor) {
        out.append(c.display, owner - 1);
    } else {
        out += c.python_name();
    }
    out += "(";
    if (c.kind == CallKind::method) out += N == 0 ? "$self" : "$self, ";
    for (std::size_t i = 0; i < N; ++i) {
        if (i > 0) out += ", ";
        out += c.names[i];
        if (c.has_default[i]) out += "=" + default_text(c.defaults[i]);
    }
    out += ")\n--\n\n";
    out += c.description;
    return out;
}

}  // namespace signature_detail

// The binder's table of a declaration, in static storage.
template <const auto& C>
inline constexpr Signature kSignature = C.signature();

// The docstring of a declaration, spelled once on first use and kept for the life of the
// process (CPython holds on to it).
template <const auto& C>
const char* docstring() {
    static const std::string text = signature_detail::render_docstring(C);
    return text.c_str();
}

}  // namespace tarnwick::python
