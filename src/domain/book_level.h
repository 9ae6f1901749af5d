// One price level of an order book, and how many levels a side every book and depth
// snapshot keeps.
#pragma once

#include <cstddef>

namespace tarnwick::domain {

inline constexpr std::size_t BOOK_LEVELS = 5;

struct BookLevel {
    double price = 0.0;
    double size = 0.0;  // NaN when the update carried no usable size
};

}  // namespace tarnwick::domain
