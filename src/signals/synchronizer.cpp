#include "signals/synchronizer.h"

#include <cstddef>

#include "base/fault.h"
#include "base/format.h"

namespace tarnwick::signals::synchronizer {

using base::OwnError;
using base::Result;
using base::err;
using base::fault;

SyncMode parse(std::string_view text) noexcept {
    if (text == "any") return SyncMode::Any;
    if (text == "majority") return SyncMode::Majority;
    if (text == "master") return SyncMode::Master;
    return SyncMode::All;
}

std::string_view name(SyncMode mode) noexcept {
    switch (mode) {
        case SyncMode::All: return "all";
        case SyncMode::Any: return "any";
        case SyncMode::Majority: return "majority";
        case SyncMode::Master: return "master";
    }
    return "all";
}

namespace {

enum class Side : std::uint8_t { Entry, Exit };

// The vote of `mode` for one side, c of n columns set.
bool vote(SyncMode mode, Side side, std::size_t c, std::size_t n) noexcept {
    switch (mode) {
        case SyncMode::All: return side == Side::Entry ? c == n : c >= 1;
        case SyncMode::Any: return side == Side::Entry ? c >= 1 : c == n;
        case SyncMode::Majority: return c >= n - n / 2;
        case SyncMode::Master: return false;  // decided from the first column by the caller
    }
    return false;
}

Result<std::vector<std::uint8_t>, OwnError> combine(std::span<const std::span<const std::uint8_t>> columns,
                                                    SyncMode mode, Side side) {
    const std::size_t len = columns.front().size();
    for (const auto& column : columns) {
        if (column.size() != len) {
            return err(OwnError{
                base::fmt::format("All signal arrays must have same length: got {}, expected {}", column.size(), len)});
        }
    }
    std::vector<std::uint8_t> out(len, 0);
    if (mode == SyncMode::Master) {
        for (std::size_t t = 0; t < len; ++t) out[t] = columns.front()[t] != 0 ? 1 : 0;
        return out;
    }
    const std::size_t n = columns.size();
    for (std::size_t t = 0; t < len; ++t) {
        std::size_t c = 0;
        for (const auto& column : columns) c += column[t] != 0 ? 1 : 0;
        out[t] = vote(mode, side, c, n) ? 1 : 0;
    }
    return out;
}

}  // namespace

Result<Combined, OwnError> synchronize(std::span<const std::span<const std::uint8_t>> entries,
                                       std::span<const std::span<const std::uint8_t>> exits, SyncMode mode) {
    if (entries.empty() || exits.size() != entries.size()) {
        fault("synchronize needs one entry and one exit column per instrument");
    }
    auto e = combine(entries, mode, Side::Entry);
    if (!e.ok()) return err(std::move(e).error());
    auto x = combine(exits, mode, Side::Exit);
    if (!x.ok()) return err(std::move(x).error());
    return Combined{std::move(e).value(), std::move(x).value()};
}

}  // namespace tarnwick::signals::synchronizer
