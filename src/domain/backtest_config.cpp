#include "domain/backtest_config.h"

#include <array>
#include <cmath>

#include "base/format.h"

namespace tarnwick::domain {

using base::OwnError;
using base::Result;
using base::Status;
using base::Unit;
using base::err;

std::string_view name(FillTiming t) {
    switch (t) {
        case FillTiming::SameBarClose: return "same_bar_close";
        case FillTiming::NextBarOpen: return "next_bar_open";
        case FillTiming::SameBarOpenLookahead: return "same_bar_open_lookahead";
    }
    return {};
}

Result<FillTiming, OwnError> parse_fill_timing(std::string_view text) {
    const std::string_view t = trim_unicode_space(text);
    for (FillTiming f : {FillTiming::SameBarClose, FillTiming::NextBarOpen, FillTiming::SameBarOpenLookahead}) {
        if (t == name(f)) return f;
    }
    return err(OwnError{
        base::fmt::format("invalid fill_timing {}; expected \"same_bar_close\", \"next_bar_open\", or "
                          "\"same_bar_open_lookahead\" (the pre-0.11 look-ahead, for reproducing old results only)",
                          base::fmt::quoted(text))});
}

Status<OwnError> check_fees(double fees) {
    if (fees > -1.0 && fees < 1.0) return Unit{};
    return err(OwnError{base::fmt::format("fees must be finite and between -1 and 1, got {}", fees)});
}

Status<OwnError> check_slippage_fraction(std::string_view field, double value) {
    if (std::isfinite(value) && value > -1.0 && value < 1.0) return Unit{};
    return err(OwnError{base::fmt::format("{} must be finite and within (-1, 1), got {}", field, value)});
}

Status<OwnError> check_probability(std::string_view field, double value) {
    if (value >= 0.0 && value <= 1.0) return Unit{};
    return err(OwnError{base::fmt::format("{} must be a probability in [0, 1], got {}", field, value)});
}

Status<OwnError> check_positive(std::string_view field, double value) {
    if (is_positive(value)) return Unit{};
    return err(OwnError{base::fmt::format("{} must be finite and above 0, got {}", field, value)});
}

Status<OwnError> check_atr_period(std::uint64_t period) {
    if (period > 0) return Unit{};
    return err(OwnError{base::fmt::format("period must be above 0, got {}", period)});
}

Status<OwnError> check_money_fields(const BacktestConfig& c) {
    if (auto ok = check_positive("initial_capital", c.initial_capital); !ok) return ok;
    if (auto ok = check_fees(c.fees); !ok) return ok;
    if (auto ok = check_slippage_fraction("slippage", c.slippage); !ok) return ok;
    if (auto ok = check_slippage_fraction("limit_slippage", c.limit_slippage); !ok) return ok;
    return check_probability("fill_prob_slippage", c.fill_prob_slippage);
}

namespace {

// Length of the White_Space code point starting text (0 when there is none).
std::size_t space_len_front(std::string_view s) {
    if (s.empty()) return 0;
    const auto b0 = static_cast<unsigned char>(s[0]);
    if ((b0 >= 0x09 && b0 <= 0x0d) || b0 == 0x20) return 1;
    auto starts = [&](std::string_view p) { return s.substr(0, p.size()) == p; };
    static constexpr std::array<std::string_view, 2> kTwo = {"\xc2\x85", "\xc2\xa0"};
    for (auto p : kTwo)
        if (starts(p)) return 2;
    if (starts("\xe1\x9a\x80")) return 3;  // U+1680
    if (s.size() >= 3 && b0 == 0xe2) {
        const auto b1 = static_cast<unsigned char>(s[1]);
        const auto b2 = static_cast<unsigned char>(s[2]);
        if (b1 == 0x80 && ((b2 >= 0x80 && b2 <= 0x8a) || b2 == 0xa8 || b2 == 0xa9 || b2 == 0xaf)) return 3;
        if (b1 == 0x81 && b2 == 0x9f) return 3;  // U+205F
    }
    if (starts("\xe3\x80\x80")) return 3;  // U+3000
    return 0;
}

std::size_t space_len_back(std::string_view s) {
    for (std::size_t n = 1; n <= 3 && n <= s.size(); ++n) {
        const std::string_view tail = s.substr(s.size() - n);
        if (space_len_front(tail) == n) return n;
    }
    return 0;
}

// An optional single "+", then ASCII digits only, at most 4294967295.
std::optional<std::uint32_t> parse_u32(std::string_view s) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
        if (v > 0xffffffffULL) return std::nullopt;
    }
    return static_cast<std::uint32_t>(v);
}

}  // namespace

std::string_view trim_unicode_space(std::string_view text) {
    while (std::size_t n = space_len_front(text)) text.remove_prefix(n);
    while (std::size_t n = space_len_back(text)) text.remove_suffix(n);
    return text;
}

Result<std::uint32_t, OwnError> parse_squareoff_time(std::string_view text) {
    auto fail = [&] {
        return err(OwnError{base::fmt::format(
            "invalid squareoff_time {}; expected 24-hour \"HH:MM\" local time, e.g. \"15:25\" for NSE. "
            "Pass None to disable squareoff.",
            base::fmt::quoted(text))});
    };
    const std::string_view t = trim_unicode_space(text);
    const std::size_t colon = t.find(':');
    if (colon == std::string_view::npos) return fail();
    const auto hour = parse_u32(trim_unicode_space(t.substr(0, colon)));
    const auto minute = parse_u32(trim_unicode_space(t.substr(colon + 1)));
    if (!hour || !minute || *hour > 23 || *minute > 59) return fail();
    return *hour * 60 + *minute;
}

}  // namespace tarnwick::domain
