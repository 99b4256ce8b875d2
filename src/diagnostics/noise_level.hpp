// The noise of a measured spectrum: what the flags of a fit compare its
// misfit with, and what the DRT measures its residuals by.
#pragma once

#include <optional>
#include <span>

#include "circuit/measured_points.hpp"
#include "elements/complex.hpp"

namespace kelvara::diagnostics {

// Time constants per decade of the noise's Kramers-Kronig fit.
inline constexpr double noise_elements_per_decade = 3.0;
// Decades the time constants reach beyond the measured range.
inline constexpr double noise_extend_decades = 0.5;
// Fewest points the fit accepts (three fixed terms and one element, and more).
inline constexpr std::size_t noise_min_points = 5;

// The noise as a fraction of |Z| (0.005 for 0.5 %); nullopt when the fit cannot
// run (fewer than noise_min_points, a frequency not positive and finite, an
// impedance zero or not finite, or a singular system).
//
// One linear Kramers-Kronig fit (kk_problem.hpp) with a series inductance, a
// series capacitance when the lowest-frequency point is capacitive, and
// noise_elements_per_decade time constants per decade over the measured range
// widened by noise_extend_decades at each end (for the count; the slow end is
// not widened with a series capacitance), bounded as every such fit is
// (kk_normal_equations.hpp): the unbiased difference noise of its residuals
// (kk_noise.hpp). The Kramers-Kronig check with this element count fits the
// same model and reports the successive-difference reading of the same sum.
std::optional<double> noise_level(const MeasuredSpectrum& spectrum);
// The same for a spectrum not checked yet (nullopt also for unequal lengths).
std::optional<double> noise_level(std::span<const double> frequencies_hz, std::span<const Complex> impedances);

}  // namespace kelvara::diagnostics
