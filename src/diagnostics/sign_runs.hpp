// The Wald-Wolfowitz runs test of the signs of a sequence: too few runs of
// equal sign mean the values are not independent scatter.
#pragma once

#include <cstddef>
#include <span>

#include "elements/complex.hpp"

namespace kelvara::diagnostics {

// The runs of the signs of a sequence (zeros left out), with their mean and
// variance under independent signs in the same proportion. Two sequences'
// counts add up to the test of both taken together.
struct SignRuns {
    double runs = 0.0;
    double mean = 0.0;
    double variance = 0.0;

    SignRuns& operator+=(const SignRuns& other) {
        runs += other.runs;
        mean += other.mean;
        variance += other.variance;
        return *this;
    }
    // (runs - mean) / sd; 0 without variance (fewer than two signs of each kind).
    double z() const;
};

// Of one part (&Complex::re or &Complex::im) of values[order[0]], values[order[1]], ...
SignRuns sign_runs(std::span<const Complex> values, std::span<const std::size_t> order, double Complex::*part);

}  // namespace kelvara::diagnostics
