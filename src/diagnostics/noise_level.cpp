#include "diagnostics/noise_level.hpp"

#include <algorithm>
#include <cmath>

#include "diagnostics/kk_noise.hpp"
#include "diagnostics/kk_normal_equations.hpp"
#include "diagnostics/kk_problem.hpp"

namespace kelvara::diagnostics {

std::optional<double> noise_level(std::span<const double> frequencies_hz, std::span<const Complex> impedances) {
    const auto spectrum = MeasuredSpectrum::check({frequencies_hz.begin(), frequencies_hz.end()},
                                                  {impedances.begin(), impedances.end()});
    if (!spectrum) return std::nullopt;
    return noise_level(*spectrum);
}

std::optional<double> noise_level(const MeasuredSpectrum& spectrum) {
    const std::size_t n = spectrum.size();
    if (n < noise_min_points) return std::nullopt;
    const std::span<const double> frequencies_hz = spectrum.frequencies_hz();
    const std::span<const Complex> impedances = spectrum.impedances();
    const KkModel model{.inductance = true,
                        .capacitance = capacitive_tail(frequencies_hz, impedances),
                        .extend_decades = noise_extend_decades};
    const std::optional<KkProblem> problem = kk_problem(spectrum, model);
    if (!problem) return std::nullopt;
    const auto [f_min, f_max] = std::minmax_element(frequencies_hz.begin(), frequencies_hz.end());
    const double decades = std::log10(*f_max / *f_min) + 2.0 * noise_extend_decades;
    const auto count = static_cast<std::size_t>(
        std::clamp(std::ceil(noise_elements_per_decade * decades), 1.0, static_cast<double>(n)));
    const std::vector<double> tau = kk_time_constants(problem->log_tau_range(), count);
    const std::optional<BoundedSolution> fit = bounded_solve(*problem, tau, normal_equations(*problem, tau));
    if (!fit) return std::nullopt;
    const std::optional<DifferenceNoise> noise = difference_noise(*problem, tau, *fit, frequencies_hz);
    if (!noise) return std::nullopt;
    return noise->unbiased;
}

}  // namespace kelvara::diagnostics
