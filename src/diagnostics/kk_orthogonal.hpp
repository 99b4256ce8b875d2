// The final Kramers-Kronig fit by orthogonal factorisation, which the normal
// equations cannot match on nearly dependent columns (as many time constants
// as points): their condition number is the square of the design's.
#pragma once

#include <span>
#include <vector>

#include "diagnostics/kk_problem.hpp"

namespace kelvara::diagnostics {

// Up to this many points the design is held whole and factored; beyond, the
// normal equations' solution stands (memory grows with the points times the columns).
inline constexpr std::size_t orthogonal_max_points = 1024;

// Least-squares coefficients with the columns in `dropped` held at zero, by a
// column-pivoted Householder factorisation of the design with unit-norm
// columns; columns the factorisation finds dependent on the others (a pivot
// below 2N eps times the first) are held at zero too.
std::vector<double> orthogonal_solve(const KkProblem& problem, std::span<const double> tau,
                                     const std::vector<bool>& dropped);

}  // namespace kelvara::diagnostics
