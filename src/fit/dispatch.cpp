#include "fit/dispatch.hpp"

#include "fit/global/global_search.hpp"
#include "fit/levenberg_marquardt.hpp"

namespace kelvara {

Result<FitOutcome, FitError> dispatch_fit(const FitRequest& request) {
    const FitSettings& s = request.settings;
    const SpectrumInput input{request.circuit, request.frequencies_hz, request.impedances, request.weighting};
    const std::string& method = request.method;
    if (method == "levenberg_marquardt") {
        return levenberg_marquardt_fit(request.circuit, request.frequencies_hz, request.impedances,
                                       request.weighting, LmSettings{s.ftol, s.xtol, 1e-8, s.max_iterations});
    }
    if (method == "particle_swarm") return particle_swarm_fit(input, s.num_particles, s.generations, s.seed);
    if (method == "nelder_mead") return nelder_mead_fit(input, s.nelder_mead_iterations);
    if (method == "differential_evolution") return differential_evolution_fit(input, s.de_evaluations);
    if (method == "simulated_annealing") {
        return simulated_annealing_fit(input, s.sa_iterations, s.sa_initial_temperature, s.seed);
    }
    if (method == "basin_hopping") {
        return basin_hopping_fit(input, s.basin_hopping_hops, s.basin_hopping_step_size,
                                 s.basin_hopping_temperature, s.seed);
    }
    return fail(FitError{FitError::Kind::unknown_method, method});
}

}  // namespace kelvara
