#include "diagnostics/fit_flags.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "circuit/evaluate.hpp"
#include "support/total_order.hpp"
#include "diagnostics/judged_correlation.hpp"
#include "diagnostics/noise_level.hpp"
#include "diagnostics/sign_runs.hpp"

namespace kelvara::diagnostics {
namespace {

template <class... Values>
std::string printed(const char* format, Values... values) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, format, values...);
    return buffer;
}

// Where a free parameter sits, if at a bound or running away.
std::optional<std::string> bound_reached(double value, Bounds bounds) {
    const double lo = bounds.lo, hi = bounds.hi;
    if (std::fabs(value) > runaway) {
        return "is running off to infinity: the data do not hold it (remove the element or bound it)";
    }
    if (value <= lo + (lo != 0.0 ? 1e-9 * std::fabs(lo) : 1e-9) || (0.0 < lo && lo <= 1e-12 && value <= lo * floor_factor)) {
        return printed("sits on its lower bound %.3g", lo);
    }
    if (std::isfinite(hi) && value >= hi - (hi != 0.0 ? 1e-9 * std::fabs(hi) : 1e-9)) {
        return printed("sits on its upper bound %.3g", hi);
    }
    return std::nullopt;
}

// Distinct frequencies among the fitted points: replicates at one frequency add
// no shape to the spectrum, so a circuit with 2 free parameters per distinct
// frequency fits any such data exactly, and its standard errors mean nothing.
std::size_t distinct_frequencies(std::span<const double> measured) {
    std::vector<double> frequencies(measured.begin(), measured.end());
    std::sort(frequencies.begin(), frequencies.end());
    return static_cast<std::size_t>(std::unique(frequencies.begin(), frequencies.end()) - frequencies.begin());
}

void parameter_flags(const JudgedFit& fit, std::vector<Flag>& flags) {
    const FitOutcome& o = fit.outcome;
    const std::size_t distinct = distinct_frequencies(o.spectrum.frequencies_hz());
    if (!o.spectrum.empty() && o.free_count() > 0 && 2 * distinct <= o.free_count()) {
        flags.push_back({"undetermined", printed("the spectrum has %zu distinct frequenc%s (%zu numbers) for %zu free "
                                                 "parameters: any such circuit fits it exactly, so its standard errors "
                                                 "mean nothing", distinct, distinct == 1 ? "y" : "ies", 2 * distinct,
                                                 o.free_count())});
    }
    if (!o.stderr_values) {
        flags.push_back({"undetermined", "the parameters are not determined by the data: J^T J is singular or there "
                                         "are no more residuals than free parameters, so there are no standard errors"});
    }
    std::vector<bool> bounded(o.param_names.size(), false);
    for (std::size_t j = 0; j < o.param_names.size() && j < o.params.size() && j < fit.bounds.size(); ++j) {
        if (fit.is_fixed(j)) continue;
        const std::string& name = o.param_names[j];
        const double value = o.params[j];
        if (const auto where = bound_reached(value, fit.bounds[j])) {
            flags.push_back({"at_bound", name + " = " + printed("%.3g", value) + " " + *where});
            bounded[j] = true;
        }
        if (!o.stderr_values) continue;
        const double error = j < o.stderr_values->size() ? (*o.stderr_values)[j] : std::numeric_limits<double>::quiet_NaN();
        if (!std::isfinite(error)) {
            flags.push_back({"undetermined", name + " is not determined by the data (no finite standard error)"});
        } else if (value != 0.0 && error > relative_error_limit * std::fabs(value)) {
            flags.push_back({"undetermined", name + " is not determined by the data (standard error " +
                                                 printed("%.3g", 100.0 * error / std::fabs(value)) + " % of its value)"});
        }
    }
    // A parameter on a bound is not free to move as the matrix assumes: its
    // correlations say nothing beyond its at_bound flag.
    const JudgedCorrelation judged = judged_correlation(fit);
    const std::size_t n = judged.params.size();
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = a + 1; b < n; ++b) {
            if (bounded[judged.params[a]] || bounded[judged.params[b]]) continue;
            const double rho = judged.matrix[a * n + b];
            if (std::isfinite(rho) && std::fabs(rho) > correlation_limit) {
                flags.push_back({"correlated", judged.labels[a] + " and " + judged.labels[b] + " are correlated (" +
                                                   printed("%+.4f", rho) +
                                                   "): the data determine a combination of them, not each"});
            }
        }
    }
}

