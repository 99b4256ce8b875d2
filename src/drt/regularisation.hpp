// The automatic choice of the regularisation weight lambda by generalised
// cross-validation (Golub, Heath and Wahba 1979): the lambda that minimises
//   GCV(lambda) = |r(lambda)|^2 / (n - p - 2 trace of the influence matrix)^2
// for the unconstrained Tikhonov problem (the factor 2: see regularisation.cpp). Projecting out the unpenalised
// columns (R_inf, L) and whitening the penalty turns the problem into a
// standard-form one, whose eigen-decomposition gives GCV for every lambda in
// O(m), so the search is cheap and exact.
#pragma once

#include <span>
#include <vector>

#include "linalg/matrix.hpp"

namespace kelvara::drt {

// The smallest lambda chosen: below it, noise-free spectra make the basis
// ripple to reach what Gaussians of finite width cannot (an ideal RC).
inline constexpr double smallest_lambda = 1e-4;

struct LambdaChoice {
    double lambda = 0.0;
    bool found = false;
};

// `gram` is the Gram matrix of the columns [u_1 .. u_p, k_1 .. k_m, b]: the
// p unpenalised columns (orthonormal), the m penalised ones and the data;
// `rows` the number of data rows and `penalty` the m x m positive definite
// penalty.
LambdaChoice choose_lambda(const linalg::Matrix& gram, std::size_t unpenalised, std::size_t rows, const linalg::Matrix& penalty);

}  // namespace kelvara::drt
