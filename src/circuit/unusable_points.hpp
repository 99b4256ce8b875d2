// Points of a measured spectrum that no logarithm or weight can use.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "elements/complex.hpp"

namespace kelvara {

// The first point whose frequency is not finite and positive, or else the
// first whose impedance is not finite, described as "frequencies must be
// finite and positive, but point 3 has frequency NaN"; nothing when every
// point is usable.
std::optional<std::string> first_unusable_point(std::span<const double> frequencies,
                                                std::span<const Complex> impedances);

}  // namespace kelvara
