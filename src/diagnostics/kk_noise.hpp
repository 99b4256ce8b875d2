// The noise of a spectrum, read from the residuals of a linear
// Kramers-Kronig fit of it.
#pragma once

#include <optional>
#include <span>

#include "diagnostics/kk_normal_equations.hpp"

namespace kelvara::diagnostics {

// The noise as a fraction of |Z|, from the differences of neighbouring
// residuals in frequency order, real and imaginary parts: white scatter of
// deviation s gives differences of deviation s sqrt(2), while a smooth misfit
// hardly enters them. Two readings of the same sum D of the 2(n - 1) squared
// differences:
struct DifferenceNoise {
    // sqrt(D / 4(n - 1)): the mean square successive difference of the
    // residuals themselves, the denominator of their von Neumann ratio. The
    // Kramers-Kronig check judges its residuals by it; it runs low by what the
    // fit takes out of the differences.
    double successive = 0.0;
    // sqrt(D / (4(n - 1) - tr(G^-1 S))): what the fit takes out of white
    // scatter's differences (a fifth at five points per decade, where a grid of
    // 3 per decade has a column for every two points) allowed for, so that its
    // square is unbiased; held to at most half the differences. The noise
    // level the flags and the DRT use (noise_level.hpp).
    double unbiased = 0.0;
};

// nullopt when a reading is not finite.
std::optional<DifferenceNoise> difference_noise(const KkProblem& problem, std::span<const double> tau,
                                                const BoundedSolution& fit, std::span<const double> frequencies_hz);

}  // namespace kelvara::diagnostics
