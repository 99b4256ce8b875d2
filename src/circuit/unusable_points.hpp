// Points of a measured spectrum that no logarithm or weight can use.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "circuit/measured_points.hpp"
#include "elements/complex.hpp"

namespace kelvara {

// The first point whose frequency is not finite and positive, or else the
// first whose impedance is not finite, described as "frequencies must be
// finite and positive, but point 3 has frequency NaN"; nothing when every
// point is usable.
std::optional<std::string> first_unusable_point(std::span<const double> frequencies,
                                                std::span<const Complex> impedances);

// "need at least 3 points, got 2".
std::string too_few_points(std::size_t needed, std::size_t got);

// Why a relaxation-time model (the Kramers-Kronig check, the DRT) cannot be
// fitted to the spectrum, each point weighted by 1/|Z|: fewer than `needed`
// points, an unusable point, a zero impedance, or no range of frequencies.
std::optional<std::string> relaxation_data_problem(const MeasuredSpectrum& spectrum, std::size_t needed);
// The same for a spectrum not checked yet (unequal lengths refused first).
std::optional<std::string> relaxation_data_problem(std::span<const double> frequencies,
                                                   std::span<const Complex> impedances, std::size_t needed);

}  // namespace kelvara
