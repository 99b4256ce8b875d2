#include "fit/dispatch.hpp"

#include "fit/starting_values.hpp"
#include "support/number_text.hpp"

namespace kelvara {

Result<FitOutcome, FitError> dispatch_fit(const FitRequest& request, InterruptCheck interrupt) {
    const InterruptScope scope(interrupt);
    const FitMethod* method = find_fit_method(request.method);
    if (method == nullptr) return fail(FitError{FitError::Kind::unknown_method, request.method});
    auto made = FitProblem::make(request.circuit, request.spectrum, request.weighting, request.control);
    if (!made) return fail(made.error());
    FitProblem& problem = *made.value();
    auto start = settle_start(problem);
    if (!start) return fail(start.error());
    problem.set_start(start.value().values);
    auto outcome = method->run(problem, request.settings);
    if (outcome) {
        // A method may end where the model is not a number (a box reaching 1e300
        // lets a swarm land there): that is no fit, whatever the method says.
        if (!std::isfinite(outcome.value().cost) && outcome.value().success) {
            outcome.value().success = false;
            outcome.value().message += "; but the cost there is not finite: the model is not a number at the end "
                                       "point (narrow the bounds)";
        }
        outcome.value().impedance_evals += start.value().evaluations;
        outcome.value().spectrum = request.spectrum;
    }
    return outcome;
}

}  // namespace kelvara
