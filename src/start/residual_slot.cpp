#include "start/residual_slot.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "circuit/evaluate.hpp"
#include "circuit/layout.hpp"
#include "diagnostics/fit_flags.hpp"

namespace kelvara::start {
namespace {

// Two slots whose reactances peak closer than this factor in frequency hold one process.
constexpr double same_process = 3.0;
// The grid a slot's reactance peak is looked for on: the window and this
// factor beyond each end, at this many points per decade.
constexpr double grid_margin = 30.0;
constexpr double grid_per_decade = 8.0;
// Residual peaks tried, and the missing process's resistance in units of
// the residual there (the fit absorbs part of what it misses).
constexpr std::size_t peaks_tried = 2;
constexpr double resistance_scales[] = {3.0, 30.0};
constexpr double default_alpha = 0.9;
// Correlation of neighbouring residuals above which they are not noise.
constexpr double smooth_residual = 0.5;

// Correlation of each relative residual with the next one's.
double lag_correlation(std::span<const Complex> measured, std::span<const Complex> fitted) {
    double next = 0.0, own = 0.0;
    Complex last{};
    for (std::size_t i = 0; i < measured.size(); ++i) {
        const Complex d = (measured[i] - fitted[i]) / measured[i];
        own += d.re * d.re + d.im * d.im;
        if (i > 0) next += d.re * last.re + d.im * last.im;
        last = d;
    }
    return own > 0.0 ? next / own : 0.0;
}

// ln of the angular frequency where the slot's reactance peaks; NaN when it
// shows none, or only beyond the grid's ends.
double reactance_peak(const SeriesList& slot, std::span<const double> values, std::span<const double> grid_hz,
                      std::vector<Complex>& z) {
    const SeriesList tree = rebuild(slot, values);
    impedance_at_frequencies(tree, grid_hz, z);
    std::size_t top = 0;
    for (std::size_t i = 1; i < z.size(); ++i) {
        if (-z[i].im > -z[top].im) top = i;
    }
    if (!(-z[top].im > 0.0) || !std::isfinite(z[top].im) || top == 0 || top + 1 == z.size()) return std::nan("");
    return std::log(2.0 * std::numbers::pi * grid_hz[top]);
}

}  // namespace

bool slot_in_corner(std::span<const double> values, ParamRange range, std::span<const Bounds> bounds,
                    const std::vector<bool>& fixed) {
    for (std::size_t j = range.begin; j < range.end; ++j) {
        if (fixed[j] || std::isfinite(bounds[j].hi)) continue;
        // on its floor or running off, as the at_bound flag reads it
        if (values[j] <= bounds[j].lo * diagnostics::floor_factor || values[j] >= diagnostics::runaway) return true;
    }
    return false;
}

ResidualStarts residual_slot_starts(const SeriesList& circuit, std::span<const double> best,
                                    const MeasuredSpectrum& spectrum, const ImpedanceShape& shape,
                                    const Backdrop& backdrop, std::span<const Bounds> bounds,
                                    const std::vector<bool>& fixed) {
    ResidualStarts starts;
    const std::vector<ParamRange> ranges = slot_ranges(circuit);
    const std::vector<SeriesList> slots = slot_circuits(circuit);
    if (ranges.empty() || spectrum.size() < 3) return starts;

    // The residual in order of frequency (neighbours are compared).
    std::vector<std::size_t> order(spectrum.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return spectrum.frequencies_hz()[a] < spectrum.frequencies_hz()[b];
    });
    std::vector<double> f(order.size());
    std::vector<Complex> measured(order.size()), fitted(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        f[i] = spectrum.frequencies_hz()[order[i]];
        measured[i] = spectrum.impedances()[order[i]];
    }
    impedance_at_frequencies(rebuild(circuit, best), f, fitted);
    std::vector<double> miss(f.size()), relative(f.size());
    for (std::size_t i = 0; i < f.size(); ++i) {
        const Complex d = measured[i] - fitted[i];
        miss[i] = std::hypot(d.re, d.im);
        relative[i] = miss[i] / std::hypot(measured[i].re, measured[i].im);
        if (!std::isfinite(relative[i])) return starts;
    }
    // Which slots are idle.
    const double lo = std::log10(shape.omega_min / (2.0 * std::numbers::pi * grid_margin));
    const double hi = std::log10(shape.omega_max * grid_margin / (2.0 * std::numbers::pi));
    const std::size_t n = static_cast<std::size_t>(std::ceil((hi - lo) * grid_per_decade)) + 1;
    std::vector<double> grid(n);
    for (std::size_t i = 0; i < n; ++i) {
        grid[i] = std::pow(10.0, lo + (hi - lo) * static_cast<double>(i) / static_cast<double>(n - 1));
    }
    std::vector<Complex> z(n);
    std::vector<double> peak(ranges.size());
    std::vector<bool> idle(ranges.size(), false), held(ranges.size(), false);
    for (std::size_t s = 0; s < ranges.size(); ++s) {
        const ParamRange r = ranges[s];
        for (std::size_t j = r.begin; j < r.end; ++j) held[s] = held[s] || fixed[j];
        peak[s] = reactance_peak(slots[s], best.subspan(r.begin, r.end - r.begin), grid, z);
        idle[s] = std::isnan(peak[s]) || slot_in_corner(best, r, bounds, fixed);
    }
    for (std::size_t s = 0; s < ranges.size(); ++s) {
        for (std::size_t t = s + 1; t < ranges.size(); ++t) {
            if (!(std::fabs(peak[s] - peak[t]) < std::log(same_process))) continue;
            idle[s] = true;
            idle[t] = true;
        }
    }
    // A residual that runs smoothly from point to point is not noise: the
    // fit misses a process, and any slot may be the one to move.
    const bool smooth = lag_correlation(measured, fitted) > smooth_residual;
    std::vector<bool> movable(ranges.size());
    for (std::size_t s = 0; s < ranges.size(); ++s) movable[s] = (idle[s] || smooth) && !held[s];
    if (std::none_of(movable.begin(), movable.end(), [](bool b) { return b; })) return starts;

    std::vector<std::size_t> maxima;
    for (std::size_t i = 0; i < f.size(); ++i) {
        const bool left = i == 0 || relative[i] >= relative[i - 1];
        const bool right = i + 1 == f.size() || relative[i] >= relative[i + 1];
        if (left && right && relative[i] > 0.0) maxima.push_back(i);
    }
    std::sort(maxima.begin(), maxima.end(), [&](std::size_t a, std::size_t b) { return relative[a] > relative[b]; });
    if (maxima.size() > peaks_tried) maxima.resize(peaks_tried);

    const std::vector<double> own(best.begin(), best.end());
    for (std::size_t i : maxima) {
        for (double scale : resistance_scales) {
            const Process process{scale * miss[i], 1.0 / (2.0 * std::numbers::pi * f[i]), default_alpha};
            const std::vector<double> placed =
                param_values(place(circuit, shape, backdrop, std::vector<Process>(ranges.size(), process)));
            for (std::size_t s = 0; s < ranges.size(); ++s) {
                if (!movable[s]) continue;
                std::vector<double> start = own;
                std::copy(placed.begin() + static_cast<std::ptrdiff_t>(ranges[s].begin),
                          placed.begin() + static_cast<std::ptrdiff_t>(ranges[s].end),
                          start.begin() + static_cast<std::ptrdiff_t>(ranges[s].begin));
                (idle[s] ? starts.idle : starts.other).push_back(std::move(start));
            }
        }
    }
    return starts;
}

}  // namespace kelvara::start
