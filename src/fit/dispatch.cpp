#include "fit/dispatch.hpp"

#include <array>
#include <string_view>

#include "fit/global/global_search.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/starting_values.hpp"

namespace kelvara {
namespace {

constexpr std::array<std::string_view, 6> methods = {"levenberg_marquardt",    "particle_swarm",
                                                     "nelder_mead",            "differential_evolution",
                                                     "simulated_annealing",    "basin_hopping"};

Result<FitOutcome, FitError> run_method(const FitRequest& request, const SeriesList& circuit) {
    const FitSettings& s = request.settings;
    const SpectrumInput input{circuit, request.frequencies_hz, request.impedances, request.weighting};
    const std::string& method = request.method;
    if (method == "levenberg_marquardt") {
        return levenberg_marquardt_fit(circuit, request.frequencies_hz, request.impedances, request.weighting,
                                       LmSettings{s.ftol, s.xtol, 1e-8, s.max_iterations});
    }
    if (method == "particle_swarm") return particle_swarm_fit(input, s.num_particles, s.generations, s.seed);
    if (method == "nelder_mead") return nelder_mead_fit(input, s.nelder_mead_iterations);
    if (method == "differential_evolution") return differential_evolution_fit(input, s.de_evaluations);
    if (method == "simulated_annealing") {
        return simulated_annealing_fit(input, s.sa_iterations, s.sa_initial_temperature, s.seed);
    }
    return basin_hopping_fit(input, s.basin_hopping_hops, s.basin_hopping_step_size, s.basin_hopping_temperature,
                             s.seed);
}

}  // namespace

Result<FitOutcome, FitError> dispatch_fit(const FitRequest& request, InterruptCheck interrupt) {
    const InterruptScope scope(interrupt);
    bool known = false;
    for (const std::string_view name : methods) known = known || request.method == name;
    if (!known) return fail(FitError{FitError::Kind::unknown_method, request.method});
    if (auto error = check_fit_inputs(request.circuit, request.frequencies_hz.size(), request.impedances.size())) {
        return fail(*error);
    }
    auto start = settle_start(request.circuit, request.frequencies_hz, request.impedances, request.weighting);
    if (!start) return fail(start.error());
    auto outcome = run_method(request, start.value().circuit);
    if (outcome) outcome.value().impedance_evals += start.value().evaluations;
    return outcome;
}

}  // namespace kelvara
