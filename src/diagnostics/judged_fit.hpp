// What the flags of a fit read: the outcome and the parameters' bounds, the
// exponents their units carry and their holds, which live with the fitted circuit rather than in the outcome.
#pragma once

#include <span>
#include <vector>

#include "elements/catalogue.hpp"
#include "fit/fit_outcome.hpp"

namespace kelvara::diagnostics {

struct JudgedFit {
    const FitOutcome& outcome;
    std::span<const Bounds> bounds;     // in force, one per parameter
    std::span<const std::size_t> carried_exponents;  // one per parameter (param_carried_exponents)
    const std::vector<bool>& fixed;      // empty when nothing is held

    bool is_fixed(std::size_t j) const { return j < fixed.size() && fixed[j]; }
};

}  // namespace kelvara::diagnostics
