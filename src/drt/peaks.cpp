#include "drt/peaks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kelvara::drt {
namespace {

constexpr std::size_t samples_per_spacing = 8;
constexpr double infinity = std::numeric_limits<double>::infinity();

// The vertex of the parabola through (-1, a), (0, b), (1, c), as an offset.
double vertex_offset(double a, double b, double c) {
    const double curvature = a - 2.0 * b + c;
    if (!(curvature < 0.0)) return 0.0;
    return std::clamp(0.5 * (a - c) / curvature, -0.5, 0.5);
}

}  // namespace

std::vector<Peak> find_peaks(const RbfBasis& basis, std::span<const double> coefficients, double relative_threshold,
                             double measured_low, double measured_high) {
    const double step = basis.spacing / samples_per_spacing;
    const std::vector<double> gamma = basis.sample(coefficients, samples_per_spacing);
    const std::size_t count = gamma.size();
    const double tallest = *std::max_element(gamma.begin(), gamma.end());
    std::vector<std::size_t> maxima;
    if (!(tallest > 0.0)) return {};
    std::vector<double> prominences;
    for (std::size_t j = 1; j + 1 < count; ++j) {
        if (!(gamma[j] > gamma[j - 1] && gamma[j] >= gamma[j + 1])) continue;
        const double y = basis.first_centre + static_cast<double>(j) * step;
        if (y < measured_low || y > measured_high) continue;
        // The lowest point on each side before higher ground (or the end).
        double left = gamma[j], right = gamma[j];
        for (std::size_t i = j; i-- > 0 && gamma[i] <= gamma[j];) left = std::min(left, gamma[i]);
        for (std::size_t i = j + 1; i < count && gamma[i] <= gamma[j]; ++i) right = std::min(right, gamma[i]);
        const double prominence = gamma[j] - std::max(left, right);
        if (prominence >= relative_threshold * tallest) {
            maxima.push_back(j);
            prominences.push_back(prominence);
        }
    }
    const auto position = [&](std::size_t j) { return basis.first_centre + static_cast<double>(j) * step; };
    const auto lowest_between = [&](std::size_t first, std::size_t last) {
        return static_cast<std::size_t>(std::min_element(gamma.begin() + static_cast<std::ptrdiff_t>(first),
                                                         gamma.begin() + static_cast<std::ptrdiff_t>(last) + 1) -
                                        gamma.begin());
    };
    // Boundaries between neighbours at the lowest gamma between them. The
    // outermost peaks reach to infinity when gamma falls all the way to the
    // end of the basis (a ZARC's tails do), and stop at the minimum when it
    // rises again towards the end (a process beyond the data).
    std::vector<double> bounds(maxima.size() + 1);
    if (maxima.empty()) return {};
    const std::size_t first_low = lowest_between(0, maxima.front());
    bounds.front() = first_low == 0 ? -infinity : position(first_low);
    for (std::size_t p = 0; p + 1 < maxima.size(); ++p) bounds[p + 1] = position(lowest_between(maxima[p], maxima[p + 1]));
    const std::size_t last_low = lowest_between(maxima.back(), count - 1);
    bounds.back() = last_low == count - 1 ? infinity : position(last_low);

    std::vector<Peak> peaks;
    for (std::size_t p = 0; p < maxima.size(); ++p) {
        const std::size_t j = maxima[p];
        // Refine on a finer parabola around the vertex of the coarse one.
        const double coarse = position(j) + step * vertex_offset(gamma[j - 1], gamma[j], gamma[j + 1]);
        const double h = 0.25 * step;
        const double a = basis.gamma(coefficients, coarse - h), b = basis.gamma(coefficients, coarse),
                     c = basis.gamma(coefficients, coarse + h);
        Peak peak;
        peak.ln_tau = coarse + h * vertex_offset(a, b, c);
        peak.ln_tau_maximum = peak.ln_tau;
        peak.height = basis.gamma(coefficients, peak.ln_tau);
        peak.prominence = prominences[p];
        peak.resistance = basis.integral(coefficients, bounds[p], bounds[p + 1]);
        peak.ln_tau_low = bounds[p];
        peak.ln_tau_high = bounds[p + 1];
        peaks.push_back(peak);
    }
    return peaks;
}

}  // namespace kelvara::drt
