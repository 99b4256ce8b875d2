#include "diagnostics/kk_fit.hpp"

#include <algorithm>

#include "support/total_order.hpp"
#include "diagnostics/kk_normal_equations.hpp"
#include "diagnostics/kk_orthogonal.hpp"
#include "diagnostics/kk_noise.hpp"
#include "diagnostics/sign_runs.hpp"

namespace kelvara::diagnostics {
namespace {

// The fit with `tau`, bounded columns non-negative: the active set from the
// normal equations, then the least-squares solution over the columns it keeps
// by orthogonal factorisation when the spectrum is small enough.
std::optional<BoundedSolution> final_fit(const KkProblem& problem, std::span<const double> tau) {
    std::optional<BoundedSolution> fit = bounded_solve(problem, tau, normal_equations(problem, tau));
    if (fit && problem.points() <= orthogonal_max_points) {
        fit->coef = orthogonal_solve(problem, tau, fit->system.dropped);
    }
    return fit;
}

// Model and relative residuals at every point, and the fitted terms scaled back to ohm.
void fill_outcome(const KkProblem& problem, std::span<const double> tau, std::span<const double> coef, KkFit& out) {
    const std::size_t n = problem.points(), size = coef.size();
    std::vector<double> re(size), im(size);
    out.fitted.resize(n);
    out.residuals.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        problem.rows(i, tau, re, im);
        Complex model{0.0, 0.0};
        for (std::size_t a = 0; a < size; ++a) {
            model.re += re[a] * coef[a];
            model.im += im[a] * coef[a];
        }
        out.residuals[i] = problem.target[i] - model;
        out.fitted[i] = (problem.scale / problem.weight[i]) * model;
    }
    const std::size_t fixed = problem.fixed_count();
    out.capacitance = problem.model.capacitance;
    out.time_constants.assign(tau.begin(), tau.end());
    out.resistances.resize(tau.size());
    for (std::size_t k = 0; k < tau.size(); ++k) out.resistances[k] = coef[fixed + k] * problem.scale;
    out.ohmic_resistance = coef[0] * problem.scale;
    out.inductance = problem.model.inductance ? coef[1] * problem.scale : 0.0;
    out.elastance = problem.model.capacitance ? coef[problem.capacitance_column()] * problem.scale : 0.0;
    out.mu = kk_mu(coef.subspan(fixed));
}

double smaller_runs_z(std::span<const double> frequencies_hz, const std::vector<Complex>& residuals) {
    const std::vector<std::size_t> order = ascending_order(frequencies_hz);
    return std::min(sign_runs(residuals, order, &Complex::re).z(), sign_runs(residuals, order, &Complex::im).z());
}

}  // namespace

std::optional<KkFit> kramers_kronig_fit(std::span<const double> frequencies_hz, std::span<const Complex> impedances,
                                        const KkSettings& settings) {
    const KkModel model{.inductance = settings.inductance,
                        .capacitance = settings.capacitance.value_or(capacitive_tail(frequencies_hz, impedances)),
                        .extend_decades = settings.extend_decades};
    const std::optional<KkProblem> problem = kk_problem(frequencies_hz, impedances, model);
    if (!problem || settings.max_elements == 0) return std::nullopt;
    const std::size_t cap = settings.max_elements;
    const std::size_t m = settings.rule ? choose_element_count(*problem, cap, *settings.rule, settings.c) : cap;
    const std::vector<double> tau = kk_time_constants(problem->log_tau_range(), m);
    const std::optional<BoundedSolution> fit = final_fit(*problem, tau);
    if (!fit) return std::nullopt;
    KkFit out;
    fill_outcome(*problem, tau, fit->coef, out);
    const std::optional<DifferenceNoise> noise = difference_noise(*problem, tau, *fit, frequencies_hz);
    if (noise) out.noise = noise->successive;
    out.runs_z = smaller_runs_z(frequencies_hz, out.residuals);
    return out;
}

}  // namespace kelvara::diagnostics
