// Declarations whose defaults are written as the text signature shows them, for the
// bindings files not yet moved to typed declarations.
#pragma once

#include "python/signature.h"

namespace tarnwick::python {

struct LegacyParam {
    constexpr LegacyParam(const char* n) : name(n) {}
    constexpr LegacyParam(const char* n, const char* shown) : name(n), shown_default(shown) {}
    const char* name;
    const char* shown_default = nullptr;
};

namespace signature_detail {

template <std::size_t N>
consteval Callable<N> declare_legacy(CallKind kind, const char* display, const LegacyParam* params,
                                     const char* description) {
    Param typed[N == 0 ? 1 : N]{};
    for (std::size_t i = 0; i < N; ++i) {
        typed[i] = params[i].shown_default == nullptr
                       ? Param(params[i].name)
                       : Param(params[i].name, Shown{params[i].shown_default, Default{}});
    }
    return declare<N>(kind, display, typed, Returns{"object"}, description);
}

}  // namespace signature_detail

template <std::size_t N>
consteval Callable<N> function(const char* name, const LegacyParam (&params)[N], const char* description) {
    return signature_detail::declare_legacy<N>(CallKind::function, name, params, description);
}
consteval Callable<0> function(const char* name, const char* description) {
    return signature_detail::declare_legacy<0>(CallKind::function, name, nullptr, description);
}
template <std::size_t N>
consteval Callable<N> method(const char* display, const LegacyParam (&params)[N], const char* description) {
    return signature_detail::declare_legacy<N>(CallKind::method, display, params, description);
}
consteval Callable<0> method(const char* display, const char* description) {
    return signature_detail::declare_legacy<0>(CallKind::method, display, nullptr, description);
}
template <std::size_t N>
consteval Callable<N> static_method(const char* display, const LegacyParam (&params)[N], const char* description) {
    return signature_detail::declare_legacy<N>(CallKind::static_method, display, params, description);
}
template <std::size_t N>
consteval Callable<N> constructor(const char* display, const LegacyParam (&params)[N], const char* description) {
    return signature_detail::declare_legacy<N>(CallKind::constructor, display, params, description);
}
consteval Callable<0> constructor(const char* display, const char* description) {
    return signature_detail::declare_legacy<0>(CallKind::constructor, display, nullptr, description);
}

}  // namespace tarnwick::python
