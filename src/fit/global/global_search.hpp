// The derivative-free and stochastic fit methods. Each searches in the
// coordinates of SearchSpace and ends with polish_or_fallback (basin hopping
// with build_outcome over its best local fit).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "circuit/result.hpp"
#include "circuit/tree.hpp"
#include "elements/catalogue.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/weighting.hpp"

namespace kelvara {

struct SearchBox {
    std::vector<double> lower;
    std::vector<double> upper;
};

// Linear parameters keep their bounds; log-scaled ones span four decades
// either side of max(|start|, 1e-6), never below the lower bound.
SearchBox pso_search_box(std::span<const Bounds> bounds, std::span<const double> start);

struct SpectrumInput {
    const SeriesList& circuit;  // holds the starting values
    std::span<const double> frequencies_hz;
    std::span<const Complex> impedances;
    Weighting scheme;
};

Result<FitOutcome, FitError> particle_swarm_fit(const SpectrumInput& input, std::uint64_t num_particles,
                                                std::uint64_t generations, std::optional<std::uint64_t> seed);

Result<FitOutcome, FitError> nelder_mead_fit(const SpectrumInput& input, std::uint64_t iterations);

Result<FitOutcome, FitError> differential_evolution_fit(const SpectrumInput& input, std::uint64_t evaluations);

Result<FitOutcome, FitError> simulated_annealing_fit(const SpectrumInput& input, std::uint64_t iterations,
                                                     double initial_temperature, std::optional<std::uint64_t> seed);

Result<FitOutcome, FitError> basin_hopping_fit(const SpectrumInput& input, std::uint64_t hops, double step_size,
                                               double temperature, std::optional<std::uint64_t> seed);

}  // namespace kelvara
