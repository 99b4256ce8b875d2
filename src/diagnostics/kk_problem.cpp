#include "diagnostics/kk_problem.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "circuit/evaluate.hpp"

namespace kelvara::diagnostics {

bool capacitive_tail(std::span<const double> frequencies_hz, std::span<const Complex> impedances) {
    if (frequencies_hz.empty() || impedances.size() != frequencies_hz.size()) return false;
    std::size_t lowest = 0;
    for (std::size_t i = 1; i < frequencies_hz.size(); ++i) {
        if (frequencies_hz[i] < frequencies_hz[lowest]) lowest = i;
    }
    const Complex tail = impedances[lowest];
    return -std::atan2(tail.im, tail.re) * 180.0 / std::numbers::pi > capacitive_tail_degrees;
}

void KkProblem::rows(std::size_t i, std::span<const double> tau, std::span<double> re, std::span<double> im) const {
    const double w = omega[i];
    const double g = weight[i];
    std::size_t column = 0;
    re[column] = g;
    im[column++] = 0.0;
    if (model.inductance) {
        re[column] = 0.0;
        im[column++] = w * g;
    }
    if (model.capacitance) {
        re[column] = 0.0;
        im[column++] = -g / w;
    }
    for (std::size_t k = 0; k < tau.size(); ++k) {
        // 1 / (1 + jx) = (1 - jx) / (1 + x^2)
        const double x = w * tau[k];
        const double real = g / (1.0 + x * x);
        re[column + k] = real;
        im[column + k] = -x * real;
    }
}

std::vector<bool> KkProblem::bounded(std::span<const double> tau) const {
    std::vector<bool> out(fixed_count() + tau.size(), false);
    if (model.capacitance) out[capacitance_column()] = true;
    for (std::size_t k = 0; k < tau.size(); ++k) out[fixed_count() + k] = tau[k] * omega_min > 1.0 + 1e-9;
    return out;
}

std::pair<double, double> KkProblem::log_tau_range() const {
    const double extend = model.extend_decades;
    return {-std::log10(omega_max) - extend, -std::log10(omega_min) + (model.capacitance ? 0.0 : extend)};
}

std::optional<KkProblem> kk_problem(std::span<const double> frequencies_hz, std::span<const Complex> impedances,
                                    const KkModel& model) {
    const auto spectrum = MeasuredSpectrum::check({frequencies_hz.begin(), frequencies_hz.end()},
                                                  {impedances.begin(), impedances.end()});
    if (!spectrum) return std::nullopt;
    return kk_problem(*spectrum, model);
}

std::optional<KkProblem> kk_problem(const MeasuredSpectrum& spectrum, const KkModel& model) {
    const std::size_t n = spectrum.size();
    if (n == 0 || spectrum.unusable() || spectrum.zero_impedance()) return std::nullopt;
    const std::span<const double> frequencies_hz = spectrum.frequencies_hz();
    const std::span<const Complex> impedances = spectrum.impedances();
    // (A |Z| beyond the largest double leaves the scale infinite: the weights below refuse it.)
    double f_min = frequencies_hz[0], f_max = frequencies_hz[0], log_sum = 0.0, largest = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double f = frequencies_hz[i];
        const double magnitude = std::hypot(impedances[i].re, impedances[i].im);
        f_min = std::min(f_min, f);
        f_max = std::max(f_max, f);
        log_sum += std::log(magnitude);
        largest = std::max(largest, magnitude);
    }
    KkProblem problem;
    problem.model = model;
    // The fit runs on Z / scale, so that any impedance scale (micro-ohm to
    // giga-ohm and beyond) gives the same well-scaled equations.
    problem.scale = std::exp(log_sum / static_cast<double>(n));
    if (!std::isfinite(problem.scale) || problem.scale == 0.0) problem.scale = largest;
    problem.omega.resize(n);
    problem.weight.resize(n);
    problem.target.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        problem.omega[i] = two_pi * frequencies_hz[i];
        const Complex scaled = (1.0 / problem.scale) * impedances[i];
        const double weight = 1.0 / std::sqrt(scaled.re * scaled.re + scaled.im * scaled.im);
        // a spectrum spanning more than ~300 decades of |Z| overflows here
        if (!(std::isfinite(weight) && weight > 0.0)) return std::nullopt;
        problem.weight[i] = weight;
        problem.target[i] = {scaled.re * weight, scaled.im * weight};
    }
    problem.omega_min = two_pi * f_min;
    problem.omega_max = two_pi * f_max;
    return problem;
}

std::vector<double> kk_time_constants(std::pair<double, double> log_tau, std::size_t m) {
    const auto [fast, slow] = log_tau;
    std::vector<double> tau(m);
    for (std::size_t k = 0; k < m; ++k) {
        const double fraction = m == 1 ? 0.5 : static_cast<double>(k) / static_cast<double>(m - 1);
        tau[k] = std::pow(10.0, fast + (slow - fast) * fraction);
    }
    return tau;
}

}  // namespace kelvara::diagnostics
