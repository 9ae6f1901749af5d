// A value or an error: how code below the Python boundary reports failure.
#pragma once

#include <utility>
#include <variant>

#include "base/fault.h"

namespace tarnwick::base {

template <class E>
struct Err {
    E error;
};

template <class E>
Err<std::decay_t<E>> err(E&& e) {
    return Err<std::decay_t<E>>{std::forward<E>(e)};
}

template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    template <class U>
    Result(Err<U> e) : v_(std::in_place_index<1>, E(std::move(e.error))) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & {
        if (!ok()) fault("called value() on an error result");
        return std::get<0>(v_);
    }
    const T& value() const& {
        if (!ok()) fault("called value() on an error result");
        return std::get<0>(v_);
    }
    T&& value() && {
        if (!ok()) fault("called value() on an error result");
        return std::get<0>(std::move(v_));
    }
    const E& error() const& {
        if (ok()) fault("called error() on a value result");
        return std::get<1>(v_);
    }
    E&& error() && {
        if (ok()) fault("called error() on a value result");
        return std::get<1>(std::move(v_));
    }

    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

private:
    std::variant<T, E> v_;
};

// Result of an operation with no value.
struct Unit {};

template <class E>
using Status = Result<Unit, E>;

}  // namespace tarnwick::base
