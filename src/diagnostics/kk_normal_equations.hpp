// The normal equations of a Kramers-Kronig fit for one grid of time constants,
// and their solution with the bounded columns held non-negative.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "diagnostics/kk_problem.hpp"
#include "linalg/cholesky.hpp"

namespace kelvara::diagnostics {

// J^T J (lower triangle) and J^T b over every point.
struct NormalEquations {
    linalg::Matrix gram;
    std::vector<double> rhs;
};

NormalEquations normal_equations(const KkProblem& problem, std::span<const double> tau);

// The normal equations with the columns in `dropped` held at zero, factored;
// columns scaled to unit norm, so that L (~w) and 1/C (~1/w) do not rule the
// conditioning. A system too close to singular for the factorisation gets a
// small ridge.
struct Factored {
    linalg::Matrix cholesky;
    std::vector<double> norm;
    std::vector<bool> dropped;

    // (G restricted to the kept columns)^-1 b, zero in the dropped columns.
    void solve(std::span<const double> b, std::vector<double>& x) const;
};

// nullopt when even the largest ridge leaves the system singular.
std::optional<Factored> factored(const linalg::Matrix& gram, const std::vector<bool>& dropped);

struct BoundedSolution {
    std::vector<double> coef;
    Factored system;  // of the kept columns
};

// The coefficients with the bounded columns (KkProblem::bounded) non-negative:
// an active set, in which negative bounded coefficients are held at zero and
// the rest solved again (a round or two, without rebuilding the equations).
std::optional<BoundedSolution> bounded_solve(const KkProblem& problem, std::span<const double> tau,
                                             const NormalEquations& equations);

}  // namespace kelvara::diagnostics
