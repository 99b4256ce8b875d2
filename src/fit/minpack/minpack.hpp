// A port of MINPACK's Levenberg-Marquardt routines (Moré, Garbow and
// Hillstrom, 1980; Moré, "The Levenberg-Marquardt algorithm: implementation
// and theory", 1978), one routine per file: enorm, qrfac, qrsolv, lmpar, lmder.
//
// Matrices are column-major with leading dimension `ld`; indices are 0-based.
//
// Deviations from the original, all in lmder:
// - the problem is an object (LeastSquaresProblem; the fits use LmProblem, in
//   search coordinates), not user callbacks with iflag;
// - the step bound, the patience (evaluation budget = patience * (n + 1)) and
//   the column scaling (mode 1) are fixed by the caller's settings record;
// - an exactly zero residual vector at the start ends the run successfully;
//   no parameters or no residuals end it unsuccessfully;
// - a non-finite Jacobian, step or trial point ends the run unsuccessfully
//   (the original would go on with NaN arithmetic); a trial point whose
//   residuals are not finite is rejected exactly as the original rejects it
//   (actual reduction -1, smaller trust region), so that one overflowing step
//   in log coordinates does not end the run;
// - fewer residuals than parameters are handled by padding the residual
//   vector and the Jacobian with zero rows up to n (the least-squares problem
//   is unchanged), where the original refuses the input;
// - all work arrays are allocated once, before the iteration starts;
// - before each trial point the run asks interruption_requested() and ends
//   (status interrupted) when the caller wants it to stop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kelvara {

namespace minpack {

// What lmder minimises: the sum of squares of residuals(x) over x.
class LeastSquaresProblem {
public:
    virtual ~LeastSquaresProblem() = default;
    virtual std::size_t param_count() const = 0;
    virtual std::size_t residual_count() const = 0;
    virtual void set_x(std::span<const double> x) = 0;
    virtual std::span<const double> x() const = 0;
    // Residuals at the current x.
    virtual void residuals(std::span<double> out) = 0;
    // The residual_count() x param_count() Jacobian at the current x, column-major.
    virtual void jacobian(std::span<double> out) = 0;
};

// Euclidean norm without destructive underflow or overflow.
double enorm(std::span<const double> x);

// QR factorisation with column pivoting of the m x n matrix a (m >= n).
// On return the strict upper triangle of a holds R above its diagonal, the
// lower trapezoid the Householder vectors; rdiag the diagonal of R, acnorm
// the norms of the original columns, ipvt the permutation.
void qrfac(std::size_t m, std::size_t n, std::span<double> a, std::size_t ld, std::span<std::size_t> ipvt,
           std::span<double> rdiag, std::span<double> acnorm, std::span<double> wa);

// Solves (A^T A + D^2) x = A^T b in the least-squares sense given the QR
// factors of A P = Q R and qtb = Q^T b. sdiag receives the diagonal of the
// triangular factor of the damped system.
void qrsolv(std::size_t n, std::span<double> r, std::size_t ld, std::span<const std::size_t> ipvt,
            std::span<const double> diag, std::span<const double> qtb, std::span<double> x, std::span<double> sdiag,
            std::span<double> wa);

// The Levenberg-Marquardt parameter par for which ||D x|| is close to delta,
// and the step x.
void lmpar(std::size_t n, std::span<double> r, std::size_t ld, std::span<const std::size_t> ipvt,
           std::span<const double> diag, std::span<const double> qtb, double delta, double& par, std::span<double> x,
           std::span<double> sdiag, std::span<double> wa1, std::span<double> wa2);

struct LmderSettings {
    double ftol;                 // stop when both reductions of the sum of squares are at most ftol (relative)
    double xtol;                 // stop when the trust region shrinks below xtol * ||D x||
    double gtol;                 // stop when the cosine between r and every Jacobian column is at most gtol
    double step_bound;           // initial trust radius factor
    std::uint64_t patience;      // budget: patience * (n + 1) residual evaluations
};

enum class LmderStatus {
    residuals_zero,        // success
    converged_ftol,        // success
    converged_xtol,        // success
    converged_both,        // success
    orthogonal,            // success (gtol)
    no_parameters,         // failure
    no_residuals,          // failure
    lost_patience,         // failure: evaluation budget used up
    no_improvement,        // failure: tolerances below machine precision
    numerical_failure,     // failure: non-finite values
    interrupted,           // failure: the caller asked to stop
};

struct LmderResult {
    LmderStatus status;
    std::uint64_t evaluations;  // residual evaluations, the first one included
    bool success() const;
};

// Minimises the sum of squares of problem.residuals over its search vector,
// leaving the problem at the last accepted iterate.
LmderResult lmder(LeastSquaresProblem& problem, const LmderSettings& settings);

}  // namespace minpack
}  // namespace kelvara
