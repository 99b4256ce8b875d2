// The linear map from basis coefficients to impedance, and the smoothness
// penalty on gamma.
#pragma once

#include <span>

#include "linalg/matrix.hpp"
#include "drt/rbf_basis.hpp"

namespace kelvara::drt {

// Z(w) contributed by gamma: integral of gamma(y) / (1 + i w e^y) dy.
// real(n, i) and imag(n, i) are that integral for basis function i at
// angular frequency n.
struct ImpedanceMap {
    linalg::Matrix real;
    linalg::Matrix imag;
};

// Trapezoidal quadrature on half the centre spacing: the Gaussian and the
// kernel are both analytic in a wide strip, so the error is far below
// rounding. The kernel depends only on ln w + y, so each frequency samples it
// once on a shared fine grid and every basis function reuses the samples.
ImpedanceMap impedance_map(const RbfBasis& basis, std::span<const double> angular);

// P(i, j) = integral of phi_i^(k)(y) phi_j^(k)(y) dy for derivative order
// k = 1 or 2, in closed form for Gaussians; c^T P c is the integral of the
// squared k-th derivative of gamma.
linalg::Matrix derivative_penalty(const RbfBasis& basis, int order);

}  // namespace kelvara::drt
