// Each peak of gamma as one process with a position and a resistance of its
// own. Where peaks are broad they overlap, and the maxima of their sum sit
// closer together than the processes' time constants (for two ZARCs of
// alpha 0.7 1.5 decades apart, 0.024 decades each); the regularisation
// widens them further and pulls them closer still. So the measured spectrum
// is refitted with one ZARC per peak (a peak symmetric in ln tau whose DRT is
// known in closed form), seeded from the maxima, their areas and heights,
// with R_inf, L and the part of gamma outside every peak's range held as
// found. The fit sees the data, not the regularised gamma, so its time
// constants carry no regularisation bias.
#pragma once

#include <span>
#include <vector>

#include "drt/discretisation.hpp"
#include "drt/peaks.hpp"
#include "drt/rbf_basis.hpp"
#include "elements/complex.hpp"

namespace kelvara::drt {

// The DRT as found, and the spectrum it was found from.
struct FoundDrt {
    const RbfBasis& basis;
    ImpedanceRows& map;  // the map's rows, computed as needed
    std::span<const double> coefficients;
    std::span<const Complex> fitted;  // the DRT model at each measured frequency
    double r_inf;
    double inductance;
    bool fit_inductance;
    std::span<const double> angular;
    std::span<const Complex> measured;
};

struct PeakFitVerdict {
    bool accepted = false;
    // The fitted shapes' sum of squared relative residuals, also when they
    // were not accepted; infinite when the fit did not converge.
    double cost = 0.0;
};

// Replaces the positions and resistances of `peaks` by those of one fitted
// ZARC each, and sets their exponents, when the ZARCs describe the data (a
// misfit at most three times the DRT's own) and every fitted time constant
// stays inside its peak's range of gamma and the measured range [shortest,
// longest] (ln tau). Otherwise is not accepted and leaves the peaks as found:
// a process of another shape (a transmission line, a skewed arc) is better
// described by the maximum and area of gamma.
PeakFitVerdict fit_peaks(std::vector<Peak>& peaks, const FoundDrt& found, double shortest_measured,
                         double longest_measured);

}  // namespace kelvara::drt
