// Impedance of a single element at one angular frequency.
#pragma once

#include "elements/catalogue.hpp"
#include "elements/complex.hpp"

namespace kelvara {

// Quantities that depend on the frequency alone, computed once per frequency
// and shared by every element of a circuit.
struct OmegaTerms {
    double omega = 0.0;
    double sqrt_omega = 0.0;     // W
    Complex j_omega;             // j*omega
    Complex sqrt_j_omega;        // csqrt(j*omega): exponent 0.5
    double abs_j_omega = 0.0;    // |j*omega|: general exponents
    double arg_j_omega = 0.0;    // atan2(omega, 0)
};

OmegaTerms omega_terms(double omega);

// (j*omega)^p with the precomputed modulus and argument.
Complex j_omega_power(const OmegaTerms& w, double p);

// The catalogue impedance of `kind` with parameters `p` (catalogue order).
Complex element_impedance(Kind kind, const double* p, const OmegaTerms& w);

}  // namespace kelvara
