// T M T^T: a covariance carried into other coordinates by their Jacobian T.
#pragma once

#include <cstddef>
#include <vector>

namespace kelvara::linalg {

// For square row-major matrices of order n.
std::vector<double> congruence(const std::vector<double>& t, const std::vector<double>& m, std::size_t n);

}  // namespace kelvara::linalg
