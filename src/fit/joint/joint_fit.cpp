// The joint fit: the problem of joint_problem.hpp solved by the engine's
// Levenberg-Marquardt run, parameters that left their bounds held on them and
// the run repeated, then one outcome per spectrum built as a single fit's is,
// with the covariance of the whole problem.
#include "fit/joint/joint_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "circuit/layout.hpp"
#include "fit/joint/joint_covariance.hpp"
#include "fit/joint/joint_problem.hpp"

namespace kelvara {
namespace {

FitError setting_error(std::string text) { return FitError{FitError::Kind::invalid_setting, std::move(text)}; }

std::optional<FitError> check_request(const JointFitRequest& request) {
    if (request.spectra.empty()) return setting_error("a joint fit needs at least one spectrum");
    if (request.shared.empty()) return setting_error("a joint fit needs at least one shared parameter");
    if (auto error = check_lm_settings(request.settings)) return error;
    const std::size_t count = param_count(request.circuit);
    std::vector<bool> seen(count, false);
    for (const std::size_t j : request.shared) {
        if (j >= count) return setting_error("shared parameter index out of range");
        if (seen[j]) return setting_error("a parameter is shared twice");
        seen[j] = true;
        if (j < request.control.fixed.size() && request.control.fixed[j]) {
            return setting_error("shared parameters cannot also be fixed");
        }
    }
    for (const JointSpectrum& spectrum : request.spectra) {
        if (spectrum.start.size() != count) return setting_error("a start must hold every parameter");
    }
    return std::nullopt;
}

// Where parameter j (not held) sits among the free parameters.
std::size_t free_position(const FitProblem& problem, std::size_t j) {
    const std::span<const std::size_t> free = problem.free();
    return static_cast<std::size_t>(std::find(free.begin(), free.end(), j) - free.begin());
}

// Of the finite values; NaN when there is none.
double median(std::vector<double> values) {
    std::erase_if(values, [](double v) { return !std::isfinite(v); });
    if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// The shared parameters start at the median of the spectra's starts, in
// search coordinates (a geometric median for a log-scaled parameter).
std::vector<double> shared_start(const JointFitRequest& request, const FitProblem& first) {
    std::vector<double> x0;
    for (const std::size_t j : request.shared) {
        const std::size_t f = free_position(first, j);
        std::vector<double> coordinates;
        for (const JointSpectrum& spectrum : request.spectra) {
            coordinates.push_back(first.space().internal(f, spectrum.start[j]));
        }
        x0.push_back(median(std::move(coordinates)));
    }
    return x0;
}

std::string joined_names(const std::vector<std::string>& names, std::span<const std::size_t> which) {
    std::string text;
    for (const std::size_t j : which) text += (text.empty() ? "" : ", ") + names[j];
    return text;
}

// Each spectrum's outcome gets the covariance of the whole problem, scaled by
// the chi-square of all spectra over the joint degrees of freedom.
void attach_joint_covariance(const std::vector<JointMember>& members, std::span<const std::size_t> shared,
                             std::vector<FitOutcome>& outcomes, EvaluationCounter& counter) {
    const FitProblem& first = *members.front().full;
    const std::size_t columns = first.free_count();
    std::vector<std::size_t> shared_columns;
    for (const std::size_t j : shared) shared_columns.push_back(free_position(first, j));
    double chi_square = 0.0, residual_count = 0.0;
    std::vector<std::vector<double>> jacobians;
    std::vector<JacobianBlock> blocks;
    for (std::size_t i = 0; i < members.size(); ++i) {
        const Objective& objective = members[i].full->objective();
        JacobianWorkspace workspace(objective, columns);
        jacobians.emplace_back(objective.residual_count() * columns);
        jacobian_columns(objective, outcomes[i].params, members[i].full->free(), workspace, jacobians.back(), counter);
        chi_square += outcomes[i].chi_square;
        residual_count += static_cast<double>(objective.residual_count());
    }
    for (std::size_t i = 0; i < members.size(); ++i) blocks.push_back({jacobians[i], members[i].full->objective().residual_count()});
    const double unknowns = static_cast<double>(members.size() * (columns - shared.size()) + shared.size());
    const double dof = residual_count - unknowns;
    std::optional<std::vector<std::vector<double>>> covariances;
    if (dof > 0.0) covariances = joint_covariance(blocks, columns, shared_columns, chi_square / dof);
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        FitOutcome& outcome = outcomes[i];
        outcome.covariance.clear();
        outcome.stderr_values.reset();
        if (!covariances) continue;
        std::vector<double> errors(outcome.params.size(), std::numeric_limits<double>::quiet_NaN());
        const std::span<const std::size_t> free = members[i].full->free();
        for (std::size_t c = 0; c < columns; ++c) errors[free[c]] = std::sqrt((*covariances)[i][c * columns + c]);
        outcome.stderr_values = std::move(errors);
        outcome.covariance = std::move((*covariances)[i]);
    }
}

// Each spectrum's problems: one with its own and the shared parameters free,
// one with the shared ones held as well (started at the shared start `x0`,
// which is returned, as are the starts of every parameter).
Result<std::vector<JointMember>, FitError> make_members(const JointFitRequest& request, std::vector<double>& x0,
                                                        std::vector<std::vector<double>>& starts) {
    ParameterControl own_control = request.control;
    if (own_control.fixed.empty()) own_control.fixed.assign(param_count(request.circuit), false);
    for (const std::size_t j : request.shared) own_control.fixed[j] = true;
    const bool anything_own = std::count(own_control.fixed.begin(), own_control.fixed.end(), false) > 0;
    std::vector<JointMember> members;
    for (const JointSpectrum& spectrum : request.spectra) {
        auto full = FitProblem::make(rebuild(request.circuit, spectrum.start), spectrum.spectrum, request.weighting,
                                     request.control);
        if (!full) return fail(full.error());
        members.push_back({std::move(full).value(), nullptr});
    }
    x0 = shared_start(request, *members.front().full);
    for (std::size_t i = 0; i < members.size(); ++i) {
        const FitProblem& full = *members[i].full;
        std::vector<double> start = request.spectra[i].start;
        for (std::size_t t = 0; t < request.shared.size(); ++t) {
            const std::size_t j = request.shared[t];
            start[j] = std::clamp(full.space().physical(free_position(full, j), x0[t]), full.bounds()[j].lo,
                                  full.bounds()[j].hi);
        }
        if (anything_own) {
            auto own = FitProblem::make(rebuild(request.circuit, start), request.spectra[i].spectrum,
                                        request.weighting, own_control);
            if (!own) return fail(own.error());
            members[i].own = std::move(own).value();
        }
        starts.push_back(std::move(start));
    }
    return members;
}

struct Solved {
    minpack::LmderResult run;
    std::uint64_t iterations;  // residual evaluations of the joint problem, every run
};

// The solver's runs: the first from the start, then, while parameters leave
// their bounds, again with them held there. Each round holds at least one
// more parameter; a few settle every practical case, and build_outcome
// clamps whatever is left.
Result<Solved, FitError> solve(JointProblem& problem, const LmSettings& lm_settings) {
    constexpr int bound_rounds = 3;
    const minpack::LmderSettings settings = solver_settings(lm_settings);
    Solved solved{minpack::lmder(problem, settings), 0};
    solved.iterations = solved.run.evaluations;
    for (int round = 0;; ++round) {
        if (problem.interrupted() || solved.run.status == minpack::LmderStatus::interrupted) {
            return fail(FitError{FitError::Kind::interrupted, {}});
        }
        if (round == bound_rounds || !problem.hold_out_of_bounds()) return solved;
        solved.run = minpack::lmder(problem, settings);
        solved.iterations += solved.run.evaluations;
    }
}

// Success and why the solver stopped, in the words of a single fit: a run
// that gave up with the residuals at rounding level converged all the same.
std::pair<bool, std::string> judged_end(JointProblem& problem, const std::vector<JointMember>& members,
                                        const minpack::LmderResult& run) {
    if (run.status == minpack::LmderStatus::lost_patience || run.status == minpack::LmderStatus::no_improvement) {
        std::vector<double> r(problem.residual_count());
        problem.residuals(r);
        double floor = 0.0;
        for (const JointMember& member : members) floor += rounding_level_cost(member.full->data());
        if (cost_of(r) <= floor) return {true, rounding_level_reason};
    }
    return {run.success(), stop_reason(run.status)};
}

}  // namespace

Result<JointOutcome, FitError> joint_fit(const JointFitRequest& request, InterruptCheck interrupt) {
    const InterruptScope scope(interrupt);
    if (auto error = check_request(request)) return fail(*error);
    std::vector<double> x0;
    std::vector<std::vector<double>> starts;
    auto members = make_members(request, x0, starts);
    if (!members) return fail(members.error());

    EvaluationCounter counter{0};
    JointProblem problem(members.value(), request.shared, std::move(starts), x0, counter);
    auto solved = solve(problem, request.settings);
    if (!solved) return fail(solved.error());
    const auto [success, reason] = judged_end(problem, members.value(), solved.value().run);

    JointOutcome out;
    out.success = success;
    out.message = "joint fit of " + std::to_string(members.value().size()) + " spectra sharing " +
                  joined_names(members.value().front().full->names(), request.shared) + ": " + reason;
    const std::vector<std::vector<double>> params = problem.params();
    for (std::size_t i = 0; i < params.size(); ++i) {
        FitOutcome outcome = build_outcome(*members.value()[i].full, params[i], success, solved.value().iterations,
                                           counter, out.message);
        outcome.spectrum = request.spectra[i].spectrum;
        out.cost += outcome.cost;
        out.spectra.push_back(std::move(outcome));
    }
    attach_joint_covariance(members.value(), request.shared, out.spectra, counter);
    for (FitOutcome& outcome : out.spectra) outcome.impedance_evals = request.prior_evaluations + counter.load();
    return out;
}

}  // namespace kelvara
