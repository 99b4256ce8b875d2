#include "elements/element_impedance.hpp"

namespace kelvara {

OmegaTerms omega_terms(double omega, TermNeeds needs) {
    // Closed forms of hypot(0, w), atan2(w, 0) and csqrt(j*w): the same
    // values without the general routines, since this runs for every
    // frequency of every call.
    const double magnitude = std::fabs(omega);
    const double half_turn = 1.5707963267948966;  // atan2(w, 0) for w != 0
    OmegaTerms w;
    w.omega = omega;
    w.j_omega = {0.0, omega};
    if (needs.sqrt_omega) w.sqrt_omega = std::sqrt(omega);
    if (needs.sqrt_j_omega) {
        if (omega == 0.0) {
            w.sqrt_j_omega = csqrt(w.j_omega);
        } else {
            const double t = std::sqrt(magnitude / 2.0);
            w.sqrt_j_omega = {t, omega > 0.0 ? t : -t};
        }
    }
    if (needs.exponent) {
        // atan2(+-0, 0) = +-0
        w.arg_j_omega = omega == 0.0 || std::isnan(omega) ? omega : (omega > 0.0 ? half_turn : -half_turn);
        w.log_abs_j_omega = std::log(magnitude);
    }
    return w;
}

}  // namespace kelvara
