// Text forms of numbers and strings used in every message and representation.
//
// shortest():  shortest round-trip decimal, never an exponent, whole numbers without ".0"
//              (252.0 -> "252", 1e-7 -> "0.0000001").
// fixed(v, n): n digits after the point, correctly rounded from the exact binary value,
//              exact ties to the even digit.
// exp(v, n):   n digits after the point in exponent form with a bare exponent ("1.23e3",
//              "1.00e-5").
// debug():     shortest round-trip decimal keeping ".0" on whole numbers, exponent form at
//              magnitudes >= 1e16 or < 1e-4 ("25.0", "1e16", "1.5e-5").
// optional():  "Some(<debug>)" or "None".
// quoted():    the text between double quotes with \" \\ \0 \t \n \r and \u{hex} escapes.
// Not-a-number is "NaN" and infinities "inf" / "-inf" in every numeric form.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::base::fmt {

std::string shortest(double v);
std::string fixed(double v, int precision);
std::string exp(double v, int precision);
std::string debug(double v);
std::string optional(std::optional<double> v);
std::string quoted(std::string_view text);
inline const char* boolean(bool v) { return v ? "true" : "false"; }

inline std::string text(std::string_view s) { return std::string(s); }
inline std::string text(const char* s) { return std::string(s); }
inline std::string text(const std::string& s) { return s; }
inline std::string text(bool v) { return boolean(v); }
inline std::string text(double v) { return shortest(v); }
template <std::integral I>
    requires(!std::same_as<I, bool>)
std::string text(I v) {
    return std::to_string(v);
}

void append_until_placeholder(std::string& out, std::string_view& rest);

// Replaces each "{}" of the template, left to right, with the text of the next argument.
template <class... Args>
std::string format(std::string_view tmpl, const Args&... args) {
    std::string out;
    out.reserve(tmpl.size() + 16 * sizeof...(Args));
    std::string_view rest = tmpl;
    ((append_until_placeholder(out, rest), out += text(args)), ...);
    out += rest;
    return out;
}

}  // namespace tarnwick::base::fmt
