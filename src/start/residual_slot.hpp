// A process too small for the DRT to show (a thousandth of the resistance
// or less) is left out of every assignment; the polishes then spend its slot
// on a share of a larger process or run it off to a corner. What the fit
// misses shows in its residual: the idle slot is moved to where the
// residual peaks, and polished again.
#pragma once

#include <span>
#include <vector>

#include "circuit/measured_points.hpp"
#include "circuit/tree.hpp"
#include "elements/catalogue.hpp"
#include "start/impedance_shape.hpp"
#include "start/placement.hpp"

namespace kelvara::start {

// Whether a slot ran off to a corner, where it does nothing: a free value
// of a parameter without an upper bound on its floor or running off to
// infinity. Held values (`fixed`) do not count.
bool slot_in_corner(std::span<const double> values, ParamRange range, std::span<const Bounds> bounds,
                    const std::vector<bool>& fixed);

// Starts for further polishes: `best` (every parameter, in parameter order)
// with one slot placed afresh at a peak of its relative residual against
// `spectrum` (the usable points). Values are as placed, not yet clamped
// into the bounds.
struct ResidualStarts {
    // Slots that are idle: in a corner (slot_in_corner) or sharing a time
    // constant with another.
    std::vector<std::vector<double>> idle;
    // Any other slot, where the residual runs smoothly from point to point
    // (the fit misses something, and it is not noise).
    std::vector<std::vector<double>> other;
};
// Slots with a `fixed` value are left alone.
ResidualStarts residual_slot_starts(const SeriesList& circuit, std::span<const double> best,
                                    const MeasuredSpectrum& spectrum, const ImpedanceShape& shape,
                                    const Backdrop& backdrop, std::span<const Bounds> bounds,
                                    const std::vector<bool>& fixed);

}  // namespace kelvara::start
