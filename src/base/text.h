// Text helpers shared by the parsers of names given by callers.
#pragma once

#include <string>
#include <string_view>

namespace tarnwick::base {

// A copy with 'A'..'Z' lower-cased and every other byte unchanged. Every accepted name
// is ASCII, and no character outside ASCII lower-cases onto an ASCII letter, so this
// decides a match exactly as full case mapping would.
inline std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

}  // namespace tarnwick::base
