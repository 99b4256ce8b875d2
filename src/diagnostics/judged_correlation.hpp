// The correlation matrix the `correlated` flag reads.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "diagnostics/judged_fit.hpp"

namespace kelvara::diagnostics {

struct JudgedCorrelation {
    std::vector<std::size_t> params;  // the free parameters' positions, in order
    std::vector<double> matrix;       // row-major over `params`; NaN where a variance is not positive
    std::vector<std::string> labels;  // how each is named in a flag's text
};

// The fit's own correlation matrix, except that a power-law coefficient (a CPE's
// q, a TLMQ's qs) is referred to a frequency inside the measured window instead
// of 1 rad/s.
//
// q is the admittance at w = 1 rad/s, a unit convention: for an arc at 10 kHz a
// change of alpha swings q by (1e4)^d(alpha) with no change where the data are,
// so q and alpha correlate near -1 although the data fix both the arc and its
// exponent. The coefficient at w_r, ln q' = ln q + alpha ln w_r, takes out that
// convention; w_r is the frequency at which q' and alpha are uncorrelated, held
// inside the window, so a CPE the data reach only by extrapolation keeps its
// correlation. Empty without a covariance.
JudgedCorrelation judged_correlation(const JudgedFit& fit);

}  // namespace kelvara::diagnostics
