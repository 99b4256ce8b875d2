// How residuals are weighted: raw differences (unit) or relative to the
// measured magnitude (modulus).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/measured_points.hpp"
#include "elements/complex.hpp"

namespace kelvara {

enum class Weighting { unit, modulus };

// "unit" or "modulus", matched exactly.
std::optional<Weighting> parse_weighting(std::string_view name);

// unknown weight scheme "name", expected "modulus" or "unit"
std::string unknown_weighting_message(std::string_view name);

// One positive weight per point; under modulus max(|Z|, 1e-30), NaN giving 1e-30.
std::vector<double> compute_weights(std::span<const Complex> measured, Weighting scheme);

// Why the data cannot be fitted under `scheme`, if they cannot: a measured
// impedance of exactly 0 under modulus weighting, whose weight floor would make
// that one point outweigh the rest by some thirty decades.
std::optional<std::string> weighting_problem(const MeasuredSpectrum& spectrum, Weighting scheme);

}  // namespace kelvara
