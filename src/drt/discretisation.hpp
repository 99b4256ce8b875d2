// The linear map from basis coefficients to impedance, and the smoothness
// penalty on gamma.
#pragma once

#include <span>
#include <utility>
#include <vector>

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

// The map a row at a time. Trapezoidal quadrature on half the centre
// spacing: the Gaussian and the kernel are both analytic in a wide strip, so
// the error is far below rounding. The kernel depends only on ln w + y, so
// each frequency samples it once on a shared fine grid and every basis
// function reuses the samples. A map of up to `cache_limit` entries is
// computed once and kept; a longer spectrum's rows are computed each time
// they are asked for, so that memory stays linear in the points with a small
// constant rather than 16 bytes per point and basis function.
class ImpedanceRows {
public:
    static constexpr std::size_t cache_limit = std::size_t{1} << 22;

    ImpedanceRows(const RbfBasis& basis, std::span<const double> angular);
    // The real and imaginary parts of row i (basis.count values each), valid
    // until the next call.
    std::pair<std::span<const double>, std::span<const double>> row(std::size_t i);

private:
    void compute(double angular, std::span<double> real_row, std::span<double> imag_row);

    RbfBasis basis_;
    std::span<const double> angular_;
    double step_;
    std::size_t reach_ = 0;
    std::vector<double> weights_;
    std::vector<double> kernel_real_, kernel_imag_;  // scratch
    std::vector<double> real_, imag_;                // one row, or every row when cached
    bool cached_ = false;
};

// The whole map, row by row as ImpedanceRows gives them.
ImpedanceMap impedance_map(const RbfBasis& basis, std::span<const double> angular);

// P(i, j) = integral of phi_i^(k)(y) phi_j^(k)(y) dy for derivative order
// k = 1 or 2, in closed form for Gaussians; c^T P c is the integral of the
// squared k-th derivative of gamma.
linalg::Matrix derivative_penalty(const RbfBasis& basis, int order);

}  // namespace kelvara::drt