// (Z_fit - Z) / |Z| at the fitted frequencies; empty without the fitted
// spectrum or where a value is not finite.
std::vector<Complex> relative_residuals(const FitOutcome& o) {
    if (o.residual_count == 0 || o.spectrum.empty()) return {};
    std::vector<Complex> model(o.spectrum.size());
    impedance_at_frequencies(o.circuit, o.spectrum.frequencies_hz(), model);
    for (std::size_t i = 0; i < model.size(); ++i) {
        const Complex z = o.spectrum.impedances()[i];
        const double magnitude = std::hypot(z.re, z.im);
        model[i] = (1.0 / magnitude) * (model[i] - z);
        if (!std::isfinite(model[i].re) || !std::isfinite(model[i].im)) return {};
    }
    return model;
}

double rms(const std::vector<Complex>& relative) {
    double sum = 0.0;
    for (const Complex r : relative) sum += r.re * r.re + r.im * r.im;
    return std::sqrt(sum / (2.0 * static_cast<double>(relative.size())));
}

// The runs test over the signs of the real parts and of the imaginary parts
// in frequency order, taken together.
double pooled_runs_z(const FitOutcome& o, const std::vector<Complex>& relative) {
    const std::vector<std::size_t> order = ascending_order(o.spectrum.frequencies_hz());
    SignRuns both = sign_runs(relative, order, &Complex::re);
    both += sign_runs(relative, order, &Complex::im);
    return both.z();
}

void misfit_flags(const FitOutcome& o, std::optional<double> noise, std::vector<Flag>& flags) {
    const std::vector<Complex> relative = relative_residuals(o);
    if (relative.empty()) return;
    const double misfit = rms(relative);
    if (!noise) noise = noise_level(o.spectrum);
    if (!noise) return;
    const double residuals = 2.0 * static_cast<double>(relative.size());
    const double free = static_cast<double>(o.free_count());
    // no residuals to spare: the misfit says nothing about the noise
    const double scaled = free < residuals ? misfit * std::sqrt(residuals / (residuals - free))
                                           : std::numeric_limits<double>::infinity();
    if (misfit > misfit_floor && scaled > misfit_limit(relative.size()) * *noise) {
        flags.push_back({"misfit", "the rms misfit " + printed("%.3g", 100.0 * misfit) +
                                       " % is well above the data's noise " + printed("%.3g", 100.0 * *noise) +
                                       " %: the circuit does not describe the data"});
    }
    // the runs test only once the misfit is above the noise, and above half the floor
    if (misfit > std::max(*noise, 0.5 * misfit_floor)) {
        const double z = pooled_runs_z(o, relative);
        if (z < runs_z_limit) {
            flags.push_back({"structure", "the residuals run in long stretches of one sign (runs test z = " +
                                              printed("%.2g", z) + "): a feature of the data is not in the circuit"});
        }
    }
}

}  // namespace

std::vector<Flag> fit_flags(const JudgedFit& fit, std::optional<double> noise) {
    const FitOutcome& o = fit.outcome;
    std::vector<Flag> flags;
    if (!o.success) flags.push_back({"not_converged", "the fit did not converge: " + o.message});
    if (!std::isfinite(o.cost)) {
        flags.push_back({"not_finite", "the cost is not finite: the circuit cannot be evaluated at some points"});
        return flags;
    }
    parameter_flags(fit, flags);
    misfit_flags(o, noise, flags);
    return flags;
}

double misfit_limit(std::size_t points) {
    return 1.0 + misfit_spread / std::sqrt(2.0 * static_cast<double>(std::max<std::size_t>(points, 1)));
}

double relative_misfit(const FitOutcome& outcome) {
    const std::vector<Complex> relative = relative_residuals(outcome);
    return relative.empty() ? std::numeric_limits<double>::infinity() : rms(relative);
}

}  // namespace kelvara::diagnostics
