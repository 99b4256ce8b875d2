// The covariance of a joint fit. Its J^T J is block-arrow shaped (each
// spectrum's own parameters meet only the shared ones), so it is inverted
// through the Schur complement of the shared block: the work grows with the
// number of spectra, not with its cube.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace kelvara {

// One spectrum's Jacobian over its free parameters (own and shared, in
// parameter order): rows x columns, column-major.
struct JacobianBlock {
    std::span<const double> values;
    std::size_t rows;
};

// Per spectrum, the covariance of its free parameters (columns x columns,
// row-major, in the blocks' column order): scale * (J^T J)^-1 of the whole
// problem restricted to them. `shared` lists the columns shared by every
// block. None when a block's own part or the shared complement is singular.
std::optional<std::vector<std::vector<double>>> joint_covariance(std::span<const JacobianBlock> blocks,
                                                                 std::size_t columns,
                                                                 std::span<const std::size_t> shared, double scale);

}  // namespace kelvara
