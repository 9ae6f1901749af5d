// A dense matrix of 64-bit floats in row-major order (row 0 first).
#pragma once

#include <cstddef>
#include <vector>

namespace tarnwick::base {

struct Matrix {
    std::vector<double> data;  // rows * cols elements
    std::size_t rows = 0;
    std::size_t cols = 0;

    double operator()(std::size_t r, std::size_t c) const { return data[r * cols + c]; }
    double& operator()(std::size_t r, std::size_t c) { return data[r * cols + c]; }
};

}  // namespace tarnwick::base
