// A least-squares fit of R_inf, L and a sum of ZARCs, R / (1 + (i w tau)^alpha),
// to a spectrum beside a fixed part of the model: the step that places the
// peaks of gamma (peak_fit.hpp).
#pragma once

#include <span>
#include <vector>

#include "elements/complex.hpp"

namespace kelvara::drt {

struct PeakShape {
    double ln_tau = 0.0;
    double resistance = 0.0;
    double alpha = 1.0;
};

struct PeakFitProblem {
    std::span<const double> angular;
    std::span<const Complex> measured;
    std::span<const Complex> background;  // fixed model impedance besides the peaks and the series terms
    double r_inf = 0.0;
    double inductance = 0.0;
    bool fit_inductance = true;
};

struct PeakFit {
    std::vector<PeakShape> shapes;
    double r_inf = 0.0;
    double inductance = 0.0;
    double cost = 0.0;  // sum of squared relative residuals, real and imaginary parts
    bool converged = false;
};

// The smallest exponent a peak may take: below it a ZARC is so broad that it
// is no longer one process on a spectrum of a few decades.
inline constexpr double smallest_alpha = 0.3;

// The fits' Levenberg-Marquardt solver (MINPACK's lmder) on (ln R, ln tau,
// alpha) per peak and R_inf, L >= 0, with alpha kept in [smallest_alpha, 1];
// residuals weighted by 1/|Z|.
PeakFit fit_peak_shapes(const PeakFitProblem& problem, std::span<const PeakShape> seeds);

// The exponent of a ZARC with this resistance whose DRT peaks at `height`:
// its maximum is R / (2 pi) cot((1 - alpha) pi / 2).
double alpha_from_height(double resistance, double height);

// The sum of squared relative residuals of the DRT's own model, for the
// comparison that decides whether the peak shapes describe the data.
double relative_cost(std::span<const Complex> model, std::span<const Complex> measured);

}  // namespace kelvara::drt
