// What every fit method returns: the fitted circuit and parameters, their
// standard errors, the costs and the counts; or a FitError.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "circuit/measured_points.hpp"
#include "circuit/tree.hpp"
#include "elements/complex.hpp"
#include "fit/objective.hpp"

namespace kelvara {

struct FitOutcome {
    SeriesList circuit;  // rebuilt with the fitted values
    std::vector<std::string> param_names;
    std::vector<double> params;  // inside the bounds
    // NaN for a fixed parameter: it has no standard error of its own.
    std::optional<std::vector<double>> stderr_values;
    std::vector<bool> fixed;  // empty when nothing was held
    std::uint64_t iterations = 0;
    std::uint64_t impedance_evals = 0;
    double cost = 0.0;        // 1/2 sum r^2
    double chi_square = 0.0;  // sum r^2
    bool success = false;
    std::string message;  // why the fit stopped, e.g. "converged: relative reduction of the sum of squares below ftol"
    // For the statistics and diagnostics of the fit (fit_statistics.hpp):
    std::size_t residual_count = 0;  // 2 per frequency
    // s^2 (J^T J)^-1 over the free parameters, in parameter order, row-major;
    // empty when the standard errors are missing.
    std::vector<double> covariance;
    std::vector<double> residuals;  // weighted, at `params`
    // The spectrum fitted, with its facts (set by the dispatcher).
    MeasuredSpectrum spectrum;

    std::size_t free_count() const;
};

struct FitError {
    enum class Kind {
        length_mismatch,
        empty,
        no_parameters,
        solver,
        unknown_method,
        invalid_setting,
        invalid_start,
        too_large,    // the caller's budget needs more memory than a fit may take
        interrupted,  // the caller's interrupt check said stop
    };
    Kind kind;
    // solver: the solver's text; unknown_method: the name; others: the message
    std::string text;

    std::string message() const;
};

// The spectrum and bookkeeping a fit carries from start to outcome.
struct FitData {
    std::vector<double> omega;
    std::vector<Complex> measured;
    std::vector<double> weights;
};

class FitProblem;

// Clamps `candidate` (every parameter) into the bounds in force, evaluates
// cost, chi-square and the Jacobian of the free parameters there (1 + 2F
// counted evaluations) and derives their standard errors from the inverse
// of J^T J.
FitOutcome build_outcome(const FitProblem& problem, std::span<const double> candidate, bool success,
                         std::uint64_t iterations, EvaluationCounter& counter, std::string message);

}  // namespace kelvara
