// A declaration's parameter list put together from pieces, so that parameters several
// callables share (and their defaults) are written once, beside the group their bodies
// take:
//
//     constexpr auto kStepParams = splice({"idx"}, kBarParams, kIntentParams);
//     constexpr auto kStep = method<step>("KernelSession.step", kStepParams.items, Returns{...}, "...");
#pragma once

#include <cstddef>

#include "python/signature.h"

namespace tarnwick::python {

template <std::size_t N>
struct ParamList {
    Param items[N];
};

namespace param_list_detail {

template <std::size_t Total, std::size_t N>
consteval void append(ParamList<Total>& out, std::size_t& at, const Param (&part)[N]) {
    for (const Param& p : part) out.items[at++] = p;
}

}  // namespace param_list_detail

// The pieces one after the other, in the order given.
template <std::size_t... N>
consteval ParamList<(N + ...)> splice(const Param (&... parts)[N]) {
    ParamList<(N + ...)> out{};
    std::size_t at = 0;
    (param_list_detail::append(out, at, parts), ...);
    return out;
}

}  // namespace tarnwick::python
