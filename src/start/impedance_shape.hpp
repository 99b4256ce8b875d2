// What an electrochemist reads off a spectrum before choosing values: the
// window, the high-frequency intercept, an inductive tail, and how the
// low-frequency end behaves (resistive, diffusive or blocking).
#pragma once

#include <span>

#include "elements/complex.hpp"

namespace kelvara::start {

struct ImpedanceShape {
    double omega_min = 0.0;  // rad/s, the measured window
    double omega_max = 0.0;
    double modulus_min = 0.0;  // ohm, the range of |Z|
    double modulus_max = 0.0;
    double modulus_typical = 0.0;  // geometric mean of |Z|
    double r_high = 0.0;         // real part where the spectrum meets the real axis at high frequency
    double r_low = 0.0;          // real part at the lowest frequency
    double inductance = 0.0;     // H, from points with Im Z > 0 at the high end; 0 when none
    double low_reactance = 0.0;  // -Im Z at the lowest frequency (ohm, > 0 when capacitive)
    // -d ln(-Im Z) / d ln w over the lowest points: about 1 for a blocking
    // capacitor, 0.5 for semi-infinite diffusion, negative when the
    // spectrum closes onto the real axis.
    double low_slope = 0.0;
    // Whether the low end rises like a capacitor or diffusion rather than
    // closing onto a DC resistance.
    bool open_tail = false;
};

// `frequencies_hz` positive and finite, at least 3 points, impedances finite
// (the caller checks); any order.
ImpedanceShape read_shape(std::span<const double> frequencies_hz, std::span<const Complex> impedances);

}  // namespace kelvara::start
