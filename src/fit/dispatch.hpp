// The engine's front door: runs the fit method named in a request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.hpp"
#include "circuit/tree.hpp"
#include "elements/complex.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/fit_problem.hpp"
#include "fit/interruption.hpp"
#include "fit/weighting.hpp"

namespace kelvara {

// Settings of every method, under the names of the Python arguments.
struct FitSettings {
    std::uint64_t max_iterations = 200;  // Levenberg-Marquardt patience
    std::uint64_t max_starts = 9;        // Levenberg-Marquardt: starts tried, cheapest first (not a fit() argument)
    double ftol = 1e-8;
    double xtol = 1e-8;
    std::uint64_t num_particles = 200;
    std::uint64_t generations = 1000;
    std::uint64_t nelder_mead_iterations = 2000;
    std::uint64_t de_evaluations = 20000;
    std::uint64_t sa_iterations = 5000;
    double sa_initial_temperature = 2.0;
    std::uint64_t basin_hopping_hops = 20;
    double basin_hopping_step_size = 1.0;
    double basin_hopping_temperature = 1.0;
    std::optional<std::uint64_t> seed;  // none: seeded from the operating system
};

struct FitRequest {
    std::string method = "levenberg_marquardt";
    SeriesList circuit;  // holds the starting values
    std::vector<double> frequencies_hz;
    std::vector<Complex> impedances;
    Weighting weighting = Weighting::modulus;
    FitSettings settings;
    ParameterControl control;  // the caller's bounds and fixed parameters; empty: the catalogue's, none
};

// The checks of the settings the named method reads, made once before it
// runs: ftol and xtol of Levenberg-Marquardt, the step size of basin hopping.
std::optional<FitError> check_settings(std::string_view method, const FitSettings& settings);

// `interrupt` is asked now and then during long fits (see interruption.hpp);
// when it says stop, the fit ends with FitError::Kind::interrupted.
Result<FitOutcome, FitError> dispatch_fit(const FitRequest& request, InterruptCheck interrupt = {});

}  // namespace kelvara
