#include "base/format.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace tarnwick::base::fmt {
namespace {

bool non_finite(double v, std::string& out) {
    if (std::isnan(v)) {
        out = "NaN";
        return true;
    }
    if (std::isinf(v)) {
        out = v < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

// Shortest round-trip digits of |v| and the decimal exponent of the first digit.
struct Digits {
    std::string digits;  // no leading or trailing zeros, at least one digit
    int exponent;        // v = 0.d1d2d3... x 10^(exponent + 1)
};

Digits shortest_digits(double v) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific);
    std::string_view s(buf, static_cast<std::size_t>(res.ptr - buf));
    std::size_t e = s.find('e');
    Digits d;
    for (char c : s.substr(0, e)) {
        if (c != '.') d.digits += c;
    }
    d.exponent = std::atoi(std::string(s.substr(e + 1)).c_str());
    while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
    return d;
}

std::string plain(const Digits& d, bool keep_point_zero) {
    std::string out;
    const int n = static_cast<int>(d.digits.size());
    if (d.exponent < 0) {
        out = "0.";
        out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
        out += d.digits;
    } else if (d.exponent + 1 >= n) {
        out = d.digits;
        out.append(static_cast<std::size_t>(d.exponent + 1 - n), '0');
        if (keep_point_zero) out += ".0";
    } else {
        out = d.digits.substr(0, static_cast<std::size_t>(d.exponent + 1));
        out += '.';
        out += d.digits.substr(static_cast<std::size_t>(d.exponent + 1));
    }
    return out;
}

}  // namespace

std::string shortest(double v) {
    std::string out;
    if (non_finite(v, out)) return out;
    if (v == 0.0) return std::signbit(v) ? "-0" : "0";
    out = plain(shortest_digits(v), false);
    return std::signbit(v) ? "-" + out : out;
}

std::string debug(double v) {
    std::string out;
    if (non_finite(v, out)) return out;
    if (v == 0.0) return std::signbit(v) ? "-0.0" : "0.0";
    const double mag = std::fabs(v);
    Digits d = shortest_digits(v);
    if (mag >= 1e16 || mag < 1e-4) {
        out = d.digits.substr(0, 1);
        if (d.digits.size() > 1) {
            out += '.';
            out += d.digits.substr(1);
        }
        out += 'e';
        out += std::to_string(d.exponent);
    } else {
        out = plain(d, true);
    }
    return std::signbit(v) ? "-" + out : out;
}

std::string fixed(double v, int precision) {
    std::string out;
    if (non_finite(v, out)) return out;
    out.resize(400 + static_cast<std::size_t>(precision));
    auto res = std::to_chars(out.data(), out.data() + out.size(), v, std::chars_format::fixed, precision);
    out.resize(static_cast<std::size_t>(res.ptr - out.data()));
    return out;
}

std::string exp(double v, int precision) {
    std::string out;
    if (non_finite(v, out)) return out;
    char buf[512];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, precision);
    std::string_view s(buf, static_cast<std::size_t>(res.ptr - buf));
    std::size_t e = s.find('e');
    out = std::string(s.substr(0, e + 1));
    out += std::to_string(std::atoi(std::string(s.substr(e + 1)).c_str()));
    return out;
}

std::string optional(std::optional<double> v) { return v ? "Some(" + debug(*v) + ")" : "None"; }

namespace {

// Code points written as \u{hex}: controls, format characters and the line and
// paragraph separators, which would otherwise be invisible or break a message.
bool escaped(char32_t c) {
    if (c < 0x20 || (c >= 0x7f && c <= 0x9f)) return true;
    if (c == 0xad || c == 0x61c || c == 0x180e) return true;
    if ((c >= 0x200b && c <= 0x200f) || (c >= 0x2028 && c <= 0x202e) || (c >= 0x2060 && c <= 0x206f)) return true;
    if (c == 0xfeff || (c >= 0xfff9 && c <= 0xfffb) || c == 0xfffe || c == 0xffff) return true;
    if (c >= 0xe000 && c <= 0xf8ff) return true;
    return false;
}

// Decodes one UTF-8 sequence; invalid bytes come back as themselves (as U+FFFD-free raw values).
char32_t decode(std::string_view s, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    auto cont = [&](std::size_t k) -> int {
        if (i + k >= s.size()) return -1;
        const auto b = static_cast<unsigned char>(s[i + k]);
        return (b & 0xc0) == 0x80 ? (b & 0x3f) : -1;
    };
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int len = (b0 >> 5) == 6 ? 2 : (b0 >> 4) == 14 ? 3 : (b0 >> 3) == 30 ? 4 : 0;
    if (len == 0) {
        ++i;
        return 0xfffd;
    }
    char32_t c = b0 & (0x7f >> len);
    for (int k = 1; k < len; ++k) {
        int bits = cont(static_cast<std::size_t>(k));
        if (bits < 0) {
            ++i;
            return 0xfffd;
        }
        c = (c << 6) | static_cast<char32_t>(bits);
    }
    i += static_cast<std::size_t>(len);
    return c;
}

}  // namespace

std::string quoted(std::string_view text) {
    std::string out = "\"";
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t start = i;
        const char32_t c = decode(text, i);
        switch (c) {
            case U'"': out += "\\\""; continue;
            case U'\\': out += "\\\\"; continue;
            case U'\0': out += "\\0"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\n': out += "\\n"; continue;
            case U'\r': out += "\\r"; continue;
            default: break;
        }
        if (escaped(c)) {
            char buf[16];
            auto res = std::to_chars(buf, buf + sizeof buf, static_cast<std::uint32_t>(c), 16);
            out += "\\u{";
            out.append(buf, res.ptr);
            out += '}';
        } else {
            out.append(text.substr(start, i - start));
        }
    }
    out += '"';
    return out;
}

void append_until_placeholder(std::string& out, std::string_view& rest) {
    const std::size_t at = rest.find("{}");
    if (at == std::string_view::npos) {
        out += rest;
        rest = {};
        return;
    }
    out += rest.substr(0, at);
    rest.remove_prefix(at + 2);
}

}  // namespace tarnwick::base::fmt
