// Eigenvalues of a symmetric matrix and the coordinates of one vector in its
// eigenvector basis, without forming the eigenvectors: Householder
// tridiagonalisation, then the implicit QL iteration, each transformation
// applied to the vector alone.
#pragma once

#include <span>
#include <vector>

#include "linalg/matrix.hpp"

namespace kelvara::linalg {

struct EigenProjection {
    std::vector<double> values;        // eigenvalues, in no particular order
    std::vector<double> coordinates;   // v_i^T y for the eigenvector v_i of values[i]
    bool converged = true;
};

// Reads the lower triangle of the symmetric `a`.
EigenProjection eigen_projection(Matrix a, std::span<const double> y);

}  // namespace kelvara::linalg
