#include "fit/fit_outcome.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "circuit/layout.hpp"
#include "support/quoted.hpp"
#include "fit/fit_problem.hpp"
#include "fit/methods.hpp"
#include "linalg/inverse.hpp"

namespace kelvara {

std::string FitError::message() const {
    switch (kind) {
        case Kind::length_mismatch: return "frequencies and impedances must have the same length";
        case Kind::empty: return "frequencies and impedances must not be empty";
        case Kind::no_parameters: return "circuit topology has no parameters to fit";
        case Kind::solver: return "solver error: " + text;
        case Kind::unknown_method: {
            std::string out = "unknown fit method " + quoted(text) + ", expected one of ";
            for (const FitMethod& method : FIT_METHODS) {
                if (method.name != FIT_METHODS[0].name) out += ", ";
                out += quoted(method.name);
            }
            return out;
        }
        case Kind::invalid_setting:
        case Kind::invalid_start:
        case Kind::too_large: return text;
        case Kind::interrupted: return "interrupted";
    }
    return text;
}

std::size_t FitOutcome::free_count() const {
    std::size_t held = 0;
    for (const bool f : fixed) held += f ? 1 : 0;
    return params.size() - held;
}

FitOutcome build_outcome(const FitProblem& problem, std::span<const double> candidate, bool success,
                         std::uint64_t iterations, EvaluationCounter& counter, std::string message) {
    const std::vector<Bounds>& bounds = problem.bounds();
    std::vector<double> params(candidate.begin(), candidate.end());
    for (std::size_t j = 0; j < params.size() && j < bounds.size(); ++j) {
        // Bounds in force are ordered and finite below, so clamping is well defined.
        params[j] = std::clamp(params[j], bounds[j].lo, bounds[j].hi);
    }
    const Objective& objective = problem.objective();
    ResidualWorkspace workspace = objective.make_workspace();
    std::vector<double> r(objective.residual_count());
    objective.residuals(params.data(), r, workspace, counter);

    FitOutcome outcome;
    outcome.chi_square = chi_square_of(r);
    outcome.cost = 0.5 * outcome.chi_square;
    outcome.residual_count = r.size();

    const std::span<const std::size_t> free = problem.free();
    const std::size_t p = free.size(), m = objective.residual_count();
    JacobianWorkspace jacobian_workspace(objective, p);
    std::vector<double> jacobian(p * m);
    jacobian_columns(objective, params, free, jacobian_workspace, jacobian, counter);
    const double dof = static_cast<double>(m) - static_cast<double>(p);
    if (dof > 0.0) {
        std::vector<double> jtj(p * p, 0.0);
        for (std::size_t a = 0; a < p; ++a) {
            for (std::size_t b = 0; b <= a; ++b) {
                double sum = 0.0;
                for (std::size_t k = 0; k < m; ++k) sum += jacobian[a * m + k] * jacobian[b * m + k];
                jtj[a * p + b] = jtj[b * p + a] = sum;
            }
        }
        if (auto inverse = linalg::invert(jtj, p)) {
            const double s2 = outcome.chi_square / dof;
            std::vector<double> errors(params.size(), std::numeric_limits<double>::quiet_NaN());
            for (std::size_t j = 0; j < p; ++j) errors[free[j]] = std::sqrt((*inverse)[j * p + j] * s2);
            outcome.stderr_values = std::move(errors);
            for (double& entry : *inverse) entry *= s2;
            outcome.covariance = std::move(*inverse);
        }
    }
    if (problem.any_fixed()) outcome.fixed = problem.fixed();
    outcome.impedance_evals = counter.load();
    outcome.circuit = rebuild(problem.circuit(), params);
    outcome.param_names = problem.names();
    outcome.params = std::move(params);
    outcome.iterations = iterations;
    outcome.success = success;
    outcome.message = std::move(message);
    outcome.residuals = std::move(r);
    return outcome;
}

}  // namespace kelvara
