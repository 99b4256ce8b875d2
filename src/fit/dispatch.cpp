#include "fit/dispatch.hpp"

#include <array>
#include <string_view>

#include "fit/global/global_search.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/starting_values.hpp"

namespace kelvara {
namespace {

using Run = Result<FitOutcome, FitError> (*)(const FitRequest&, const SeriesList& start);

struct Method {
    std::string_view name;
    Run run;
};

SpectrumInput input_of(const FitRequest& r, const SeriesList& start) {
    return SpectrumInput{start, r.frequencies_hz, r.impedances, r.weighting};
}

// The methods by their names; the name is checked before anything else.
constexpr std::array<Method, 6> methods = {{
    {"levenberg_marquardt",
     [](const FitRequest& r, const SeriesList& start) {
         const FitSettings& s = r.settings;
         return levenberg_marquardt_fit(start, r.frequencies_hz, r.impedances, r.weighting,
                                        LmSettings{s.ftol, s.xtol, 1e-8, s.max_iterations});
     }},
    {"particle_swarm",
     [](const FitRequest& r, const SeriesList& start) {
         return particle_swarm_fit(input_of(r, start), r.settings.num_particles, r.settings.generations,
                                   r.settings.seed);
     }},
    {"nelder_mead",
     [](const FitRequest& r, const SeriesList& start) {
         return nelder_mead_fit(input_of(r, start), r.settings.nelder_mead_iterations);
     }},
    {"differential_evolution",
     [](const FitRequest& r, const SeriesList& start) {
         return differential_evolution_fit(input_of(r, start), r.settings.de_evaluations);
     }},
    {"simulated_annealing",
     [](const FitRequest& r, const SeriesList& start) {
         return simulated_annealing_fit(input_of(r, start), r.settings.sa_iterations,
                                        r.settings.sa_initial_temperature, r.settings.seed);
     }},
    {"basin_hopping",
     [](const FitRequest& r, const SeriesList& start) {
         const FitSettings& s = r.settings;
         return basin_hopping_fit(input_of(r, start), s.basin_hopping_hops, s.basin_hopping_step_size,
                                  s.basin_hopping_temperature, s.seed);
     }},
}};

}  // namespace

Result<FitOutcome, FitError> dispatch_fit(const FitRequest& request, InterruptCheck interrupt) {
    const InterruptScope scope(interrupt);
    const Method* method = nullptr;
    for (const Method& m : methods) {
        if (request.method == m.name) method = &m;
    }
    if (method == nullptr) return fail(FitError{FitError::Kind::unknown_method, request.method});
    if (auto error = check_fit_inputs(request.circuit, request.frequencies_hz.size(), request.impedances.size())) {
        return fail(*error);
    }
    auto start = settle_start(request.circuit, request.frequencies_hz, request.impedances, request.weighting);
    if (!start) return fail(start.error());
    auto outcome = method->run(request, start.value().circuit);
    if (outcome) outcome.value().impedance_evals += start.value().evaluations;
    return outcome;
}

}  // namespace kelvara
