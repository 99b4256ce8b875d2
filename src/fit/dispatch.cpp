#include "fit/dispatch.hpp"

#include "fit/levenberg_marquardt.hpp"

namespace kelvara {

Result<FitOutcome, FitError> dispatch_fit(const FitRequest& request) {
    const FitSettings& s = request.settings;
    if (request.method == "levenberg_marquardt") {
        return levenberg_marquardt_fit(request.circuit, request.frequencies_hz, request.impedances,
                                       request.weighting, LmSettings{s.ftol, s.xtol, 1e-8, s.max_iterations});
    }
    for (const char* name :
         {"particle_swarm", "nelder_mead", "differential_evolution", "simulated_annealing", "basin_hopping"}) {
        if (request.method == name) {
            if (auto error = check_fit_inputs(request.circuit, request.frequencies_hz.size(), request.impedances.size())) {
                return fail(*error);
            }
            return fail(FitError{FitError::Kind::solver, request.method + " is not available in this build"});
        }
    }
    return fail(FitError{FitError::Kind::unknown_method, request.method});
}

}  // namespace kelvara
