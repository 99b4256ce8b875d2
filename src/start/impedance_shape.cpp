#include "start/impedance_shape.hpp"
#include "support/constants.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

namespace kelvara::start {
namespace {

// Points at the low end whose reactance gives the tail's slope.
constexpr std::size_t tail_points = 4;
// A slope above this is a capacitive or diffusive rise, below it the
// spectrum is closing onto the real axis.
constexpr double open_tail_slope = 0.25;

double modulus(Complex z) { return std::hypot(z.re, z.im); }

}  // namespace

ImpedanceShape read_shape(std::span<const double> frequencies_hz, std::span<const Complex> impedances) {
    const std::size_t n = frequencies_hz.size();
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return frequencies_hz[a] < frequencies_hz[b]; });

    ImpedanceShape shape;
    shape.omega_min = two_pi * frequencies_hz[order.front()];
    shape.omega_max = two_pi * frequencies_hz[order.back()];
    double log_sum = 0.0;
    shape.modulus_min = modulus(impedances[0]);
    shape.modulus_max = shape.modulus_min;
    for (std::size_t i = 0; i < n; ++i) {
        const double m = modulus(impedances[i]);
        shape.modulus_min = std::min(shape.modulus_min, m);
        shape.modulus_max = std::max(shape.modulus_max, m);
        log_sum += std::log(std::max(m, 1e-300));
    }
    shape.modulus_typical = std::exp(log_sum / static_cast<double>(n));

    // The high-frequency intercept: the real part where -Im Z is smallest in
    // the upper half of the window (where it crosses the axis, or the end).
    double best_reactance = INFINITY;
    for (std::size_t k = n / 2; k < n; ++k) {
        const Complex z = impedances[order[k]];
        if (std::fabs(z.im) < best_reactance) {
            best_reactance = std::fabs(z.im);
            shape.r_high = z.re;
        }
    }
    shape.r_high = std::max(shape.r_high, 0.0);
    // Inductance from the highest point if it is inductive.
    const Complex top = impedances[order.back()];
    if (top.im > 0.0) shape.inductance = top.im / shape.omega_max;

    const Complex bottom = impedances[order.front()];
    shape.r_low = bottom.re;
    shape.low_reactance = -bottom.im;
    const std::size_t m = std::min(tail_points, n);
    // Least-squares slope of ln(-Im Z) against ln w over the lowest capacitive points.
    double sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
    std::size_t used = 0;
    for (std::size_t k = 0; k < m; ++k) {
        const Complex z = impedances[order[k]];
        if (!(-z.im > 0.0)) continue;
        const double x = std::log(frequencies_hz[order[k]]);
        const double y = std::log(-z.im);
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
        ++used;
    }
    if (used >= 2) {
        const double count = static_cast<double>(used);
        const double denominator = count * sxx - sx * sx;
        if (denominator > 0.0) shape.low_slope = -(count * sxy - sx * sy) / denominator;
    }
    shape.open_tail = shape.low_reactance > 0.0 && shape.low_slope > open_tail_slope;
    return shape;
}

}  // namespace kelvara::start
