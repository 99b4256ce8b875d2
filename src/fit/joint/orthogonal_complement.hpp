// Removes from some columns their components along the span of others: the
// Gauss-Newton Jacobian of a problem whose other parameters are fitted afresh
// at every point (Kaufman's form of variable projection).
#pragma once

#include <cstddef>
#include <span>

namespace kelvara {

// `basis` (rows x k, column-major) is overwritten with an orthonormal basis
// of its span, by modified Gram-Schmidt done twice; a column that adds less
// than `rank_tolerance` of its own norm to the span is dropped. Returns the
// basis size: the first that many columns of `basis` hold it.
std::size_t orthonormalise(std::size_t rows, std::size_t k, std::span<double> basis, double rank_tolerance = 1e-10);

// v -= Q (Q^T v), twice, for `count` orthonormal columns Q (rows each,
// column-major) and one column v of length rows.
void remove_span(std::size_t rows, std::span<const double> q, std::size_t count, std::span<double> v);

}  // namespace kelvara
