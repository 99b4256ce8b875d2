// Starting values for any circuit from the spectrum itself: the DRT's
// processes handed to the circuit's time-constant slots in several ways,
// the rest read off the spectrum's shape, each way polished by a short
// Levenberg-Marquardt run; the best is kept.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/result.hpp"
#include "circuit/measured_points.hpp"
#include "circuit/tree.hpp"
#include "drt/drt.hpp"
#include "elements/catalogue.hpp"
#include "elements/complex.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/fit_problem.hpp"
#include "fit/interruption.hpp"
#include "fit/weighting.hpp"
#include "start/impedance_shape.hpp"

namespace kelvara::start {

// A value the data asked for beyond the bounds in force, held on the bound.
struct ClampedValue {
    std::size_t index = 0;  // in parameter order
    double suggested = 0.0;
    Bounds bounds{};
};

struct DataStart {
    std::vector<double> values;  // every parameter, in parameter order
    std::vector<ClampedValue> clamped;
    double cost = 0.0;        // at `values`
    std::size_t starts = 0;   // assignments tried
};

// The fit that follows a data start refines it; what the start must do is
// find the right basin. Many short runs do that better than a few long ones:
// the ends differ in which slot holds which process, not in the last digits.
struct DataStartSettings {
    std::size_t polished = 10;           // the cheapest this many assignments get a solver run
    std::uint64_t max_iterations = 20;   // each run's patience (as LmSettings)
    std::uint64_t max_starts = 2;        // each run's starts (as LmSettings)
    // With more slots than clear processes, place the DRT's smaller maxima
    // from a second DRT that fits their shapes (rather than read off gamma).
    // Off by default: the runs place them as well, and the second DRT's
    // shape fit over many small maxima can cost a hundred times the first.
    bool fit_minor = false;
    // Place a slot the polish ran off to a corner afresh and polish again.
    bool revive = true;
    std::uint64_t corner_rounds = 1;     // each run's restarts from a corner (as LmSettings)
};

// For many candidates on a budget (circuit selection): fewer, shorter runs.
inline constexpr DataStartSettings quick_data_start{2, 30, 1, false, false, 4};

// What the data start reads off a spectrum whatever the circuit: the
// usable points (positive finite frequency, finite non-zero impedance),
// their shape and their DRT. Read once, it serves every circuit fitted to
// the same spectrum.
struct DataReading {
    MeasuredSpectrum usable;
    ImpedanceShape shape;
    std::optional<drt::DrtOutcome> drt;  // none below 3 usable points or where the DRT fails
};
DataReading read_data(const MeasuredSpectrum& spectrum);

// `control` as for a fit (empty: the catalogue bounds, nothing held); held
// parameters keep the circuit's values. `reading`, when given, is
// read_data() of the same spectrum. The errors are those of a fit's own
// checks of the data and the control.
Result<DataStart, FitError> data_start(const SeriesList& circuit, const MeasuredSpectrum& spectrum, Weighting weighting,
                                       const ParameterControl& control, const DataStartSettings& settings = {},
                                       InterruptCheck interrupt = {}, const DataReading* reading = nullptr);

}  // namespace kelvara::start
