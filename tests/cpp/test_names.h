// Names for the rows of parameterised tables.
//
// A row without a name is listed by its index, and ctest's test discovery then names it
// by a dump of its bytes ("144-byte object <01-00 ...>"), hundreds of characters that say
// nothing and pad every line of the run. Every table therefore gives its generator a name
// made of what the row means: its label, or the values that set it apart.
#pragma once

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <concepts>
#include <string>
#include <string_view>

namespace tarnwick::testing_support {

// `text` as a test name, GoogleTest taking only letters, digits and underscores: a sign
// reads "minus", a decimal point between digits "p", and any other run of characters
// becomes one underscore, none at either end ("pivot -2.500e-1" -> "pivot_minus2p500eminus1").
inline std::string test_name(std::string_view text) {
    auto alnum = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    std::string out;
    bool gap = false;
    auto put = [&](std::string_view s) {
        if (gap && !out.empty()) out += '_';
        gap = false;
        out += s;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char before = i > 0 ? text[i - 1] : ' ';
        const char after = i + 1 < text.size() ? text[i + 1] : ' ';
        if (alnum(c)) {
            put(std::string_view(&c, 1));
        } else if (c == '.' && digit(before) && digit(after)) {
            put("p");
        } else if (c == '-' && (digit(after) || (!alnum(before) && alnum(after)))) {
            // A sign, not a hyphen: "-3", "1e-5", "-inf", but "NSE-FUT" stays two words.
            if (!alnum(before)) gap = true;
            put("minus");
        } else {
            gap = true;
        }
    }
    return out;
}

// A number as a test name, shortest round-trip digits: "0p25", "minus1p5", "1eminus07",
// "1e21", "minus0", "nan", "inf". A name of digits alone reads as a row's index (and ctest's
// discovery then replaces it with a byte dump), so a table names what the number is too.
inline std::string number_name(double v) {
    if (std::isnan(v)) return "nan";
    char buf[32];
    const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    std::string text;
    for (const char* p = buf; p != end; ++p) {
        if (*p != '+') text += *p;
    }
    return test_name(text);
}

template <std::integral I>
std::string number_name(I v) {
    return test_name(std::to_string(v));
}

inline std::string name_part(std::string_view text) { return test_name(text); }
inline std::string name_part(double v) { return number_name(v); }
template <std::integral I>
std::string name_part(I v) {
    return number_name(v);
}

// The parts of a row's meaning joined by underscores: row_name("rows", 40, "assets", 8)
// gives "rows_40_assets_8". Empty parts are left out.
template <class... Parts>
std::string row_name(const Parts&... parts) {
    std::string out;
    auto add = [&](std::string part) {
        if (part.empty()) return;
        if (!out.empty()) out += '_';
        out += part;
    };
    (add(name_part(parts)), ...);
    return out;
}

// The generator of a table whose rows carry their meaning in a text field, `label` or `name`.
struct RowLabel {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
        if constexpr (requires { info.param.label; }) {
            return test_name(info.param.label);
        } else {
            return test_name(info.param.name);
        }
    }
};

}  // namespace tarnwick::testing_support
