#include "fit/dispatch.hpp"

#include <array>
#include <cmath>
#include <string_view>

#include "fit/global/global_search.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/starting_values.hpp"
#include "support/number_text.hpp"

namespace kelvara {
namespace {

using Run = Result<FitOutcome, FitError> (*)(const FitProblem&, const FitSettings&);

struct Method {
    std::string_view name;
    Run run;
};

// The methods by their names; the name is checked before anything else.
constexpr std::array<Method, 6> methods = {{
    {"levenberg_marquardt",
     [](const FitProblem& problem, const FitSettings& s) {
         return levenberg_marquardt_fit(problem, problem.start(),
                                        LmSettings{s.ftol, s.xtol, 1e-8, s.max_iterations, s.max_starts});
     }},
    {"particle_swarm",
     [](const FitProblem& problem, const FitSettings& s) {
         return particle_swarm_fit(problem, s.num_particles, s.generations, s.seed);
     }},
    {"nelder_mead",
     [](const FitProblem& problem, const FitSettings& s) { return nelder_mead_fit(problem, s.nelder_mead_iterations); }},
    {"differential_evolution",
     [](const FitProblem& problem, const FitSettings& s) {
         return differential_evolution_fit(problem, s.de_evaluations);
     }},
    {"simulated_annealing",
     [](const FitProblem& problem, const FitSettings& s) {
         return simulated_annealing_fit(problem, s.sa_iterations, s.sa_initial_temperature, s.seed);
     }},
    {"basin_hopping",
     [](const FitProblem& problem, const FitSettings& s) {
         return basin_hopping_fit(problem, s.basin_hopping_hops, s.basin_hopping_step_size,
                                  s.basin_hopping_temperature, s.seed);
     }},
}};

}  // namespace

std::optional<FitError> check_settings(std::string_view method, const FitSettings& s) {
    if (method == "levenberg_marquardt") return check_lm_settings(LmSettings{s.ftol, s.xtol, 1e-8, s.max_iterations});
    if (method == "basin_hopping" && (!(s.basin_hopping_step_size >= 0.0) || !std::isfinite(s.basin_hopping_step_size))) {
        return FitError{FitError::Kind::invalid_setting, "basin_hopping_step_size must be finite and >= 0, got " +
                                                             short_number_text(s.basin_hopping_step_size)};
    }
    return std::nullopt;
}

Result<FitOutcome, FitError> dispatch_fit(const FitRequest& request, InterruptCheck interrupt) {
    const InterruptScope scope(interrupt);
    const Method* method = nullptr;
    for (const Method& m : methods) {
        if (request.method == m.name) method = &m;
    }
    if (method == nullptr) return fail(FitError{FitError::Kind::unknown_method, request.method});
    auto made = FitProblem::make(request.circuit, request.frequencies_hz, request.impedances, request.weighting,
                                 request.control);
    if (!made) return fail(made.error());
    FitProblem& problem = *made.value();
    auto start = settle_start(problem);
    if (!start) return fail(start.error());
    problem.set_start(start.value().values);
    if (auto error = check_settings(method->name, request.settings)) return fail(*error);
    auto outcome = method->run(problem, request.settings);
    if (outcome) {
        outcome.value().impedance_evals += start.value().evaluations;
        outcome.value().frequencies_hz = request.frequencies_hz;
        outcome.value().impedances = request.impedances;
    }
    return outcome;
}

}  // namespace kelvara
