// The noise of a measured spectrum, read from the residuals of a linear
// Kramers-Kronig fit of it: what the flags of a fit compare its misfit with.
#pragma once

#include <optional>
#include <span>

#include "elements/complex.hpp"

namespace kelvara::diagnostics {

// Time constants per decade of the Kramers-Kronig fit.
inline constexpr double noise_elements_per_decade = 3.0;
// The time-constant range reaches this many decades beyond the measured range
// (at the slow end only without a series capacitance).
inline constexpr double noise_extend_decades = 0.5;
// A spectrum whose lowest-frequency point is more capacitive than this (-phase,
// degrees) has no low-frequency intercept: the fit adds a series capacitance.
inline constexpr double capacitive_tail_degrees = 15.0;
// Fewest points the fit accepts (three fixed terms and one element, and more).
inline constexpr std::size_t noise_min_points = 5;

// The noise as a fraction of |Z| (0.005 for 0.5 %); nullopt when the fit cannot
// run (fewer than noise_min_points, a frequency not positive and finite, an
// impedance zero or not finite, or a singular system).
//
// One linear fit of R0 + jwL (+ 1/(jwC)) + sum R_k / (1 + jw tau_k) with
// noise_elements_per_decade time constants per decade, weighted by 1/|Z|; the
// series capacitance and the elements slower than the lowest frequency are held
// non-negative (an element with a negative R there stands for nothing and, with
// a partner of opposite sign, absorbs the end of a sweep). The noise is read from
// the differences of neighbouring residuals in frequency order, real and
// imaginary parts: white scatter of deviation s gives differences of deviation
// s sqrt(2), while a smooth misfit hardly enters them. What the fit takes out
// of white scatter's differences (a fifth at five points per decade) is
// allowed for, so that the square of the estimate is unbiased.
std::optional<double> noise_level(std::span<const double> frequencies_hz, std::span<const Complex> impedances);

}  // namespace kelvara::diagnostics
