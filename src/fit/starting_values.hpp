// Starting values every fit method can move from. Log-scaled parameters are
// searched as log10(p - lo), so a start on or below the lower bound has no
// search coordinate worth the name: the parameter would stay frozen there.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "circuit/result.hpp"
#include "circuit/tree.hpp"
#include "elements/complex.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/weighting.hpp"

namespace kelvara {

struct SettledStart {
    SeriesList circuit;               // the circuit with the values the fit starts from
    std::uint64_t evaluations = 0;    // residual evaluations spent lifting starts off their bound
};

// Refuses a NaN start, and a log-scaled start below its lower bound or
// infinite (FitError::Kind::invalid_start, naming the parameter, its value
// and its bounds). A log-scaled start exactly on its lower bound is lifted:
// among lo + 10^k, k = -12 ... 12, it takes the largest whose cost, with the
// other parameters at their starts, is within 1e-9 (relative) of the
// smallest. That keeps a parameter meant to be negligible as large as it can
// be without changing the fit, where its Jacobian column is no longer zero.
Result<SettledStart, FitError> settle_start(const SeriesList& circuit, std::span<const double> frequencies_hz,
                                            std::span<const Complex> impedances, Weighting scheme);

}  // namespace kelvara
