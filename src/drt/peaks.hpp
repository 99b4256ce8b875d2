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
    bool near_edge = false;       // the maximum lies within a decade of an end of the measured range
};

// What makes a maximum of gamma a peak, in ln tau for positions.
struct PeakRules {
    // Maxima whose prominence (as in topography and scipy.signal.find_peaks)
    // is below this fraction of the tallest gamma inside the measured range
    // are ripples on the flank of a peak, and their area goes to their
    // neighbours. A tail beyond the data does not set the scale.
    double relative_threshold = 0.1;
    double measured_low = 0.0;   // the shortest measured time constant
    double measured_high = 0.0;  // the longest
    // gamma grows outwards beyond that end: a process the data only show
    // the edge of. Next to it gamma rings while it makes up for the part
    // beyond the basis (lobes about 0.8 decades apart, fading over two
    // decades inwards, holding up to a tenth of the resistance each on a
    // Warburg tail, a fifth next to the edge), so a maximum within two
    // decades of that end is a peak only when it holds `edge_share` of the
    // polarisation resistance, and twice that within one decade.
    bool rising_below = false;
    bool rising_above = false;
    double edge_share = 0.1;
    // The part of gamma beyond the outermost peaks' minima is a tail of its
    // own when it holds at least this share of the polarisation resistance;
    // a smaller one belongs to the outermost peak.
    double tail_share = 0.02;
};

struct PeakSet {
    std::vector<Peak> peaks;  // by ascending ln tau
    double tail_below = 0.0;  // ohm: gamma at shorter time constants than every peak's range
    double tail_above = 0.0;  // ohm: at longer ones
};

// Maxima are looked for inside the measured range and up to one basis spacing
// beyond it, where the regularisation may push the maximum of a process at
// the edge. Without peaks, all of gamma is a tail (below or above the middle
// of the measured range).
PeakSet find_peaks(const RbfBasis& basis, std::span<const double> coefficients, const PeakRules& rules);

}  // namespace kelvara::drt
