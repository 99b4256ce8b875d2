#include "drt/peaks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace kelvara::drt {
namespace {

constexpr std::size_t samples_per_spacing = 8;
constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double decade = 2.302585092994046;
constexpr double ringing_decades = 2.0;  // see PeakRules::edge_share

// The vertex of the parabola through (-1, a), (0, b), (1, c), as an offset.
double vertex_offset(double a, double b, double c) {
    const double curvature = a - 2.0 * b + c;
    if (!(curvature < 0.0)) return 0.0;
    return std::clamp(0.5 * (a - c) / curvature, -0.5, 0.5);
}

struct Sampled {
    const RbfBasis& basis;
    std::vector<double> gamma;
    double step;

    double position(std::size_t j) const { return basis.first_centre + static_cast<double>(j) * step; }
    std::size_t lowest_between(std::size_t first, std::size_t last) const {
        return static_cast<std::size_t>(std::min_element(gamma.begin() + static_cast<std::ptrdiff_t>(first),
                                                         gamma.begin() + static_cast<std::ptrdiff_t>(last) + 1) -
                                        gamma.begin());
    }
    // Boundaries between neighbouring maxima at the lowest gamma between
    // them. The outermost reach to infinity when gamma falls all the way to
    // the end of the basis (a ZARC's tails do), and stop at the minimum when
    // it rises again towards the end (a process beyond the data).
    std::vector<double> bounds(const std::vector<std::size_t>& maxima) const {
        const std::size_t count = gamma.size();
        std::vector<double> out(maxima.size() + 1);
        const std::size_t first_low = lowest_between(0, maxima.front());
        out.front() = first_low == 0 ? -infinity : position(first_low);
        for (std::size_t p = 0; p + 1 < maxima.size(); ++p) {
            out[p + 1] = position(lowest_between(maxima[p], maxima[p + 1]));
        }
        const std::size_t last_low = lowest_between(maxima.back(), count - 1);
        out.back() = last_low == count - 1 ? infinity : position(last_low);
        return out;
    }
};

}  // namespace

PeakSet find_peaks(const RbfBasis& basis, std::span<const double> coefficients, const PeakRules& rules) {
    const Sampled sampled{basis, basis.sample(coefficients, samples_per_spacing), basis.spacing / samples_per_spacing};
    const std::vector<double>& gamma = sampled.gamma;
    const std::size_t count = gamma.size();
    const double polarisation = basis.integral(coefficients, -infinity, infinity);
    PeakSet set;
    const double middle = 0.5 * (rules.measured_low + rules.measured_high);
    const auto all_tail = [&] {
        set.peaks.clear();
        set.tail_below = basis.integral(coefficients, -infinity, middle);
        set.tail_above = basis.integral(coefficients, middle, infinity);
        return set;
    };
    const double low = rules.measured_low - basis.spacing, high = rules.measured_high + basis.spacing;
    double tallest = 0.0;
    for (std::size_t j = 0; j < count; ++j) {
        const double y = sampled.position(j);
        if (y >= rules.measured_low && y <= rules.measured_high) tallest = std::max(tallest, gamma[j]);
    }
    if (!(tallest > 0.0)) return all_tail();

    std::vector<std::size_t> maxima;
    std::vector<double> prominences;
    for (std::size_t j = 1; j + 1 < count; ++j) {
        if (!(gamma[j] > gamma[j - 1] && gamma[j] >= gamma[j + 1])) continue;
        const double y = sampled.position(j);
        if (y < low || y > high) continue;
        // The lowest point on each side before higher ground (or the end).
        double left = gamma[j], right = gamma[j];
        for (std::size_t i = j; i-- > 0 && gamma[i] <= gamma[j];) left = std::min(left, gamma[i]);
        for (std::size_t i = j + 1; i < count && gamma[i] <= gamma[j]; ++i) right = std::min(right, gamma[i]);
        const double prominence = gamma[j] - std::max(left, right);
        if (prominence >= rules.relative_threshold * tallest) {
            maxima.push_back(j);
            prominences.push_back(prominence);
        }
    }
    if (maxima.empty()) return all_tail();

    // Next to a rising edge, a maximum is a process only when it holds a real
    // share of the resistance; a ripple's area goes to its neighbours.
    const auto within = [&](std::size_t j, double decades) {
        const double y = sampled.position(j);
        return std::pair{y < rules.measured_low + decades * decade, y > rules.measured_high - decades * decade};
    };
    const auto near_low = [&](std::size_t j) { return within(j, 1.0).first; };
    const auto near_high = [&](std::size_t j) { return within(j, 1.0).second; };
    if (rules.rising_below || rules.rising_above) {
        const std::vector<double> bounds = sampled.bounds(maxima);
        std::vector<std::size_t> kept;
        std::vector<double> kept_prominences;
        for (std::size_t p = 0; p < maxima.size(); ++p) {
            const auto [below, above] = within(maxima[p], ringing_decades);
            const auto [next_below, next_above] = within(maxima[p], 1.0);
            const bool edge = (rules.rising_below && below) || (rules.rising_above && above);
            const bool next = (rules.rising_below && next_below) || (rules.rising_above && next_above);
            const double needed = (next ? 2.0 : 1.0) * rules.edge_share * polarisation;
            if (edge && !(basis.integral(coefficients, bounds[p], bounds[p + 1]) >= needed)) continue;
            kept.push_back(maxima[p]);
            kept_prominences.push_back(prominences[p]);
        }
        maxima = std::move(kept);
        prominences = std::move(kept_prominences);
        if (maxima.empty()) return all_tail();
    }

    std::vector<double> bounds = sampled.bounds(maxima);
    // A small part beyond the outermost minima belongs to the outermost peaks.
    set.tail_below = basis.integral(coefficients, -infinity, bounds.front());
    set.tail_above = basis.integral(coefficients, bounds.back(), infinity);
    if (!(set.tail_below >= rules.tail_share * polarisation)) {
        bounds.front() = -infinity;
        set.tail_below = 0.0;
    }
    if (!(set.tail_above >= rules.tail_share * polarisation)) {
        bounds.back() = infinity;
        set.tail_above = 0.0;
    }

    for (std::size_t p = 0; p < maxima.size(); ++p) {
        const std::size_t j = maxima[p];
        // Refine on a finer parabola around the vertex of the coarse one.
        const double coarse = sampled.position(j) + sampled.step * vertex_offset(gamma[j - 1], gamma[j], gamma[j + 1]);
        const double h = 0.25 * sampled.step;
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
        peak.near_edge = near_low(j) || near_high(j);
        set.peaks.push_back(peak);
    }
    return set;
}

}  // namespace kelvara::drt
