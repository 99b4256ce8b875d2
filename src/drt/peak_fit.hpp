// Each peak of gamma as one process with a position and a resistance of its
// own. Where peaks are broad they overlap, and the maxima of their sum sit
// closer together than the processes' time constants (for two ZARCs of
// alpha 0.7 1.5 decades apart, 0.024 decades each); the regularisation
// widens them further and pulls them closer still. So the measured spectrum
// is refitted with one ZARC, R / (1 + (i w tau)^alpha), per peak (a peak
// symmetric in ln tau whose DRT is known in closed form), seeded from the
// maxima and their areas, with R_inf, L and the part of gamma outside every
// peak's range held as found. The fit sees the data, not the regularised
// gamma, so its time constants carry no regularisation bias.
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

// Levenberg-Marquardt on (ln R, ln tau, alpha) per peak and R_inf, L >= 0,
// with alpha kept in [smallest_alpha, 1], residuals weighted by 1/|Z|.
PeakFit fit_peak_shapes(const PeakFitProblem& problem, std::span<const PeakShape> seeds);

// The exponent of a ZARC with this resistance whose DRT peaks at `height`:
// its maximum is R / (2 pi) cot((1 - alpha) pi / 2).
double alpha_from_height(double resistance, double height);

// The sum of squared relative residuals of the DRT's own model, for the
// comparison that decides whether the peak shapes describe the data.
double relative_cost(std::span<const Complex> model, std::span<const Complex> measured);

}  // namespace kelvara::drt
