// Starting values every fit method can move from. Log-scaled parameters are
// searched as log10(p - lo), so a start on or below the lower bound has no
// search coordinate worth the name: the parameter would stay frozen there.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "support/result.hpp"
#include "fit/fit_outcome.hpp"

namespace kelvara {

class FitProblem;

struct SettledStart {
    std::vector<double> values;       // every parameter's value the fit starts from
    std::uint64_t evaluations = 0;    // residual evaluations spent lifting starts off their bound
};

// Refuses a NaN start, and a log-scaled start below its lower bound or
// infinite (FitError::Kind::invalid_start, naming the parameter, its value
// and its bounds). A log-scaled start exactly on its lower bound is lifted:
// among lo + 10^k, k = -12 ... 12, it takes the largest whose cost, with the
// other parameters at their starts, is within 1e-9 (relative) of the
// smallest. That keeps a parameter meant to be negligible as large as it can
// be without changing the fit, where its Jacobian column is no longer zero.
// Fixed parameters are left as they are (the problem checked them).
Result<SettledStart, FitError> settle_start(const FitProblem& problem);

}  // namespace kelvara
