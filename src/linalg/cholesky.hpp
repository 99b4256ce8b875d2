// The Cholesky factorisation of a symmetric positive definite matrix and the
// solve with its factor.
#pragma once

#include <span>

#include "linalg/matrix.hpp"

namespace kelvara::linalg {

// In place: the lower triangle of `a` (n x n, symmetric positive definite)
// becomes L with a = L L^T. False when a pivot is not positive.
bool cholesky(Matrix& a);

// Solves L L^T x = b in place, with L from cholesky().
void cholesky_solve(const Matrix& l, std::span<double> b);

}  // namespace kelvara::linalg
