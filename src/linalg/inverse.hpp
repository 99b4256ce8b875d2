// The inverse of a small square matrix, such as the J^T J of a fit's
// standard errors.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace kelvara::linalg {

// The inverse of a symmetric positive (semi)definite n x n matrix (row-major):
// closed forms up to n = 4, LU with partial pivoting above. Empty when singular.
std::optional<std::vector<double>> invert(std::span<const double> matrix, std::size_t n);

}  // namespace kelvara::linalg
