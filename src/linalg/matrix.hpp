// A small dense row-major matrix. Sizes in this library are tens to a few
// hundred, so plain loops over it are enough.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace kelvara::linalg {

struct Matrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> data;

    Matrix() = default;
    Matrix(std::size_t r, std::size_t c) : rows(r), cols(c), data(r * c, 0.0) {}
    double& operator()(std::size_t i, std::size_t j) { return data[i * cols + j]; }
    double operator()(std::size_t i, std::size_t j) const { return data[i * cols + j]; }
    std::span<double> row(std::size_t i) { return {data.data() + i * cols, cols}; }
    std::span<const double> row(std::size_t i) const { return {data.data() + i * cols, cols}; }
};

}  // namespace kelvara::linalg
