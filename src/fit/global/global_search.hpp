// The derivative-free and stochastic fit methods. Each searches in the
// coordinates of the problem's SearchSpace (its free parameters) and ends
// with polish_or_fallback (basin hopping with build_outcome over its best
// local fit). The dispatcher has checked the problem, and each method's
// run_<name> (methods.hpp) the settings it validates; what a method checks
// itself it says.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "support/result.hpp"
#include "elements/catalogue.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/search_space.hpp"

namespace kelvara {

struct SearchBox {
    std::vector<double> lower;
    std::vector<double> upper;
};

// Bounded parameters span their bounds (in search coordinates); open ones
// four decades either side of max(|start|, 1e-6), never below the lower bound.
SearchBox pso_search_box(const SearchSpace& space, std::span<const double> start);

class FitProblem;

// Each starts from the problem's start and moves only its free parameters.
Result<FitOutcome, FitError> particle_swarm_fit(const FitProblem& problem, std::uint64_t num_particles,
                                                std::uint64_t generations, std::optional<std::uint64_t> seed);

Result<FitOutcome, FitError> nelder_mead_fit(const FitProblem& problem, std::uint64_t iterations);

Result<FitOutcome, FitError> differential_evolution_fit(const FitProblem& problem, std::uint64_t evaluations);

Result<FitOutcome, FitError> simulated_annealing_fit(const FitProblem& problem, std::uint64_t iterations,
                                                     double initial_temperature, std::optional<std::uint64_t> seed);

Result<FitOutcome, FitError> basin_hopping_fit(const FitProblem& problem, std::uint64_t hops, double step_size,
                                               double temperature, std::optional<std::uint64_t> seed);

}  // namespace kelvara
