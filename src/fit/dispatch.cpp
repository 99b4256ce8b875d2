#include "fit/dispatch.hpp"

#include "fit/starting_values.hpp"

namespace kelvara {

Result<FitOutcome, FitError> dispatch_fit(const FitRequest& request, InterruptCheck interrupt) {
    const InterruptScope scope(interrupt);
    const FitMethod* method = find_fit_method(request.method);
    if (method == nullptr) return fail(FitError{FitError::Kind::unknown_method, request.method});
    auto made = FitProblem::make(request.circuit, request.frequencies_hz, request.impedances, request.weighting,
                                 request.control);
    if (!made) return fail(made.error());
    FitProblem& problem = *made.value();
    auto start = settle_start(problem);
    if (!start) return fail(start.error());
    problem.set_start(start.value().values);
    auto outcome = method->run(problem, request.settings);
    if (outcome) {
        outcome.value().impedance_evals += start.value().evaluations;
        outcome.value().frequencies_hz = request.frequencies_hz;
        outcome.value().impedances = request.impedances;
    }
    return outcome;
}

}  // namespace kelvara
