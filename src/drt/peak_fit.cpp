#include "drt/peak_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "drt/zarc_fit.hpp"

namespace kelvara::drt {
namespace {

// The peak shapes describe the data when their misfit is at most this many
// times the DRT's own: a ZARC spectrum fits as well as its DRT does, while a
// process of another shape (a transmission line, a skewed arc) does not, and
// then the maxima of gamma are the better account of it.
constexpr double accepted_cost_ratio = 3.0;

}  // namespace

PeakFitVerdict fit_peaks(std::vector<Peak>& peaks, const FoundDrt& found, double shortest_measured,
                         double longest_measured) {
    constexpr double infinity = std::numeric_limits<double>::infinity();
    const std::span<const double> angular = found.angular;
    const std::span<const Complex> impedances = found.measured;
    const std::size_t n = angular.size();
    // gamma outside every peak's range (a tail beyond the data, a removed
    // edge maximum) stays as the DRT found it.
    std::vector<Complex> background(n, Complex{});
    std::vector<bool> outside(found.basis.count, false);
    bool any_outside = false;
    for (std::size_t j = 0; j < found.basis.count; ++j) {
        const double centre = found.basis.centre(j);
        const bool inside = std::any_of(peaks.begin(), peaks.end(), [&](const Peak& peak) {
            return centre >= peak.ln_tau_low && centre <= peak.ln_tau_high;
        });
        outside[j] = !inside && found.coefficients[j] != 0.0;
        any_outside = any_outside || outside[j];
    }
    if (any_outside) {
        for (std::size_t i = 0; i < n; ++i) {
            const auto [map_real, map_imag] = found.map.row(i);
            for (std::size_t j = 0; j < found.basis.count; ++j) {
                if (outside[j]) background[i] += Complex{map_real[j], map_imag[j]} * found.coefficients[j];
            }
        }
    }
    std::vector<PeakShape> seeds;
    for (const Peak& peak : peaks) {
        if (!(peak.resistance > 0.0 && peak.height > 0.0)) return {false, infinity};
        seeds.push_back(PeakShape{peak.ln_tau, peak.resistance, alpha_from_height(peak.resistance, peak.height)});
    }
    const PeakFitProblem problem{angular, impedances, background, found.r_inf, found.inductance, found.fit_inductance};
    const PeakFit fit = fit_peak_shapes(problem, seeds);
    if (!fit.converged || !std::isfinite(fit.cost)) return {false, infinity};
    if (!(fit.cost <= accepted_cost_ratio * relative_cost(found.fitted, impedances))) return {false, fit.cost};
    for (std::size_t k = 0; k < peaks.size(); ++k) {
        const PeakShape& shape = fit.shapes[k];
        const double low = std::max(peaks[k].ln_tau_low, shortest_measured);
        const double high = std::min(peaks[k].ln_tau_high, longest_measured);
        if (!(shape.ln_tau >= low && shape.ln_tau <= high && std::isfinite(shape.resistance))) return {false, fit.cost};
    }
    for (std::size_t k = 0; k < peaks.size(); ++k) {
        peaks[k].ln_tau = fit.shapes[k].ln_tau;
        peaks[k].resistance = fit.shapes[k].resistance;
        peaks[k].alpha = fit.shapes[k].alpha;
        peaks[k].height = found.basis.gamma(found.coefficients, peaks[k].ln_tau);
    }
    return {true, fit.cost};
}

}  // namespace kelvara::drt
