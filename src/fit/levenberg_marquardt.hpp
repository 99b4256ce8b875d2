// The default fit: a bounded, multi-start Levenberg-Marquardt least-squares
// fit in search coordinates, and the polish that refines the best point of a
// global search.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.hpp"
#include "circuit/tree.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/fit_problem.hpp"
#include "fit/minpack/minpack.hpp"
#include "fit/problems.hpp"
#include "fit/weighting.hpp"

namespace kelvara {

// One solver run's stopping rule.
struct LmSettings {
    double ftol = 1e-8;   // stop when the sum of squares' actual and predicted relative reductions are <= ftol
    double xtol = 1e-8;   // stop when the trust radius is <= xtol * ||D x||
    double gtol = 1e-8;   // stop when every scaled cosine between r and J's columns is <= gtol
    std::uint64_t max_iterations = 200;  // patience: a run may use max(this, 1) * (P + 1) residual evaluations
    std::uint64_t max_starts = 9;        // the multi-start fit tries at most this many of its nine starts
    // Rounds of restarts from an end in a corner of the parameter space (or,
    // under the caller's bounds or held values, from any end); 0: none.
    std::uint64_t corner_rounds = 4;
};

struct SingleStartResult {
    std::vector<double> params;  // physical, every parameter
    bool success = false;
    std::uint64_t evaluations = 0;  // the solver's residual evaluations
    minpack::LmderStatus status = minpack::LmderStatus::no_parameters;
    // The solver gave up (budget, no further reduction) with the residuals at
    // rounding level: converged all the same.
    bool rounding_level = false;
};

// The MINPACK solver's settings for one run under `settings`, with the
// engine's initial trust radius (the joint fit and the DRT's peak fit run it too).
minpack::LmderSettings solver_settings(const LmSettings& settings);

// Why a solver run ended, in the words of FitResult.message.
std::string stop_reason(minpack::LmderStatus status);
std::string stop_reason(const SingleStartResult& run);

inline constexpr const char* rounding_level_reason = "converged: the residuals reached rounding level";

// The cost at and below which the weighted residuals are at rounding level:
// their squares sum to at most 2^-52 times those of the weighted
// measurements (an rms below 1.5e-8 of |Z| under modulus weighting). Below
// it a change of the sum of squares says nothing about the model: noise-free
// data fitted by their own circuit end there, whatever the tolerances.
double rounding_level_cost(const FitData& data);

// One solver run from `start` (search coordinates of the free parameters)
// with the `pinned` ones (in free order) frozen.
SingleStartResult levenberg_marquardt_single_start(const FitProblem& problem, std::span<const double> start,
                                                   std::vector<bool> pinned, const LmSettings& settings,
                                                   EvaluationCounter& counter);

// The multi-start fit from `start` (physical values of every parameter;
// the fixed ones are the problem's own). Settings are the caller's to check
// (check_lm_settings).
Result<FitOutcome, FitError> levenberg_marquardt_fit(const FitProblem& problem, std::span<const double> start,
                                                     const LmSettings& settings);

std::optional<FitError> check_lm_settings(const LmSettings& settings);

// The nine scored starting points of the free parameters, cheapest first.
struct Candidate {
    std::vector<double> params;  // physical, free parameters
    double cost;
};
std::vector<Candidate> candidate_starting_points(std::span<const double> start, const SearchSpace& space,
                                                 CostProblem& scorer);

// After a global search found `best` (physical, every parameter): the
// better of the outcome at `best` and a Levenberg-Marquardt fit started
// there. `search` says how the search ended ("particle swarm: 15
// generations of 20 particles"); the outcome's message joins it with the
// polish's. `counter` holds the search's evaluations.
Result<FitOutcome, FitError> polish_or_fallback(const FitProblem& problem, std::span<const double> best,
                                                std::uint64_t search_iterations, std::string_view search,
                                                EvaluationCounter& counter);

// Errors every method checks first, in this order.
std::optional<FitError> check_fit_inputs(const SeriesList& circuit, std::size_t frequencies, std::size_t impedances);

// Angular frequencies and weights of a spectrum.
FitData prepare_fit_data(std::span<const double> frequencies_hz, std::span<const Complex> impedances,
                         Weighting scheme);

}  // namespace kelvara
