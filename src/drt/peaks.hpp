// Peaks of gamma: local maxima located to sub-grid precision, each with the
// resistance under it (gamma integrated between the minima that separate it
// from its neighbours, or the ends of the basis).
#pragma once

#include <span>
#include <vector>

#include "drt/rbf_basis.hpp"

namespace kelvara::drt {

struct Peak {
    double ln_tau = 0.0;
    double height = 0.0;      // gamma at the peak, ohm
    double prominence = 0.0;  // height above the higher of the two lowest points towards taller ground
    double resistance = 0.0;  // ohm
    double ln_tau_low = 0.0;  // the integration range
    double ln_tau_high = 0.0;
    double ln_tau_maximum = 0.0;  // where gamma peaks; ln_tau too unless the peak's shape was fitted
    double alpha = 0.0;           // the fitted ZARC's exponent; 0 when not fitted
};

// Maxima whose prominence (as in topography and scipy.signal.find_peaks)
// is below `relative_threshold` times the tallest gamma are not peaks: they
// are ripples on the flank of a peak, and their area goes to their
// neighbours. Maxima outside [measured_low, measured_high] (ln tau) are not
// peaks either: there gamma only continues a process the data show the edge of.
std::vector<Peak> find_peaks(const RbfBasis& basis, std::span<const double> coefficients, double relative_threshold,
                             double measured_low, double measured_high);

}  // namespace kelvara::drt
