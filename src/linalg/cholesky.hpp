// A small dense row-major matrix and the Cholesky factorisation the DRT
// solvers share. Sizes are the basis size (tens to a few hundred), so plain
// loops are enough.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace kelvara::drt {

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

// In place: the lower triangle of `a` (n x n, symmetric positive definite)
// becomes L with a = L L^T. False when a pivot is not positive.
bool cholesky(Matrix& a);

// Solves L L^T x = b in place, with L from cholesky().
void cholesky_solve(const Matrix& l, std::span<double> b);

}  // namespace kelvara::drt
