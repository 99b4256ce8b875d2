// min 1/2 x^T H x - g^T x subject to x >= 0, for a symmetric positive
// definite H: the active-set method of Lawson and Hanson on the normal
// equations (Bro and de Jong's form), started from the free set of the
// unconstrained solution so that few variables change sides.
#pragma once

#include <span>
#include <vector>

#include "linalg/matrix.hpp"

namespace kelvara::linalg {

struct NonnegativeSolution {
    std::vector<double> x;
    bool converged = false;
};

NonnegativeSolution solve_nonnegative(const Matrix& h, std::span<const double> g, std::span<const double> start);

}  // namespace kelvara::linalg
